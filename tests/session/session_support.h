// A temporary folder as the host's current directory and a pty pair as the
// board's port, for tests that run the driver on the POSIX layer.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct SessionDir {
  std::string path;
  std::string previous;
};

inline SessionDir EnterTempDir() {
  SessionDir dir;
  char old[4096];
  dir.previous = getcwd(old, sizeof old) ? old : ".";
  char tmpl[] = "/tmp/korvex-session-XXXXXX";
  dir.path = mkdtemp(tmpl);
  if (chdir(dir.path.c_str()) != 0) abort();
  return dir;
}

inline void LeaveTempDir(const SessionDir& dir) {
  if (chdir(dir.previous.c_str()) != 0) abort();
  std::string command = "rm -rf '" + dir.path + "'";
  if (system(command.c_str()) != 0) abort();
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Pty {
  int master = -1;
  int slave = -1;
  std::string name;
};

// A raw pty pair; the slave stays open here too, so the port's closing never
// hangs up the master while the test still reads.
inline Pty OpenPty() {
  Pty pty;
  char name[256];
  struct termios raw;
  cfmakeraw(&raw);
  if (openpty(&pty.master, &pty.slave, name, &raw, nullptr) != 0) abort();
  pty.name = name;
  fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
  return pty;
}

// Everything the master can read within `quiet_ms` of silence.
inline std::vector<uint8_t> Drain(const Pty& pty, int quiet_ms = 200) {
  std::vector<uint8_t> bytes;
  for (;;) {
    struct pollfd p = {pty.master, POLLIN, 0};
    if (poll(&p, 1, quiet_ms) <= 0) break;
    uint8_t chunk[4096];
    ssize_t n = read(pty.master, chunk, sizeof chunk);
    if (n <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

inline void ClosePty(Pty& pty) {
  close(pty.master);
  close(pty.slave);
}
