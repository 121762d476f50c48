// The platform services on the real Win32 API. This is the only file of the
// driver that sees windows.h: everything else talks to platform.h.
#include <direct.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "platform/platform.h"

static_assert(sizeof(DCB) <= sizeof(PortLineSettings::native),
              "the line settings record carries the whole DCB");
static_assert(sizeof(PortHandle) == sizeof(HANDLE), "a port handle holds a HANDLE");

static HANDLE ToHandle(PortHandle port) { return reinterpret_cast<HANDLE>(port); }

// ---------------------------------------------------------------- serial port

PortHandle PlatformPortOpen(const char* name) {
  // Through the device namespace, so that COM10 and above open too.
  char device[MAX_PATH];
  if (!DeviceNameForPort(name, device, sizeof device)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return kInvalidPort;
  }
  HANDLE handle =
      CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (handle == INVALID_HANDLE_VALUE) return kInvalidPort;
  return reinterpret_cast<PortHandle>(handle);
}

bool PlatformPortSetupQueues(PortHandle port, uint32_t rx_size, uint32_t tx_size) {
  return SetupComm(ToHandle(port), rx_size, tx_size) != FALSE;
}

bool PlatformPortGetLineSettings(PortHandle port, PortLineSettings* settings) {
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(ToHandle(port), &dcb)) return false;
  memset(settings, 0, sizeof *settings);
  memcpy(settings->native, &dcb, sizeof dcb);
  settings->baud_rate = dcb.BaudRate;
  settings->data_bits = dcb.ByteSize;
  settings->parity = dcb.Parity;
  settings->stop_bits = dcb.StopBits;
  settings->out_cts_flow = dcb.fOutxCtsFlow != 0;
  settings->out_dsr_flow = dcb.fOutxDsrFlow != 0;
  settings->dtr_control = static_cast<uint8_t>(dcb.fDtrControl);
  settings->rts_control = static_cast<uint8_t>(dcb.fRtsControl);
  settings->out_xon = dcb.fOutX != 0;
  settings->in_xon = dcb.fInX != 0;
  settings->abort_on_error = dcb.fAbortOnError != 0;
  return true;
}

bool PlatformPortSetLineSettings(PortHandle port, const PortLineSettings* settings) {
  // Start from the record as read, so every setting the driver leaves alone
  // goes back unchanged.
  DCB dcb;
  memcpy(&dcb, settings->native, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = settings->baud_rate;
  dcb.ByteSize = settings->data_bits;
  dcb.Parity = settings->parity;
  dcb.StopBits = settings->stop_bits;
  dcb.fOutxCtsFlow = settings->out_cts_flow ? 1 : 0;
  dcb.fOutxDsrFlow = settings->out_dsr_flow ? 1 : 0;
  dcb.fDtrControl = settings->dtr_control & 3;
  dcb.fRtsControl = settings->rts_control & 3;
  dcb.fOutX = settings->out_xon ? 1 : 0;
  dcb.fInX = settings->in_xon ? 1 : 0;
  dcb.fAbortOnError = settings->abort_on_error ? 1 : 0;
  return SetCommState(ToHandle(port), &dcb) != FALSE;
}

bool PlatformPortGetTimeouts(PortHandle port, PortTimeouts* timeouts) {
  COMMTIMEOUTS t;
  if (!GetCommTimeouts(ToHandle(port), &t)) return false;
  timeouts->read_interval = t.ReadIntervalTimeout;
  timeouts->read_total_multiplier = t.ReadTotalTimeoutMultiplier;
  timeouts->read_total_constant = t.ReadTotalTimeoutConstant;
  timeouts->write_total_multiplier = t.WriteTotalTimeoutMultiplier;
  timeouts->write_total_constant = t.WriteTotalTimeoutConstant;
  return true;
}

bool PlatformPortSetTimeouts(PortHandle port, const PortTimeouts* timeouts) {
  COMMTIMEOUTS t;
  t.ReadIntervalTimeout = timeouts->read_interval;
  t.ReadTotalTimeoutMultiplier = timeouts->read_total_multiplier;
  t.ReadTotalTimeoutConstant = timeouts->read_total_constant;
  t.WriteTotalTimeoutMultiplier = timeouts->write_total_multiplier;
  t.WriteTotalTimeoutConstant = timeouts->write_total_constant;
  return SetCommTimeouts(ToHandle(port), &t) != FALSE;
}

bool PlatformPortLine(PortHandle port, PortLineRequest request) {
  DWORD function = 0;
  switch (request) {
    case kSetDtr:
      function = SETDTR;
      break;
    case kClearDtr:
      function = CLRDTR;
      break;
    case kSetRts:
      function = SETRTS;
      break;
    case kClearRts:
      function = CLRRTS;
      break;
  }
  return EscapeCommFunction(ToHandle(port), function) != FALSE;
}

bool PlatformPortWrite(PortHandle port, const void* data, uint32_t size, uint32_t* written) {
  DWORD done = 0;
  BOOL ok = WriteFile(ToHandle(port), data, size, &done, NULL);
  *written = done;
  return ok != FALSE;
}

PortClearResult PlatformPortClearError(PortHandle port) {
  DWORD errors = 0;
  COMSTAT status;
  // After a surprise removal (unplugged, resumed from sleep) the query fails
  // as the writes do; under Wine so does a pseudo-terminal whose other end
  // has closed (error 21, not ready).
  if (!ClearCommError(ToHandle(port), &errors, &status)) return kPortQueryFailed;
  PurgeComm(ToHandle(port), PURGE_RXCLEAR);
  return errors != 0 ? kPortErrorCleared : kPortNoError;
}

bool PlatformIsTimeoutError(uint32_t error) {
  return error == ERROR_SEM_TIMEOUT || error == ERROR_COUNTER_TIMEOUT || error == WAIT_TIMEOUT ||
         error == ERROR_TIMEOUT;
}

bool PlatformPortPurge(PortHandle port, PortPurgeSide side) {
  DWORD flags =
      side == kPurgeReceive ? (PURGE_RXABORT | PURGE_RXCLEAR) : (PURGE_TXABORT | PURGE_TXCLEAR);
  return PurgeComm(ToHandle(port), flags) != FALSE;
}

bool PlatformPortClose(PortHandle port) { return CloseHandle(ToHandle(port)) != FALSE; }

uint32_t PlatformLastError() { return GetLastError(); }

// ----------------------------------------------------------- private profile

uint32_t PlatformProfileReadInt(const char* section, const char* key, int32_t fallback, const char* path) {
  return GetPrivateProfileIntA(section, key, fallback, path);
}

bool PlatformProfileWriteString(const char* section, const char* key, const char* value, const char* path) {
  return WritePrivateProfileStringA(section, key, value, path) != FALSE;
}

// ------------------------------------------------------------------- locks

namespace {

// A lock that needs no initialisation call, is safe from the first call,
// allocates nothing and leaves nothing behind when the library is unloaded:
// one word, zero when free, taken with a compare-exchange (a full barrier
// both ways). Windows XP has no slim reader/writer lock, and a critical
// section needs an initialisation that no code of ours could run first. It
// is held for a few instructions or one stream call: a waiter yields, and
// after a few tries sleeps, so that a holder of lower priority gets to run.
typedef volatile LONG SpinLock;

void Acquire(SpinLock* lock) {
  for (unsigned tries = 0; InterlockedCompareExchange(lock, 1, 0) != 0; ++tries) {
    Sleep(tries < 16 ? 0 : 1);
  }
}

void Release(SpinLock* lock) { InterlockedExchange(lock, 0); }

}  // namespace

// ------------------------------------------------------------------- time

namespace {
SpinLock g_tick_lock = 0;
uint64_t g_tick_ms = 0;
}  // namespace

// GetTickCount (Windows XP has no GetTickCount64) extended to 64 bits over
// its wrap every 49.7 days. Readings are taken and counted under the lock, so
// each is at least the last one counted and their difference is exact
// modulo 2^32.
uint64_t PlatformTickMs() {
  Acquire(&g_tick_lock);
  const uint64_t now = ExtendTickCount(g_tick_ms, GetTickCount());
  g_tick_ms = now;
  Release(&g_tick_lock);
  return now;
}

void PlatformSleepMs(uint32_t ms) { Sleep(ms); }

// ------------------------------------------------------------- message box

int PlatformShowMessageBox(const char* text, const char* caption) {
  return MessageBoxA(NULL, text, caption, MB_OK);
}

// -------------------------------------------------------- current directory

char PlatformPathSeparator() { return '\\'; }

bool PlatformIsLeadByte(uint8_t byte) { return IsDBCSLeadByte(byte) != FALSE; }

bool PlatformGetCurrentDir(char* buffer, size_t size) {
  if (size == 0) return false;
  // _getcwd takes an int size; anything larger than that fits all the same.
  int limit = size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size);
  if (_getcwd(buffer, limit) == NULL) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

// ------------------------------------------------------------- trace file

// One lock for the trace slot, usable before anything has run.
namespace {
SpinLock g_trace_lock = 0;
}

void PlatformTraceOpen(TraceFile* slot, const char* path) {
  Acquire(&g_trace_lock);
  *slot = fopen(path, "a+t");
  Release(&g_trace_lock);
}

bool PlatformTraceWrite(TraceFile* slot, const void* data, size_t size) {
  Acquire(&g_trace_lock);
  FILE* file = static_cast<FILE*>(*slot);
  bool ok = file != NULL && fwrite(data, 1, size, file) == size;
  Release(&g_trace_lock);
  return ok;
}

void PlatformTraceClose(TraceFile* slot) {
  Acquire(&g_trace_lock);
  if (*slot != NULL) fclose(static_cast<FILE*>(*slot));
  *slot = NULL;
  Release(&g_trace_lock);
}
