// The platform services on POSIX: the serial port on termios, the message box
// on standard error, the current directory and the trace file on stdio. The
// private profile lives in profile_file.cpp.
//
// This layer serves the tests alone (the session tests run the whole driver
// on it, through a real pty into the board's decoder). A pty is a real tty:
// what the driver applies to the line must land there as the Win32 fields
// mean it, or a test would pass on a line the board could not read, so the
// mapping below is kept whole and is tested itself (tests/posix).
//
// How the Win32 port model maps onto a tty:
// - A handle is the file descriptor + 1, so that 0 stays "none" and -1 stays
//   the failed-open value.
// - Open: O_RDWR | O_NOCTTY | O_NONBLOCK, never O_CREAT (only an existing
//   device opens). Exclusive like an unshared Win32 open: flock() keeps out
//   every other opener that also locks (this layer in another process), and
//   TIOCEXCL keeps out plain opens by unprivileged users.
// - Line settings: `native` holds the termios record as read. Applying them
//   always puts the tty in raw mode with CLOCAL and CREAD, since a Win32 port
//   has no line discipline and does not wait for carrier: a line feed must
//   leave as 0x0A, not as CR LF. The named fields are then applied on top.
//   Line speed: the standard termios rates only; 0 (which means "hang up" to
//   termios) or any other rate fails with EINVAL, as a Win32 driver refuses
//   a rate it cannot set. DSR output flow and DTR handshake have no termios
//   counterpart and fail the same way; CTS output flow and RTS handshake
//   both map to CRTSCTS. The mapping itself is in termios_rules.h.
// - Queue sizes: a tty's queues are fixed, so PlatformPortSetupQueues only checks
//   the handle (on Win32 the sizes are a recommendation too).
// - Time-outs are kept per handle in a table of 16 open ports (one more open
//   fails with EMFILE) and bound PlatformPortWrite only
//   (the driver never reads). All-zero write time-outs mean "no limit", as
//   on Win32. A write that runs out of time returns true with the count of
//   bytes that went out, as Win32 does.
// - Abort-on-error is remembered but latches nothing: a tty has no error
//   state to clear, so PlatformPortClearError only discards what was
//   received, as on Win32, and finds no line error; it fails on a tty that
//   was hung up.
// - The output queue is the tty's (TIOCOUTQ); the transmit purge keeps it
//   (below), so nothing is lost at a close either way.
// - Modem lines (DTR, RTS) via TIOCMBIS/TIOCMBIC; a pty has none, so these
//   fail there and callers are expected to ignore the result.
//
// A message box prints "<caption>: <text>" and a line feed (none when the
// text ends with one) to standard error, "Error" standing in for a null
// caption as on Win32, and returns IDOK.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/termios_rules.h"
#include "platform/posix/trace_edges.h"

namespace {

static_assert(sizeof(struct termios) <= sizeof(PortLineSettings::native),
              "the termios record must fit in PortLineSettings::native");

// Win32 values of the parity, stop-bit and line-control fields.
const uint8_t kParityOdd = 1;
const uint8_t kParityEven = 2;
const uint8_t kParityMark = 3;
const uint8_t kParitySpace = 4;
const uint8_t kOne5StopBits = 1;
const uint8_t kTwoStopBits = 2;
const uint8_t kLineControlHandshake = 2;

struct PortSlot {
  bool used;
  int fd;
  bool abort_on_error;
  PortTimeouts timeouts;
};

// The driver opens one port; a few more slots let tests and tools open more.
const int kMaxPorts = 16;
PortSlot g_ports[kMaxPorts];

PortSlot* FindSlot(PortHandle port) {
  if (PortIsOpen(port) && port - 1 <= INT_MAX) {
    const int fd = static_cast<int>(port - 1);
    for (PortSlot& slot : g_ports) {
      if (slot.used && slot.fd == fd) return &slot;
    }
  }
  errno = EBADF;
  return nullptr;
}

struct SpeedEntry {
  uint32_t rate;
  speed_t speed;
};

const SpeedEntry kSpeeds[] = {
    {50, B50},         {75, B75},           {110, B110},         {134, B134},
    {150, B150},       {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},     {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},     {19200, B19200},     {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool SpeedForRate(uint32_t rate, speed_t* speed) {
  for (const SpeedEntry& entry : kSpeeds) {
    if (entry.rate == rate) {
      *speed = entry.speed;
      return true;
    }
  }
  return false;
}

uint32_t RateForSpeed(speed_t speed) {
  for (const SpeedEntry& entry : kSpeeds) {
    if (entry.speed == speed) return entry.rate;
  }
  return 0;
}

uint64_t NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u +
         static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

// Sets or clears one modem line; fails on ttys without modem lines.
bool SetModemLine(int fd, int line, bool raise) {
  return ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &line) == 0;
}

bool Fail(int error) {
  errno = error;
  return false;
}

}  // namespace

// ---------------------------------------------------------- termios rules

void LineSettingsFromTermios(const struct termios* t, const int* modem_lines,
                             PortLineSettings* settings) {
  memset(settings, 0, sizeof *settings);
  memcpy(settings->native, t, sizeof *t);
  settings->baud_rate = RateForSpeed(cfgetospeed(t));
  switch (t->c_cflag & CSIZE) {
    case CS5: settings->data_bits = 5; break;
    case CS6: settings->data_bits = 6; break;
    case CS7: settings->data_bits = 7; break;
    default: settings->data_bits = 8; break;
  }
  settings->parity = kParityNone;
  if (t->c_cflag & PARENB) {
    const bool odd = (t->c_cflag & PARODD) != 0;
#ifdef CMSPAR
    if (t->c_cflag & CMSPAR) {
      settings->parity = odd ? kParityMark : kParitySpace;
    } else
#endif
    {
      settings->parity = odd ? kParityOdd : kParityEven;
    }
  }
  if (t->c_cflag & CSTOPB) {
    settings->stop_bits = settings->data_bits == 5 ? kOne5StopBits : kTwoStopBits;
  } else {
    settings->stop_bits = kOneStopBit;
  }
  const bool rtscts = (t->c_cflag & CRTSCTS) != 0;
  settings->out_cts_flow = rtscts;
  settings->out_dsr_flow = false;
  const int lines = modem_lines != nullptr ? *modem_lines : 0;
  settings->dtr_control = (lines & TIOCM_DTR) ? kLineControlEnable : kLineControlDisable;
  if (rtscts) {
    settings->rts_control = kLineControlHandshake;
  } else {
    settings->rts_control = (lines & TIOCM_RTS) ? kLineControlEnable : kLineControlDisable;
  }
  settings->out_xon = (t->c_iflag & IXON) != 0;
  settings->in_xon = (t->c_iflag & IXOFF) != 0;
  settings->abort_on_error = false;
}

bool TermiosFromLineSettings(const PortLineSettings* settings, struct termios* t) {
  memcpy(t, settings->native, sizeof *t);

  speed_t speed;
  if (!SpeedForRate(settings->baud_rate, &speed)) return Fail(EINVAL);

  cfmakeraw(t);
  t->c_cflag |= CLOCAL | CREAD;

  t->c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  switch (settings->data_bits) {
    case 5: t->c_cflag |= CS5; break;
    case 6: t->c_cflag |= CS6; break;
    case 7: t->c_cflag |= CS7; break;
    case 8: t->c_cflag |= CS8; break;
    default: return Fail(EINVAL);
  }

  tcflag_t parity_bits = PARENB | PARODD;
#ifdef CMSPAR
  parity_bits |= CMSPAR;
#endif
  t->c_cflag &= ~parity_bits;
  switch (settings->parity) {
    case kParityNone: break;
    case kParityOdd: t->c_cflag |= PARENB | PARODD; break;
    case kParityEven: t->c_cflag |= PARENB; break;
#ifdef CMSPAR
    case kParityMark: t->c_cflag |= PARENB | PARODD | CMSPAR; break;
    case kParitySpace: t->c_cflag |= PARENB | CMSPAR; break;
#endif
    default: return Fail(EINVAL);
  }

  // The UART sends 1.5 stop bits for CSTOPB with 5 data bits, 2 otherwise.
  switch (settings->stop_bits) {
    case kOneStopBit: t->c_cflag &= ~static_cast<tcflag_t>(CSTOPB); break;
    case kOne5StopBits:
      if (settings->data_bits != 5) return Fail(EINVAL);
      t->c_cflag |= CSTOPB;
      break;
    case kTwoStopBits:
      if (settings->data_bits == 5) return Fail(EINVAL);
      t->c_cflag |= CSTOPB;
      break;
    default: return Fail(EINVAL);
  }

  if (settings->out_dsr_flow) return Fail(EINVAL);
  if (settings->dtr_control > kLineControlEnable) return Fail(EINVAL);
  if (settings->rts_control > kLineControlHandshake) return Fail(EINVAL);
  if (settings->out_cts_flow || settings->rts_control == kLineControlHandshake) {
    t->c_cflag |= CRTSCTS;
  } else {
    t->c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  }

  t->c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  if (settings->out_xon) t->c_iflag |= IXON;
  if (settings->in_xon) t->c_iflag |= IXOFF;

  return cfsetspeed(t, speed) == 0;
}

// ---------------------------------------------------------------- serial port

PortHandle PlatformPortOpen(const char* name) {
  if (name == nullptr) {
    errno = EINVAL;
    return kInvalidPort;
  }
  PortSlot* slot = nullptr;
  for (PortSlot& candidate : g_ports) {
    if (!candidate.used) {
      slot = &candidate;
      break;
    }
  }
  if (slot == nullptr) {
    errno = EMFILE;
    return kInvalidPort;
  }
  const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return kInvalidPort;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno == EWOULDBLOCK ? EBUSY : errno;
    close(fd);
    errno = error;
    return kInvalidPort;
  }
  // Not a tty (a plain file, say): it opens, as on Win32, and reading its
  // line settings is what fails.
  if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
    const int error = errno;
    close(fd);
    errno = error;
    return kInvalidPort;
  }
  slot->used = true;
  slot->fd = fd;
  slot->abort_on_error = false;
  memset(&slot->timeouts, 0, sizeof slot->timeouts);
  return static_cast<PortHandle>(fd) + 1;
}

bool PlatformPortSetupQueues(PortHandle port, uint32_t, uint32_t) {
  // The tty's queues have a fixed size; on Win32 the sizes are only a
  // recommendation as well.
  return FindSlot(port) != nullptr;
}

bool PlatformPortGetLineSettings(PortHandle port, PortLineSettings* settings) {
  PortSlot* slot = FindSlot(port);
  if (slot == nullptr) return false;
  if (settings == nullptr) return Fail(EINVAL);
  struct termios t;
  if (tcgetattr(slot->fd, &t) != 0) return false;
  int lines = 0;
  const bool have_lines = ioctl(slot->fd, TIOCMGET, &lines) == 0;
  LineSettingsFromTermios(&t, have_lines ? &lines : nullptr, settings);
  settings->abort_on_error = slot->abort_on_error;
  return true;
}

bool PlatformPortSetLineSettings(PortHandle port, const PortLineSettings* settings) {
  PortSlot* slot = FindSlot(port);
  if (slot == nullptr) return false;
  if (settings == nullptr) return Fail(EINVAL);
  struct termios t;
  if (!TermiosFromLineSettings(settings, &t)) return false;
  if (tcsetattr(slot->fd, TCSANOW, &t) != 0) return false;

  // Line control "enable" raises the line, "disable" drops it; a pty has no
  // modem lines, so the result is not examined.
  SetModemLine(slot->fd, TIOCM_DTR, settings->dtr_control == kLineControlEnable);
  if (settings->rts_control != kLineControlHandshake) {
    SetModemLine(slot->fd, TIOCM_RTS, settings->rts_control == kLineControlEnable);
  }
  slot->abort_on_error = settings->abort_on_error;
  return true;
}

bool PlatformPortGetTimeouts(PortHandle port, PortTimeouts* timeouts) {
  PortSlot* slot = FindSlot(port);
  if (slot == nullptr) return false;
  if (timeouts == nullptr) return Fail(EINVAL);
  *timeouts = slot->timeouts;
  return true;
}

bool PlatformPortSetTimeouts(PortHandle port, const PortTimeouts* timeouts) {
  PortSlot* slot = FindSlot(port);
  if (slot == nullptr) return false;
  if (timeouts == nullptr) return Fail(EINVAL);
  slot->timeouts = *timeouts;
  return true;
}

bool PlatformPortPurge(PortHandle port, PortPurgeSide side) {
  PortSlot* slot = FindSlot(port);
  if (slot == nullptr) return false;
  // Writes here are synchronous: when one returns its bytes are in the
  // kernel's queue and reported as written, and there is no pending write to
  // abort. Discarding that queue would drop the last commands before a close
  // (the closing reset, contrast and light), so the transmit side keeps it.
  if (side == kPurgeTransmit) return true;
  return tcflush(slot->fd, TCIFLUSH) == 0;
}

bool PlatformPortLine(PortHandle port, PortLineRequest request) {
  PortSlot* slot = FindSlot(port);
  if (slot == nullptr) return false;
  switch (request) {
    case kSetDtr: return SetModemLine(slot->fd, TIOCM_DTR, true);
    case kClearDtr: return SetModemLine(slot->fd, TIOCM_DTR, false);
    case kSetRts: return SetModemLine(slot->fd, TIOCM_RTS, true);
    case kClearRts: return SetModemLine(slot->fd, TIOCM_RTS, false);
  }
  return Fail(EINVAL);
}

bool PlatformPortWrite(PortHandle port, const void* data, uint32_t size, uint32_t* written) {
  if (written != nullptr) *written = 0;
  PortSlot* slot = FindSlot(port);
  if (slot == nullptr) return false;
  if (size == 0) return true;
  if (data == nullptr) return Fail(EINVAL);

  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  const bool bounded =
      slot->timeouts.write_total_multiplier != 0 || slot->timeouts.write_total_constant != 0;
  const uint64_t deadline = NowMs() +
                            uint64_t{slot->timeouts.write_total_multiplier} * size +
                            slot->timeouts.write_total_constant;
  uint32_t done = 0;
  bool ok = true;
  while (done < size) {
    const ssize_t n = write(slot->fd, bytes + done, size - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      ok = false;
      break;
    }
    // The output queue is full: wait for room, within the write time-out.
    int wait_ms = -1;
    if (bounded) {
      const uint64_t now = NowMs();
      if (now >= deadline) {
        errno = ETIMEDOUT;  // a time-out is not a failure on Win32 either
        break;
      }
      const uint64_t left = deadline - now;
      wait_ms = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }
    struct pollfd waiting = {slot->fd, POLLOUT, 0};
    const int ready = poll(&waiting, 1, wait_ms);
    if (ready < 0 && errno != EINTR) {
      ok = false;
      break;
    }
    if (ready > 0 && !(waiting.revents & POLLOUT) &&
        (waiting.revents & (POLLERR | POLLHUP | POLLNVAL))) {
      errno = EIO;
      ok = false;
      break;
    }
  }
  if (written != nullptr) *written = done;
  return ok;
}

PortClearResult PlatformPortClearError(PortHandle port) {
  PortSlot* slot = FindSlot(port);
  if (slot == nullptr) return kPortQueryFailed;
  // A tty that was hung up (a pty whose master closed, a USB adapter pulled
  // out) answers no query any more.
  struct termios t;
  if (tcgetattr(slot->fd, &t) != 0) return kPortQueryFailed;
  tcflush(slot->fd, TCIFLUSH);
  return kPortNoError;
}

bool PlatformIsTimeoutError(uint32_t error) { return error == ETIMEDOUT; }

bool PlatformPortClose(PortHandle port) {
  PortSlot* slot = FindSlot(port);
  if (slot == nullptr) return false;
  // The exclusive flag outlives the descriptor while the tty stays open
  // elsewhere (a pty's master): drop it, or the next open would be refused.
  ioctl(slot->fd, TIOCNXCL);
  const int fd = slot->fd;
  slot->used = false;
  slot->fd = -1;
  return close(fd) == 0;
}

uint32_t PlatformLastError() { return static_cast<uint32_t>(errno); }

// ------------------------------------------------------------------- time

uint64_t PlatformTickMs() { return NowMs(); }

void PlatformSleepMs(uint32_t ms) {
  struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// ------------------------------------------------------------- message box

int PlatformShowMessageBox(const char* text, const char* caption) {
  if (text == nullptr) text = "";
  const size_t length = strlen(text);
  const bool ends_line = length > 0 && text[length - 1] == '\n';
  fprintf(stderr, "%s: %s%s", caption != nullptr ? caption : "Error", text,
          ends_line ? "" : "\n");
  fflush(stderr);
  return 1;  // IDOK
}

// -------------------------------------------------------- current directory

char PlatformPathSeparator() { return '/'; }

// Paths here are UTF-8 or single-byte: no byte of another character ever
// reads as a slash.
bool PlatformIsLeadByte(uint8_t) { return false; }

bool PlatformGetCurrentDir(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return false;
  if (getcwd(buffer, size) == nullptr) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

// ------------------------------------------------------------- trace file

namespace {
pthread_mutex_t g_trace_lock = PTHREAD_MUTEX_INITIALIZER;

void TraceEdgeReached(TraceEdge edge) {
  if (g_trace_edge_hook != nullptr) g_trace_edge_hook(edge);
}
}  // namespace

void (*g_trace_edge_hook)(TraceEdge edge) = nullptr;

void PlatformTraceOpen(TraceFile* slot, const char* path) {
  pthread_mutex_lock(&g_trace_lock);
  // Text mode: a line feed is the line end here.
  *slot = path != nullptr ? fopen(path, "a") : nullptr;
  pthread_mutex_unlock(&g_trace_lock);
  TraceEdgeReached(kTraceOpened);
}

bool PlatformTraceWrite(TraceFile* slot, const void* data, size_t size) {
  pthread_mutex_lock(&g_trace_lock);
  FILE* file = static_cast<FILE*>(*slot);
  bool ok = file != nullptr && (size == 0 || (data != nullptr && fwrite(data, 1, size, file) == size));
  pthread_mutex_unlock(&g_trace_lock);
  return ok;
}

void PlatformTraceClose(TraceFile* slot) {
  TraceEdgeReached(kTraceClosing);
  pthread_mutex_lock(&g_trace_lock);
  if (*slot != nullptr) fclose(static_cast<FILE*>(*slot));
  *slot = nullptr;
  pthread_mutex_unlock(&g_trace_lock);
  TraceEdgeReached(kTraceClosed);
}
