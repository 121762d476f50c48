// The ABI check of the deliverable, build/win32/Korvex.dll, and the proof
// that korvex-abicheck reports each kind of fault by name: it is run on
// stand-in DLLs with one planted fault each, and the FAIL lines it prints
// must be exactly the ones that fault explains.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

namespace {

struct CheckerRun {
  int exit_code = -1;
  std::string output;
  std::vector<std::string> lines;
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

uint32_t Le32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
  return v;
}

bool Exists(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

std::string StubPath(const std::string& name) {
  return std::string(KORVEX_ABI_STUB_DIR) + "/" + name + "/Korvex.dll";
}

CheckerRun RunChecker(const std::string& dll, bool verbose) {
  CheckerRun run;
  std::string command = Quote(KORVEX_ABICHECK) + " --objdump " + Quote(KORVEX_OBJDUMP) +
                        (verbose ? " --verbose " : " ") + Quote(dll) + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char chunk[4096];
  size_t got = 0;
  while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) run.output.append(chunk, got);
  int status = pclose(pipe);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  size_t pos = 0;
  while (pos < run.output.size()) {
    size_t end = run.output.find('\n', pos);
    if (end == std::string::npos) end = run.output.size();
    run.lines.push_back(run.output.substr(pos, end - pos));
    pos = end + 1;
  }
  return run;
}

bool HasLineStartingWith(const CheckerRun& run, const std::string& prefix) {
  for (const std::string& line : run.lines)
    if (line.compare(0, prefix.size(), prefix) == 0) return true;
  return false;
}

// Written out here again, not taken from the checker, so that a wrong entry
// in the checker's own table shows up as a failing test.
struct Export {
  const char* name;
  int ordinal;
  int cleanup;
};
const Export kExports[] = {
    {"DLL_GetInfo", 1, 4},           {"LCD_CleanUp", 2, 0},
    {"LCD_ConfigDialog", 3, 0},      {"LCD_Customize", 4, 20},
    {"LCD_GetCGRAMChar", 5, 4},      {"LCD_Init", 6, 0},
    {"LCD_IsReadyToReceive", 7, 0},  {"LCD_SendToController", 8, 4},
    {"LCD_SendToGfxMemory", 9, 24},  {"LCD_SendToMemory", 10, 4},
    {"LCD_SetCGRAMChar", 11, 68},    {"LCD_SetIOPropertys", 12, 56},
    {"LCD_SetOutputAddress", 13, 8},
};

void ExpectSound(const std::string& dll) {
  ASSERT_TRUE(Exists(KORVEX_OBJDUMP)) << "i686-w64-mingw32-objdump not found (" << KORVEX_OBJDUMP
                                      << "): install binutils-mingw-w64-i686";
  CheckerRun run = RunChecker(dll, true);
  std::printf("%s", run.output.c_str());
  EXPECT_EQ(run.exit_code, 0);
  for (const std::string& line : run.lines) EXPECT_NE(line.compare(0, 5, "FAIL "), 0) << line;
  EXPECT_TRUE(HasLineStartingWith(run, "PASS machine: i386 (0x014c)"));
  EXPECT_TRUE(HasLineStartingWith(run, "PASS format: PE32"));
  EXPECT_TRUE(HasLineStartingWith(run, "PASS kind: DLL"));
  EXPECT_TRUE(HasLineStartingWith(run, "PASS library name: Korvex.dll"));
  EXPECT_TRUE(HasLineStartingWith(run, "PASS exports: no others"));
  for (const Export& e : kExports) {
    std::string name = e.name;
    EXPECT_TRUE(HasLineStartingWith(
        run, "PASS export " + name + ": ordinal " + std::to_string(e.ordinal) + ", "))
        << name;
    EXPECT_TRUE(HasLineStartingWith(
        run, "PASS clean-up " + name + ": removes " + std::to_string(e.cleanup) + " bytes ("))
        << name;
  }
  EXPECT_TRUE(HasLineStartingWith(run, "PASS import KERNEL32.dll: system DLL"));
  ASSERT_FALSE(run.lines.empty());
  // The count depends on the number of imported DLLs.
  const std::string closing = run.lines.back();
  const std::string head = "korvex-abicheck: " + dll + ": ";
  EXPECT_EQ(closing.compare(0, head.size(), head), 0) << closing;
  EXPECT_TRUE(std::regex_match(closing.substr(std::min(head.size(), closing.size())),
                               std::regex("[0-9]+ checks, 0 failed")))
      << closing;
}

TEST(AbiCheck, DeliverableWin32Dll) {
  const std::string dll = KORVEX_DELIVERABLE;
  ASSERT_TRUE(Exists(dll)) << dll << " is missing: build it first (make dll)";
  ExpectSound(dll);
}

TEST(AbiCheck, GoodStandInPasses) {
  const std::string dll = StubPath("good");
  ASSERT_TRUE(Exists(dll)) << dll << " was not built: is i686-w64-mingw32-g++ installed?";
  ExpectSound(dll);
}

struct Fault {
  const char* name;
  const char* stub;  // stand-in folder, or "" when the test makes the file itself
  int exit_code;
  int checks;  // in the closing line
  std::vector<std::string> fail_lines;  // regular expressions, one per FAIL line
};

const char kRet[] = "ret at 0x[0-9a-f]{8} ";

std::vector<std::string> DecoratedLines() {
  std::vector<std::string> lines;
  int ordinal = 14;
  for (const Export& e : kExports)
    lines.push_back("FAIL export " + std::string(e.name) + "@" + std::to_string(e.cleanup) +
                    ": unexpected \\(ordinal " + std::to_string(ordinal++) +
                    "\\), a decorated name");
  return lines;
}

const Fault kFaults[] = {
    {"MisspelledName", "misspelled", 1, 34,
     {"FAIL export LCD_SetIOPropertys: missing",
      "FAIL export LCD_SetIOProperties: unexpected \\(ordinal 12\\)",
      "FAIL clean-up LCD_SetIOPropertys: not exported"}},
    {"SwappedOrdinals", "swapped", 1, 34,
     {"FAIL export LCD_SendToGfxMemory: ordinal 10, expected 9",
      "FAIL export LCD_SendToMemory: ordinal 9, expected 10"}},
    {"CallerCleansOutputAddress", "cdecl", 1, 34,
     {std::string("FAIL clean-up LCD_SetOutputAddress: ") + kRet + "removes 0 bytes, expected 8"}},
    {"GfxMemoryOneArgumentShort", "short-gfx", 1, 34,
     {std::string("FAIL clean-up LCD_SendToGfxMemory: ") + kRet + "removes 20 bytes, expected 24"}},
    {"DecoratedNamesExportedToo", "decorated", 1, 46, DecoratedLines()},
    {"WrongReturnBehindJumpTableAndTailCall", "reach", 1, 34,
     {std::string("FAIL clean-up LCD_GetCGRAMChar: ") + kRet + "removes 8 bytes, expected 4",
      std::string("FAIL clean-up LCD_SendToMemory: ") + kRet + "removes 12 bytes, expected 4"}},
    {"CompilerRuntimeDlls", "runtime", 1, 36,
     {"FAIL import libgcc_s_dw2-1.dll: compiler runtime DLL, must be linked in statically",
      "FAIL import libstdc\\+\\+-6.dll: compiler runtime DLL, must be linked in statically"}},
    {"Win64Image", "win64", 1, 4,
     {"FAIL machine: 0x8664, expected i386 \\(0x014c\\)", "FAIL format: PE32\\+, expected PE32"}},
    {"NotAPeFile", "", 2, 1, {"FAIL file: no MZ header: not a PE file"}},
    {"TruncatedFile", "", 2, 1, {"FAIL file: section \\.text lies outside the file"}},
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Fault& fault, std::ostream* os) { *os << fault.name; }

class AbiCheckFault : public testing::TestWithParam<Fault> {};

TEST_P(AbiCheckFault, ReportedByName) {
  const Fault& fault = GetParam();
  ASSERT_TRUE(Exists(KORVEX_OBJDUMP)) << "i686-w64-mingw32-objdump not found: install "
                                         "binutils-mingw-w64-i686";
  std::string dll;
  if (std::string(fault.name) == "NotAPeFile") {
    dll = KORVEX_ABICHECK;  // the checker itself, an ELF file
  } else if (std::string(fault.name) == "TruncatedFile") {
    // Headers and section table intact, the sections' bytes cut off.
    std::string good = StubPath("good");
    ASSERT_TRUE(Exists(good)) << good << " was not built";
    std::ifstream in(good, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Cut at SizeOfHeaders: PE offset at 0x3c, optional header 24 bytes on,
    // SizeOfHeaders 60 bytes into that.
    ASSERT_GT(bytes.size(), 0x40u);
    uint32_t pe = Le32(bytes, 0x3c);
    ASSERT_GT(bytes.size(), pe + 24 + 64);
    uint32_t headers = Le32(bytes, pe + 24 + 60);
    ASSERT_LT(headers, bytes.size());
    dll = testing::TempDir() + "korvex_abi_truncated.dll";
    std::ofstream(dll, std::ios::binary).write(bytes.data(), headers);
  } else {
    dll = StubPath(fault.stub);
    ASSERT_TRUE(Exists(dll)) << dll << " was not built: are the MinGW-w64 compilers installed?";
  }
  CheckerRun run = RunChecker(dll, false);
  std::vector<std::string> fails;
  for (const std::string& line : run.lines)
    if (line.compare(0, 5, "FAIL ") == 0) fails.push_back(line);
  EXPECT_EQ(run.exit_code, fault.exit_code) << run.output;
  // Each expected line appears once, and nothing else fails.
  std::vector<bool> used(fails.size(), false);
  for (const std::string& pattern : fault.fail_lines) {
    std::regex re(pattern);
    int hits = 0;
    for (size_t i = 0; i < fails.size(); ++i) {
      if (std::regex_match(fails[i], re)) {
        ++hits;
        used[i] = true;
      }
    }
    EXPECT_EQ(hits, 1) << "expected exactly one line matching: " << pattern << "\n" << run.output;
  }
  for (size_t i = 0; i < fails.size(); ++i)
    EXPECT_TRUE(used[i]) << "unexpected failure: " << fails[i];
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.back(), "korvex-abicheck: " + dll + ": " + std::to_string(fault.checks) +
                                  " checks, " + std::to_string(fault.fail_lines.size()) +
                                  " failed");
}

INSTANTIATE_TEST_SUITE_P(Stubs, AbiCheckFault, testing::ValuesIn(kFaults),
                         [](const testing::TestParamInfo<Fault>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
