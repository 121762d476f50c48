// The board program on Linux: a pty it creates (the serial port the driver
// writes to), a serial device, a capture file or standard input; signals for
// stop and snapshot requests; keys from the terminal.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "tools/board/platform.h"

namespace board {

struct Input {
  int fd = -1;
  int slave = -1;     // a pty's own slave, held open so writers may come and go
  bool ends = false;  // a file or standard input
  std::string name;
  std::string link;   // made for the pty, removed again on close
  bool keys = false;  // standard input is a terminal in key mode
  bool ended = false; // the end of the file was read
  termios saved_terminal{};
};

namespace {

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_snapshot = 0;
sigset_t g_wait_mask;  // the mask while waiting: the request signals let through

void OnStop(int) { g_stop = 1; }
void OnSnapshot(int) { g_snapshot = 1; }

std::string Because(const std::string& what, const std::string& name) {
  return what + " " + name + ": " + strerror(errno);
}

speed_t SpeedOf(int baud) {
  static const struct {
    int baud;
    speed_t speed;
  } kSpeeds[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},    {9600, B9600},
                 {19200, B19200},   {38400, B38400},   {57600, B57600},  {115200, B115200},
                 {230400, B230400}, {460800, B460800}, {921600, B921600}};
  for (const auto& s : kSpeeds) {
    if (s.baud == baud) return s.speed;
  }
  return B0;
}

// Raw, so that every byte passes unchanged, at the given speed where the
// device has one.
void MakeRaw(int fd, int baud) {
  termios raw;
  if (tcgetattr(fd, &raw) != 0) return;
  cfmakeraw(&raw);
  raw.c_cflag |= CLOCAL | CREAD;
  const speed_t speed = SpeedOf(baud > 0 ? baud : 19200);
  if (speed != B0) cfsetspeed(&raw, speed);
  tcsetattr(fd, TCSANOW, &raw);
}

bool OpenPty(const InputRequest& request, Input* input, std::string* error) {
  char name[256];
  if (openpty(&input->fd, &input->slave, name, nullptr, nullptr) != 0) {
    *error = std::string("cannot create a pty: ") + strerror(errno);
    return false;
  }
  MakeRaw(input->slave, 0);
  fcntl(input->fd, F_SETFD, FD_CLOEXEC);
  fcntl(input->slave, F_SETFD, FD_CLOEXEC);
  input->name = name;
  const std::string& link = request.link;
  if (link.empty()) {
    printf("korvex-board: pty %s\n", name);
    fflush(stdout);
    return true;
  }
  struct stat st;
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      *error = link + " exists and is not a symbolic link";
      return false;
    }
    unlink(link.c_str());
  }
  if (symlink(name, link.c_str()) != 0) {
    *error = Because("cannot link", link);
    return false;
  }
  input->link = link;
  if (!request.quiet) printf("korvex-board: pty %s linked at %s\n", name, link.c_str());
  fflush(stdout);
  return true;
}

// Keys one at a time, without echo, while the program runs.
// Only in the terminal's foreground: a job started with & would be stopped
// for changing the terminal's mode.
void StartKeys(Input* input) {
  if (!isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) != getpgrp() ||
      tcgetattr(STDIN_FILENO, &input->saved_terminal) != 0) {
    return;
  }
  termios keys = input->saved_terminal;
  keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  keys.c_cc[VMIN] = 1;
  keys.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &keys) == 0) input->keys = true;
}

}  // namespace

Input* OpenInput(const InputRequest& request, std::string* name, std::string* error) {
  Input* input = new Input;
  bool ok = true;
  if (request.file == "-") {
    input->fd = STDIN_FILENO;
    input->ends = true;
    input->name = "standard input";
  } else if (!request.file.empty()) {
    input->name = request.file;
    input->ends = true;
    input->fd = open(request.file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (input->fd < 0) {
      *error = Because("cannot read", request.file);
      ok = false;
    } else if (fstat(input->fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      *error = Because("cannot read", request.file);
      ok = false;
    }
  } else if (!request.port.empty()) {
    input->name = request.port;
    input->fd = open(request.port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (input->fd < 0) {
      *error = Because("cannot open", request.port);
      ok = false;
    } else {
      MakeRaw(input->fd, request.baud);
    }
  } else {
    ok = OpenPty(request, input, error);
  }
  if (!ok) {
    CloseInput(input);
    return nullptr;
  }
  if (request.keys && request.file != "-") StartKeys(input);
  *name = input->name;
  return input;
}

bool InputEnds(const Input* input) { return input->ends; }

bool KeysActive(const Input* input) { return input->keys; }

void CloseInput(Input* input) {
  if (!input) return;
  if (input->keys) tcsetattr(STDIN_FILENO, TCSANOW, &input->saved_terminal);
  // The link goes only while it still points at this run's pty.
  if (!input->link.empty()) {
    char target[256];
    const ssize_t n = readlink(input->link.c_str(), target, sizeof target - 1);
    if (n >= 0) {
      target[n] = '\0';
      if (input->name == target) unlink(input->link.c_str());
    }
  }
  if (input->slave >= 0) close(input->slave);
  if (input->fd > STDIN_FILENO) close(input->fd);
  delete input;
}

WaitResult WaitInput(Input* input, uint8_t* buffer, size_t capacity, size_t* size, int* key,
                     double seconds, std::string* error) {
  *size = 0;
  // After its end the source is left out: poll ignores a negative fd.
  pollfd fds[2] = {{input->ended ? -1 : input->fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  const nfds_t count = input->keys ? 2 : 1;
  timespec timeout;
  if (seconds >= 0) {
    timeout.tv_sec = static_cast<time_t>(seconds);
    timeout.tv_nsec = static_cast<long>((seconds - static_cast<double>(timeout.tv_sec)) * 1e9);
  }
  const int ready = ppoll(fds, count, seconds >= 0 ? &timeout : nullptr, &g_wait_mask);
  if (ready < 0) {
    if (errno == EINTR) return WaitResult::kTimeout;
    *error = std::string("poll: ") + strerror(errno);
    return WaitResult::kError;
  }
  if (ready == 0) return WaitResult::kTimeout;
  if (count == 2 && (fds[1].revents & POLLIN)) {
    unsigned char c;
    if (read(STDIN_FILENO, &c, 1) == 1) {
      *key = c;
      return WaitResult::kKey;
    }
  }
  if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) return WaitResult::kTimeout;
  const ssize_t n = read(input->fd, buffer, capacity);
  if (n > 0) {
    *size = static_cast<size_t>(n);
    return WaitResult::kData;
  }
  if (n == 0) {
    input->ended = true;
    return WaitResult::kEnd;
  }
  if (errno == EINTR || errno == EAGAIN) return WaitResult::kTimeout;
  *error = Because("cannot read", input->name);
  return WaitResult::kError;
}

void InstallRequestHandlers() {
  // The request signals are blocked except while waiting for input, so none
  // is lost between checking the flags and going to sleep.
  struct sigaction action;
  memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_handler = OnStop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  action.sa_handler = OnSnapshot;
  sigaction(SIGUSR1, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&blocked, s);
  sigprocmask(SIG_BLOCK, &blocked, &g_wait_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigdelset(&g_wait_mask, s);
}

bool StopRequested() { return g_stop != 0; }

bool TakeSnapshotRequest() {
  if (!g_snapshot) return false;
  g_snapshot = 0;
  return true;
}

double NowSeconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void Pause(double seconds) {
  timespec timeout;
  timeout.tv_sec = static_cast<time_t>(seconds);
  timeout.tv_nsec = static_cast<long>((seconds - static_cast<double>(timeout.tv_sec)) * 1e9);
  ppoll(nullptr, 0, &timeout, &g_wait_mask);
}

bool MoveOver(const std::string& from, const std::string& to, std::string* error) {
  if (rename(from.c_str(), to.c_str()) == 0) return true;
  *error = strerror(errno);
  return false;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

int ConsoleColumns() {
  winsize size;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  const char* columns = getenv("COLUMNS");
  const int n = columns ? atoi(columns) : 0;
  return n > 0 ? n : 80;
}

TerminalStyle DefaultLiveStyle() { return TerminalStyle::Braille; }

void ConsoleBeginLive() {
  fputs("\x1b[?25l\x1b[2J", stdout);
  fflush(stdout);
}

void ConsoleDrawFrame(const std::vector<std::string>& lines) {
  std::string frame = "\x1b[H";
  for (const std::string& line : lines) frame += line + "\x1b[K\n";
  frame += "\x1b[J";
  fwrite(frame.data(), 1, frame.size(), stdout);
  fflush(stdout);
}

void ConsoleEndLive() {
  fputs("\x1b[?25h", stdout);
  fflush(stdout);
}

// The window is korvex-board.exe's; here the console and the pictures show
// the display.
const char* WindowUnsupported() {
  return "--window is for Windows (korvex-board.exe); here --live shows the display in the "
         "terminal and --png as a picture";
}

bool WindowOpen(std::string* error) {
  *error = WindowUnsupported();
  return false;
}

void WindowShow(const WindowFrame&) {}

int WindowTakeScaleRequest() { return 0; }

void WindowClose() {}

}  // namespace board
