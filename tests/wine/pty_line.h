// The board's end of the line for the Wine suites: a raw pty whose slave a
// COM port of the prefix leads to, and a reader of its master that runs
// while the host writes (a frame is more than a pty holds, and a writer kept
// waiting would run into the driver's write time-out).
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdint.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pty_line {

typedef std::vector<uint8_t> Bytes;

struct Pty {
  int master = -1;
  int slave = -1;
  std::string name;
};

inline void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// A raw pty, like the board's line: no echo, no translation, no flow control.
// The test keeps the slave open too, so the line does not hang up when the
// host closes the port. Returns why it failed, or an empty text.
inline std::string OpenRawPty(Pty& pty) {
  char name[256];
  if (openpty(&pty.master, &pty.slave, name, nullptr, nullptr) != 0)
    return std::string("openpty: ") + strerror(errno);
  fcntl(pty.master, F_SETFD, FD_CLOEXEC);
  fcntl(pty.slave, F_SETFD, FD_CLOEXEC);
  struct termios raw;
  if (tcgetattr(pty.slave, &raw) != 0) return std::string("tcgetattr: ") + strerror(errno);
  cfmakeraw(&raw);
  if (tcsetattr(pty.slave, TCSANOW, &raw) != 0) return std::string("tcsetattr: ") + strerror(errno);
  pty.name = name;
  return "";
}

inline void ClosePty(Pty& pty) {
  CloseFd(pty.master);
  CloseFd(pty.slave);
}

// Points the prefix's port `com` ("com5") at `device`. Returns why it failed,
// or an empty text.
inline std::string LinkPort(const std::string& prefix, const std::string& com,
                            const std::string& device) {
  std::string link = prefix + "/dosdevices/" + com;
  unlink(link.c_str());
  if (symlink(device.c_str(), link.c_str()) != 0) return link + ": " + strerror(errno);
  return "";
}

inline void UnlinkPort(const std::string& prefix, const std::string& com) {
  unlink((prefix + "/dosdevices/" + com).c_str());
}

// Whatever the master holds now, read until it stays empty for `quiet_ms`.
inline Bytes Drain(int fd, int quiet_ms = 300) {
  Bytes bytes;
  struct pollfd p = {fd, POLLIN, 0};
  while (poll(&p, 1, quiet_ms) > 0 && (p.revents & POLLIN)) {
    uint8_t chunk[4096];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

// Reads the master in chunks as they come, so a decoder sees real splits.
// With close_after set it is the board that goes away: once that many bytes
// are in, the reader closes the master itself, in the middle of the stream.
struct PtyReader {
  int fd = -1;
  size_t close_after = 0;  // 0: read until stopped
  // A board that takes the bytes at the line's pace, not at once: at most
  // this many a second (0: as fast as they come).
  size_t bytes_per_second = 0;
  std::atomic<bool> stop{false};
  std::atomic<bool> closed{false};
  std::mutex lock;
  std::vector<Bytes> chunks;
  size_t total = 0;
  std::thread thread;
};

inline double SecondsNow() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

inline void ReadLoop(PtyReader& reader) {
  const double started = SecondsNow();
  for (;;) {
    // After the stop, whatever the pty still holds comes at once; a quiet
    // half second means it is all in.
    struct pollfd p = {reader.fd, POLLIN, 0};
    int ready = poll(&p, 1, reader.stop ? 500 : 50);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || !(p.revents & POLLIN)) {
      if (ready == 0 && !reader.stop) continue;
      return;
    }
    uint8_t chunk[4096];
    size_t want = sizeof chunk;
    if (reader.close_after > 0) want = std::min(want, reader.close_after - reader.total);
    if (reader.bytes_per_second > 0) {
      want = std::min(want, reader.bytes_per_second / 100 + 1);
      double due = started + static_cast<double>(reader.total) / reader.bytes_per_second;
      double ahead = due - SecondsNow();
      if (ahead > 0) usleep(static_cast<useconds_t>(ahead * 1e6));
    }
    ssize_t n = read(reader.fd, chunk, want);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return;
    std::lock_guard<std::mutex> hold(reader.lock);
    reader.chunks.emplace_back(chunk, chunk + n);
    reader.total += static_cast<size_t>(n);
    if (reader.close_after > 0 && reader.total >= reader.close_after) {
      close(reader.fd);
      reader.closed = true;
      return;
    }
  }
}

inline void StartReading(PtyReader& reader, int fd, size_t close_after = 0) {
  reader.fd = fd;
  reader.close_after = close_after;
  reader.stop = false;
  reader.thread = std::thread(ReadLoop, std::ref(reader));
}

// The chunks read, once the line has been quiet for half a second.
inline std::vector<Bytes> StopReading(PtyReader& reader) {
  reader.stop = true;
  if (reader.thread.joinable()) reader.thread.join();
  std::lock_guard<std::mutex> hold(reader.lock);
  return reader.chunks;
}

inline Bytes Joined(const std::vector<Bytes>& chunks) {
  Bytes all;
  for (const Bytes& c : chunks) all.insert(all.end(), c.begin(), c.end());
  return all;
}

}  // namespace pty_line
