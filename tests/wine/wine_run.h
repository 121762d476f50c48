// Running Windows programs under 64-bit Wine from a native test: where Wine
// is, a throw-away prefix made once and reused, a run bounded in time with
// its output caught in files, and stopping the prefix's wineserver. Shared by
// the Wine tests and the end-to-end tests, each with a prefix of its own.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace wine_run {

inline std::string Env(const char* name, const std::string& fallback = "") {
  const char* value = getenv(name);
  return value != nullptr && *value ? value : fallback;
}

// Under CI a test that cannot run fails instead of skipping.
inline bool UnderCi() { return Env("CI") == "true"; }

inline bool IsExecutable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }
inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline std::string WinePath() { return Env("KORVEX_WINE", "/usr/lib/wine/wine64"); }

// The wineserver of the same Wine: beside the loader, else on the PATH.
inline std::string WineServerPath() {
  std::string wine = WinePath();
  std::string dir = wine.substr(0, wine.find_last_of('/') + 1);
  for (const char* name : {"wineserver64", "wineserver"}) {
    if (!dir.empty() && IsExecutable(dir + name)) return dir + name;
  }
  return "wineserver";
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// The Windows name of a file of this machine under Wine's Z: drive.
inline std::string WindowsPath(const std::string& path) {
  std::string windows = "Z:" + path;
  for (char& c : windows)
    if (c == '/') c = '\\';
  return windows;
}

struct RunResult {
  int status = -1;  // exit code, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs argv in `cwd` with the prefix's environment, bounded by `timeout`
// seconds, standard output and error to files (a process Wine leaves behind
// cannot hold a pipe open then).
inline RunResult RunInPrefix(const std::string& prefix, const std::vector<std::string>& argv,
                             const std::string& cwd, int timeout) {
  std::string out_path = cwd + "/.probe-stdout";
  std::string err_path = cwd + "/.probe-stderr";
  std::vector<std::string> full = {"timeout", "-k", "10", std::to_string(timeout)};
  full.insert(full.end(), argv.begin(), argv.end());
  std::vector<char*> args;
  for (std::string& a : full) args.push_back(&a[0]);
  args.push_back(nullptr);

  RunResult result;
  pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    setenv("WINEPREFIX", prefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    // No window system: the probes replace the message box, and nothing else
    // may try to show one.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = ReadFile(out_path);
  result.err = ReadFile(err_path);
  unlink(out_path.c_str());
  unlink(err_path.c_str());
  return result;
}

inline std::string ParentOf(const std::string& path) {
  return path.substr(0, path.find_last_of('/'));
}

// Makes the prefix when it is not there yet. Returns why Wine cannot run the
// tests, or an empty text.
inline std::string PreparePrefix(const std::string& prefix) {
  if (!IsExecutable(WinePath())) {
    return "64-bit Wine not found at " + WinePath() +
           " (install wine64, or point KORVEX_WINE at the wine64 loader)";
  }
  if (Exists(prefix + "/system.reg")) return "";
  std::string parent = ParentOf(prefix);
  RunResult boot = RunInPrefix(prefix, {WinePath(), "wineboot", "-i"}, parent, 300);
  // The registry files are written when the wineserver shuts down.
  if (boot.status == 0) RunInPrefix(prefix, {WineServerPath(), "-w"}, parent, 120);
  if (boot.status != 0 || !Exists(prefix + "/system.reg"))
    return "wineboot -i failed to create the prefix " + prefix + " (status " +
           std::to_string(boot.status) + "): " + boot.err;
  return "";
}

// Ends the prefix's wineserver: the status of wineserver -k (1: there was no
// server), or 0 when there is no Wine or no prefix.
inline int StopWineServer(const std::string& prefix) {
  if (!IsExecutable(WinePath()) || !Exists(prefix)) return 0;
  return RunInPrefix(prefix, {WineServerPath(), "-k"}, ParentOf(prefix), 30).status;
}

// A suite's executable run as "--stop-wineserver" ends the prefix's
// wineserver (CTest does so once after the suite's last test, which saves
// Wine's start-up in every test). Returns true when that was the request.
inline bool HandleStopWineServer(int argc, char** argv, const std::string& prefix) {
  if (argc != 2 || strcmp(argv[1], "--stop-wineserver") != 0) return false;
  if (IsExecutable(WinePath()) && Exists(prefix)) {
    // 1: there was no server to stop.
    printf("wineserver -k: status %d\n", StopWineServer(prefix));
  }
  return true;
}

}  // namespace wine_run
