// korvex-abicheck: checks the binary interface of the i686 Korvex.dll from
// its bytes, since 32-bit programs cannot be run to ask it. The host binds
// the thirteen exports by undecorated name and calls them with the standard
// calling convention, so a wrong name, ordinal or stack clean-up breaks the
// host at run time; an import of a compiler-runtime DLL breaks the load.
//
//   korvex-abicheck [--objdump PROGRAM] [--verbose] Korvex.dll
//
// One line per check ("PASS ..." or "FAIL ..."), a closing count; exit status
// 0 when every check passes, 1 when one fails, 2 when the file or the
// disassembler cannot be used at all.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "cleanup.h"
#include "disasm.h"
#include "pe_image.h"

namespace {

struct ExpectedExport {
  const char* name;
  uint32_t ordinal;
  uint32_t cleanup;  // argument bytes the function removes on return
};

const ExpectedExport kExpected[] = {
    {"DLL_GetInfo", 1, 4},           // the address of the caller's 264-byte record
    {"LCD_CleanUp", 2, 0},
    {"LCD_ConfigDialog", 3, 0},
    {"LCD_Customize", 4, 20},        // five values
    {"LCD_GetCGRAMChar", 5, 4},
    {"LCD_Init", 6, 0},
    {"LCD_IsReadyToReceive", 7, 0},
    {"LCD_SendToController", 8, 4},
    {"LCD_SendToGfxMemory", 9, 24},  // bitmap, x1, y1, x2, y2, one more
    {"LCD_SendToMemory", 10, 4},
    {"LCD_SetCGRAMChar", 11, 68},    // the 65-byte record by value, in 17 slots
    {"LCD_SetIOPropertys", 12, 56},  // fourteen values
    {"LCD_SetOutputAddress", 13, 8},
};

const char kLibraryName[] = "Korvex.dll";

struct Report {
  int checks = 0;
  int failed = 0;
};

void Line(Report* r, bool pass, const std::string& what, const std::string& detail) {
  ++r->checks;
  if (!pass) ++r->failed;
  std::printf("%s %s: %s\n", pass ? "PASS" : "FAIL", what.c_str(), detail.c_str());
}

std::string Hex(uint32_t v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*x", digits, v);
  return buf;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Empty when the DLL is one Windows itself provides; otherwise why not.
std::string ImportVerdict(const std::string& dll) {
  std::string n = Lower(dll);
  if (n == "kernel32.dll" || n == "user32.dll" || n == "msvcrt.dll") return "";
  if (StartsWith(n, "api-ms-win-crt-") && EndsWith(n, ".dll")) return "";
  if (StartsWith(n, "libgcc_s") || StartsWith(n, "libstdc++") || StartsWith(n, "libwinpthread"))
    return "compiler runtime DLL, must be linked in statically";
  return "not a system DLL";
}

void CheckImports(Report* r, const std::vector<std::string>& dlls, const char* what) {
  for (const std::string& dll : dlls) {
    std::string verdict = ImportVerdict(dll);
    Line(r, verdict.empty(), std::string(what) + " " + dll,
         verdict.empty() ? "system DLL" : verdict);
  }
}

bool IsDecorated(const std::string& name) {
  return name.find('@') != std::string::npos || (!name.empty() && (name[0] == '_' || name[0] == '?'));
}

void CheckCleanup(Report* r, const PeImage& image, Disassembly* dis, const ExpectedExport& want,
                  const PeExport* got, const std::set<uint32_t>& entries, bool verbose) {
  std::string what = std::string("clean-up ") + want.name;
  if (got == nullptr || got->forwarder) {
    Line(r, false, what, "not exported");
    return;
  }
  uint32_t entry = image.image_base + got->rva;
  std::set<uint32_t> others = entries;
  others.erase(entry);
  CleanupResult found = FindReturns(image, dis, entry, others);
  std::string detail;
  bool pass = found.problems.empty() && !found.returns.empty();
  for (const ReturnSite& ret : found.returns) {
    if (ret.pop != want.cleanup) {
      pass = false;
      if (!detail.empty()) detail += "; ";
      detail += "ret at " + Hex(ret.address, 8) + " removes " + std::to_string(ret.pop) +
                " bytes";
    }
  }
  for (const std::string& p : found.problems) {
    if (!detail.empty()) detail += "; ";
    detail += p;
  }
  if (found.returns.empty() && found.problems.empty()) detail = "no return instruction reachable";
  if (pass) {
    detail = "removes " + std::to_string(want.cleanup) + " bytes (" +
             std::to_string(found.returns.size()) +
             (found.returns.size() == 1 ? " return" : " returns") + " reachable from " +
             Hex(entry, 8) + ")";
  } else {
    detail += ", expected " + std::to_string(want.cleanup);
  }
  Line(r, pass, what, detail);
  if (verbose) {
    for (const ReturnSite& ret : found.returns) std::printf("    %s\n", ret.line.c_str());
  }
}

int Usage() {
  std::fprintf(stderr, "usage: korvex-abicheck [--objdump PROGRAM] [--verbose] Korvex.dll\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string objdump = "i686-w64-mingw32-objdump";
  if (const char* env = std::getenv("KORVEX_OBJDUMP")) objdump = env;
  bool verbose = false;
  std::string file;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--objdump" && i + 1 < argc) {
      objdump = argv[++i];
    } else if (arg == "--verbose" || arg == "-v") {
      verbose = true;
    } else if (!arg.empty() && arg[0] != '-' && file.empty()) {
      file = arg;
    } else {
      return Usage();
    }
  }
  if (file.empty()) return Usage();

  Report r;
  PeImage image;
  std::string error;
  if (!LoadPeImage(file, &image, &error)) {
    Line(&r, false, "file", error);
    std::printf("korvex-abicheck: %s: %d checks, %d failed\n", file.c_str(), r.checks, r.failed);
    return 2;
  }
  Line(&r, true, "file", "PE image, " + std::to_string(image.sections.size()) + " sections");
  Line(&r, image.machine == kMachineI386, "machine",
       image.machine == kMachineI386 ? "i386 (0x014c)"
                                     : Hex(image.machine, 4) + ", expected i386 (0x014c)");
  Line(&r, image.optional_magic == kOptionalMagicPe32, "format",
       image.optional_magic == kOptionalMagicPe32
           ? "PE32"
           : (image.optional_magic == kOptionalMagicPe32Plus ? std::string("PE32+")
                                                             : Hex(image.optional_magic, 4)) +
                 ", expected PE32");
  Line(&r, (image.characteristics & kCharacteristicDll) != 0, "kind",
       (image.characteristics & kCharacteristicDll) != 0 ? "DLL" : "not a DLL");
  if (image.machine != kMachineI386 || image.optional_magic != kOptionalMagicPe32) {
    std::printf("korvex-abicheck: %s: not an i686 image, nothing more checked\n", file.c_str());
    std::printf("korvex-abicheck: %s: %d checks, %d failed\n", file.c_str(), r.checks, r.failed);
    return 1;
  }

  // Exports: the thirteen names, each with its ordinal, and nothing else.
  Line(&r, image.has_exports && image.export_dll_name == kLibraryName, "library name",
       !image.has_exports ? "no export directory"
       : image.export_dll_name == kLibraryName
           ? image.export_dll_name
           : image.export_dll_name + ", expected " + kLibraryName);
  std::vector<const PeExport*> matched;
  std::set<uint32_t> entries;
  for (const PeExport& e : image.exports) entries.insert(image.image_base + e.rva);
  for (const ExpectedExport& want : kExpected) {
    const PeExport* got = nullptr;
    for (const PeExport& e : image.exports)
      if (e.name == want.name) got = &e;
    matched.push_back(got);
    std::string what = std::string("export ") + want.name;
    if (got == nullptr) {
      Line(&r, false, what, "missing");
    } else if (got->forwarder) {
      Line(&r, false, what, "forwarded to " + got->forward_to);
    } else if (got->ordinal != want.ordinal) {
      Line(&r, false, what,
           "ordinal " + std::to_string(got->ordinal) + ", expected " + std::to_string(want.ordinal));
    } else {
      const PeSection* s = SectionOfRva(image, got->rva);
      bool code = s != nullptr && IsExecutable(*s);
      Line(&r, code, what,
           code ? "ordinal " + std::to_string(got->ordinal) + ", " + s->name + "+" +
                      Hex(got->rva - s->virtual_address, 4)
                : "address " + Hex(got->rva, 8) + " is not in a code section");
    }
  }
  int unexpected = 0;
  for (const PeExport& e : image.exports) {
    bool known = std::any_of(std::begin(kExpected), std::end(kExpected),
                             [&](const ExpectedExport& x) { return e.name == x.name; });
    if (known) continue;
    ++unexpected;
    if (e.name.empty()) {
      Line(&r, false, "export #" + std::to_string(e.ordinal), "unexpected, exported without a name");
    } else {
      Line(&r, false, "export " + e.name,
           "unexpected (ordinal " + std::to_string(e.ordinal) + ")" +
               (IsDecorated(e.name) ? ", a decorated name" : ""));
    }
  }
  if (unexpected == 0) Line(&r, true, "exports", "no others");

  // Stack clean-up of each export, from its machine code.
  Disassembly dis;
  if (!DisassembleImage(objdump, file, &dis, &error)) {
    Line(&r, false, "disassembly", error);
    std::printf("korvex-abicheck: %s: %d checks, %d failed\n", file.c_str(), r.checks, r.failed);
    return 2;
  }
  for (size_t i = 0; i < matched.size(); ++i)
    CheckCleanup(&r, image, &dis, kExpected[i], matched[i], entries, verbose);

  // Imports: Windows' own DLLs only.
  if (image.imports.empty()) Line(&r, true, "imports", "none");
  CheckImports(&r, image.imports, "import");
  CheckImports(&r, image.delay_imports, "delay-load import");

  std::printf("korvex-abicheck: %s: %d checks, %d failed\n", file.c_str(), r.checks, r.failed);
  return r.failed == 0 ? 0 : 1;
}
