// A read-only view of a 32-bit PE file (DLL or EXE), parsed from its bytes:
// headers, sections, export and import directories. Only what the ABI check
// needs; every read is bounds-checked against the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

const uint16_t kMachineI386 = 0x014c;
const uint16_t kMachineAmd64 = 0x8664;
const uint16_t kOptionalMagicPe32 = 0x010b;
const uint16_t kOptionalMagicPe32Plus = 0x020b;
const uint16_t kCharacteristicDll = 0x2000;
const uint32_t kSectionCode = 0x00000020;
const uint32_t kSectionExecute = 0x20000000;

struct PeSection {
  std::string name;
  uint32_t virtual_address = 0;
  uint32_t virtual_size = 0;
  uint32_t raw_offset = 0;
  uint32_t raw_size = 0;
  uint32_t characteristics = 0;
};

struct PeExport {
  std::string name;  // empty for an export by ordinal only
  uint32_t ordinal = 0;
  uint32_t rva = 0;
  bool forwarder = false;  // the RVA points at a "DLL.Name" text instead of code
  std::string forward_to;
};

struct PeImage {
  std::vector<uint8_t> bytes;
  uint16_t machine = 0;
  uint16_t characteristics = 0;
  uint16_t optional_magic = 0;
  uint32_t image_base = 0;
  std::vector<PeSection> sections;
  bool has_exports = false;
  std::string export_dll_name;
  std::vector<PeExport> exports;
  std::vector<std::string> imports;        // DLL names of the import directory
  std::vector<std::string> delay_imports;  // DLL names of the delay-load directory
};

// Reads and parses the file. Headers must be sound for this to succeed; a
// broken export or import directory is reported in *error too.
bool LoadPeImage(const std::string& path, PeImage* image, std::string* error);

// The section holding the RVA, or nullptr.
const PeSection* SectionOfRva(const PeImage& image, uint32_t rva);
bool IsExecutable(const PeSection& section);
// Copies size bytes at the RVA; false when any of them lies outside the
// file's raw data.
bool ReadAtRva(const PeImage& image, uint32_t rva, void* out, uint32_t size);
bool ReadU32AtRva(const PeImage& image, uint32_t rva, uint32_t* value);
