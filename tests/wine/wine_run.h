// Running Windows programs under Wine from a native test: which build and
// which Wine, the build tree's one prefix (made once, shared by every suite,
// the benchmark and make demo), its wineserver kept up and silenced, and a
// run bounded in time with its output caught in files.
//
// A suite runs one Windows build, chosen by CTest through the environment:
//   KORVEX_WIN_DIR   the build folder with Korvex.dll and the programs
//                    (default: the win64 build)
//   KORVEX_WINE      the Wine loader (default /usr/lib/wine/wine64; the i686
//                    suites use the 32-bit loader /usr/lib/wine/wine)
// The prefix is a 64-bit one with its 32-bit half, so it serves both.
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

// The reason a machine gives that no install mends: its kernel runs no 32-bit
// program at all (some sandboxes have no 32-bit system calls).
const char kNo32BitKernel[] = "this machine's kernel runs no 32-bit program";

// Under CI a test that cannot run fails, unless the machine itself is why.
inline bool FailUnderCi(const std::string& why) {
  return UnderCi() && why.compare(0, sizeof kNo32BitKernel - 1, kNo32BitKernel) != 0;
}

inline bool IsExecutable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }
inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

const char kWine64[] = "/usr/lib/wine/wine64";
const char kWine32[] = "/usr/lib/wine/wine";

inline std::string WinePath() { return Env("KORVEX_WINE", kWine64); }

inline std::string WinDir() { return Env("KORVEX_WIN_DIR", KORVEX_WIN64_DIR); }

// kNo32BitKernel and how it showed when the 32-bit program `loader` cannot be
// started at all (exec fails with ENOEXEC), else an empty text.
inline std::string KernelRefuses32Bit(const std::string& loader) {
  const pid_t child = fork();
  if (child < 0) return "";
  if (child == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, 1);
      dup2(null, 2);
    }
    execl(loader.c_str(), loader.c_str(), "--version", (char*)nullptr);
    _exit(errno == ENOEXEC ? 126 : 127);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) return "";
  if (WIFEXITED(status) && WEXITSTATUS(status) == 126) {
    return std::string(kNo32BitKernel) + ": " + loader + " fails with \"Exec format error\"";
  }
  return "";
}

// True when the suite runs the 32-bit build.
inline bool Runs32Bit() { return Env("KORVEX_WIN_ARCH") == "i686"; }

// "i686" or "x86_64", for folder names and messages.
inline std::string Arch() { return Runs32Bit() ? "i686" : "x86_64"; }

// Takes --win-arch=i686 off the command line: the suite then runs the i686
// build under 32-bit Wine (unless KORVEX_WIN_DIR or KORVEX_WINE say
// otherwise).
inline void SelectBuild(int* argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    if (strcmp(argv[i], "--win-arch=i686") == 0) {
      setenv("KORVEX_WIN_ARCH", "i686", 1);
#ifdef KORVEX_WIN32_DIR
      setenv("KORVEX_WIN_DIR", KORVEX_WIN32_DIR, 0);
#endif
      setenv("KORVEX_WINE", kWine32, 0);
    } else {
      argv[kept++] = argv[i];
    }
  }
  *argc = kept;
  argv[kept] = nullptr;
}

// The wineserver of the same Wine: beside the loader, else on the PATH.
inline std::string WineServerPath() {
  std::string wine = Env("KORVEX_WINE", kWine64);
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

// The environment of every Wine process of the tests.
inline void EnterPrefix(const std::string& prefix) {
  setenv("WINEPREFIX", prefix.c_str(), 1);
  setenv("WINEDEBUG", "-all", 1);
  // No window system: the probes replace the message box, and nothing else
  // may try to show one.
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
}

// Runs argv in `cwd` with the prefix's environment and `env` (NAME=value),
// standard input from /dev/null, standard output and error to the files
// given (empty: /dev/null), and waits. Returns the exit status, or -1.
inline int Spawn(const std::string& prefix, const std::vector<std::string>& argv,
                 const std::string& cwd, const std::vector<std::string>& env,
                 const std::string& out_path, const std::string& err_path) {
  std::vector<std::string> copy = argv;
  std::vector<char*> args;
  for (std::string& a : copy) args.push_back(&a[0]);
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    EnterPrefix(prefix);
    for (const std::string& pair : env) {
      size_t eq = pair.find('=');
      setenv(pair.substr(0, eq).c_str(), pair.substr(eq + 1).c_str(), 1);
    }
    const char* out_name = out_path.empty() ? "/dev/null" : out_path.c_str();
    const char* err_name = err_path.empty() ? "/dev/null" : err_path.c_str();
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
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
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs argv and waits, its standard streams on /dev/null.
inline int RunQuietly(const std::string& prefix, const std::vector<std::string>& argv) {
  return Spawn(prefix, argv, "", {}, "", "");
}

// Starts the prefix's wineserver, silenced, unless one runs already. Debian's
// wineserver dumps its objects on its standard error when a pty it has open
// goes away, and one a test's Wine started would write that into the test's
// output. It stays for two minutes after its last client.
inline void EnsureWineServer(const std::string& prefix) {
  // It goes into the background once it serves; a status of 1 or 2 means one
  // was running already.
  RunQuietly(prefix, {WineServerPath(), "-p120"});
}

// Runs argv in `cwd` with the prefix's environment and `env` (NAME=value),
// bounded by `timeout` seconds, standard output and error to files (a process
// Wine leaves behind cannot hold a pipe open then).
inline RunResult RunWithFiles(const std::string& prefix, const std::vector<std::string>& argv,
                              const std::string& cwd, int timeout,
                              const std::vector<std::string>& env = {}) {
  const std::string out_path = cwd + "/.probe-stdout";
  const std::string err_path = cwd + "/.probe-stderr";
  std::vector<std::string> full = {"timeout", "-k", "10", std::to_string(timeout)};
  full.insert(full.end(), argv.begin(), argv.end());
  RunResult result;
  result.status = Spawn(prefix, full, cwd, env, out_path, err_path);
  result.out = ReadFile(out_path);
  result.err = ReadFile(err_path);
  unlink(out_path.c_str());
  unlink(err_path.c_str());
  return result;
}

// The same on the prefix's own wineserver.
inline RunResult RunInPrefix(const std::string& prefix, const std::vector<std::string>& argv,
                             const std::string& cwd, int timeout,
                             const std::vector<std::string>& env = {}) {
  EnsureWineServer(prefix);
  RunResult result = RunWithFiles(prefix, argv, cwd, timeout, env);
  // Once in a CI run of some 900 starts, Wine ended a probe with status 1
  // within 30 ms, before the probe wrote a line: every program the tests
  // start writes one on every path. Such a start runs once more, and says so
  // in the test's output.
  if (result.status == 1 && result.out.empty() && result.err.empty()) {
    printf("note: Wine ended %s with status 1 and no output; run once more\n",
           argv.size() > 1 ? argv[1].c_str() : argv[0].c_str());
    result = RunWithFiles(prefix, argv, cwd, timeout, env);
  }
  return result;
}

inline std::string ParentOf(const std::string& path) {
  return path.substr(0, path.find_last_of('/'));
}

// Makes the prefix when it is not there yet, with its 32-bit half when the
// 32-bit Wine is installed (scripts/wine-prefix.sh, which make demo runs
// too). Returns why Wine cannot run the tests, or an empty text.
inline std::string PreparePrefix(const std::string& prefix) {
  if (!IsExecutable(kWine64)) {
    return std::string("64-bit Wine not found at ") + kWine64 +
           " (scripts/ensure-deps.sh installs wine64)";
  }
  if (Exists(prefix + "/system.reg") &&
      (!IsExecutable(kWine32) || !KernelRefuses32Bit(kWine32).empty() ||
       Exists(prefix + "/drive_c/windows/syswow64/kernel32.dll")))
    return "";
  RunResult made = RunWithFiles(prefix, {KORVEX_PREFIX_SCRIPT, prefix}, ParentOf(prefix), 900);
  if (made.status != 0) return "making the prefix failed: " + made.out + made.err;
  return "";
}

// Why this suite's Wine cannot run its programs, or an empty text: the
// prefix, and for the i686 suites the 32-bit loader.
inline std::string SuiteUnavailable(const std::string& prefix) {
  if (Runs32Bit() && !IsExecutable(WinePath())) {
    return "32-bit Wine not found at " + WinePath() +
           ": the i686 suites need it (scripts/ensure-deps.sh runs dpkg --add-architecture i386 "
           "and installs wine32:i386)";
  }
  if (!IsExecutable(WinePath())) return "Wine not found at " + WinePath();
  if (Runs32Bit()) {
    std::string refused = KernelRefuses32Bit(WinePath());
    if (!refused.empty()) return refused;
  }
  std::string why = PreparePrefix(prefix);
  if (!why.empty()) return why;
  if (Runs32Bit() && !Exists(prefix + "/drive_c/windows/syswow64/kernel32.dll"))
    return "the prefix " + prefix + " has no 32-bit half";
  return "";
}

// Why a test cannot run: the suite's Wine (looked at once a process), then
// each of `files` in the suite's build folder. Empty when it can. The
// fixtures skip with it, or fail under CI.
inline std::string CannotRun(const std::string& prefix, const std::vector<std::string>& files) {
  static const std::string suite = SuiteUnavailable(prefix);
  if (!suite.empty()) return suite;
  for (const std::string& file : files) {
    const std::string path = file.find('/') == std::string::npos ? WinDir() + "/" + file : file;
    if (!Exists(path)) return path + " is missing: build it with make dll";
  }
  return "";
}

// An empty folder at `path`, made anew.
inline bool FreshFolder(const std::string& path) {
  return system(("rm -rf '" + path + "' && mkdir -p '" + path + "'").c_str()) == 0;
}

// Ends the prefix's wineserver and waits (at most 30 s) until it is gone, so
// that a run right after this one does not meet a server on its way out: the
// status of wineserver -k (1: there was no server), or 0 when there is no
// Wine or no prefix.
inline int StopWineServer(const std::string& prefix) {
  if (!IsExecutable(kWine64) || !Exists(prefix)) return 0;
  const int status = RunQuietly(prefix, {WineServerPath(), "-k"});
  RunQuietly(prefix, {"timeout", "30", WineServerPath(), "-w"});
  return status;
}

// A suite's executable run as "--prepare-prefix" makes the prefix (CTest runs
// it once, before every Wine test), as "--stop-wineserver" ends its server
// (once, after them). Returns true when that was the request; *status is the
// exit status: 0, 77 when the prefix cannot be made (the tests then skip), or
// 1 when it cannot be made under CI.
inline bool HandlePrefixRequest(int argc, char** argv, const std::string& prefix, int* status) {
  if (argc != 2) return false;
  *status = 0;
  if (strcmp(argv[1], "--prepare-prefix") == 0) {
    std::string why = PreparePrefix(prefix);
    if (!why.empty()) {
      printf("%s\n", why.c_str());
      *status = FailUnderCi(why) ? 1 : 77;
    } else {
      EnsureWineServer(prefix);
      printf("prefix %s ready\n", prefix.c_str());
    }
    return true;
  }
  if (strcmp(argv[1], "--stop-wineserver") == 0) {
    // 1: there was no server to stop.
    printf("wineserver -k: status %d\n", StopWineServer(prefix));
    return true;
  }
  return false;
}

}  // namespace wine_run
