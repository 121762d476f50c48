#include "pe_image.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

const uint32_t kDirExport = 0;
const uint32_t kDirImport = 1;
const uint32_t kDirDelayImport = 13;
const uint32_t kMaxName = 1024;

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool ReadAtOffset(const std::vector<uint8_t>& bytes, uint64_t offset, void* out, uint64_t size) {
  if (offset > bytes.size() || size > bytes.size() - offset) return false;
  std::memcpy(out, bytes.data() + offset, size);
  return true;
}

uint16_t U16(const std::vector<uint8_t>& b, uint64_t off) {
  return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}

uint32_t U32(const std::vector<uint8_t>& b, uint64_t off) {
  return static_cast<uint32_t>(b[off]) | (static_cast<uint32_t>(b[off + 1]) << 8) |
         (static_cast<uint32_t>(b[off + 2]) << 16) | (static_cast<uint32_t>(b[off + 3]) << 24);
}

bool ReadStringAtRva(const PeImage& image, uint32_t rva, std::string* out) {
  out->clear();
  for (uint32_t i = 0; i < kMaxName; ++i) {
    char c = 0;
    if (!ReadAtRva(image, rva + i, &c, 1)) return false;
    if (c == 0) return true;
    out->push_back(c);
  }
  return false;
}

bool ParseExports(PeImage* image, uint32_t dir_rva, uint32_t dir_size, std::string* error) {
  uint8_t dir[40];
  if (!ReadAtRva(*image, dir_rva, dir, sizeof dir)) {
    *error = "export directory lies outside the file";
    return false;
  }
  std::vector<uint8_t> d(dir, dir + sizeof dir);
  uint32_t name_rva = U32(d, 12);
  uint32_t base = U32(d, 16);
  uint32_t function_count = U32(d, 20);
  uint32_t name_count = U32(d, 24);
  uint32_t functions_rva = U32(d, 28);
  uint32_t names_rva = U32(d, 32);
  uint32_t ordinals_rva = U32(d, 36);
  if (function_count > 65536 || name_count > function_count) {
    *error = "export directory counts are implausible";
    return false;
  }
  if (!ReadStringAtRva(*image, name_rva, &image->export_dll_name)) {
    *error = "export directory name is unreadable";
    return false;
  }
  std::vector<bool> named(function_count, false);
  for (uint32_t i = 0; i < name_count; ++i) {
    uint32_t entry_name_rva = 0;
    uint16_t index = 0;
    if (!ReadU32AtRva(*image, names_rva + 4 * i, &entry_name_rva) ||
        !ReadAtRva(*image, ordinals_rva + 2 * i, &index, 2)) {
      *error = "export name tables lie outside the file";
      return false;
    }
    PeExport e;
    if (!ReadStringAtRva(*image, entry_name_rva, &e.name)) {
      *error = "an export name is unreadable";
      return false;
    }
    if (index >= function_count ||
        !ReadU32AtRva(*image, functions_rva + 4 * index, &e.rva)) {
      *error = "export " + e.name + " has no address entry";
      return false;
    }
    e.ordinal = base + index;
    named[index] = true;
    image->exports.push_back(e);
  }
  // Exports that have an address but no name (ordinal-only exports).
  for (uint32_t index = 0; index < function_count; ++index) {
    if (named[index]) continue;
    PeExport e;
    if (!ReadU32AtRva(*image, functions_rva + 4 * index, &e.rva)) {
      *error = "export address table lies outside the file";
      return false;
    }
    if (e.rva == 0) continue;  // an unused slot
    e.ordinal = base + index;
    image->exports.push_back(e);
  }
  for (PeExport& e : image->exports) {
    if (e.rva >= dir_rva && e.rva < dir_rva + dir_size) {
      e.forwarder = true;
      ReadStringAtRva(*image, e.rva, &e.forward_to);
    }
  }
  image->has_exports = true;
  return true;
}

bool ParseImports(PeImage* image, uint32_t dir_rva, std::string* error) {
  for (uint32_t i = 0;; ++i) {
    uint8_t desc[20];
    if (!ReadAtRva(*image, dir_rva + 20 * i, desc, sizeof desc)) {
      *error = "import directory lies outside the file";
      return false;
    }
    std::vector<uint8_t> d(desc, desc + sizeof desc);
    bool all_zero = true;
    for (uint8_t b : desc) all_zero = all_zero && b == 0;
    if (all_zero) return true;
    std::string name;
    if (!ReadStringAtRva(*image, U32(d, 12), &name)) {
      *error = "an imported DLL name is unreadable";
      return false;
    }
    image->imports.push_back(name);
    if (i > 4096) {
      *error = "import directory has no end";
      return false;
    }
  }
}

bool ParseDelayImports(PeImage* image, uint32_t dir_rva, std::string* error) {
  for (uint32_t i = 0;; ++i) {
    uint8_t desc[32];
    if (!ReadAtRva(*image, dir_rva + 32 * i, desc, sizeof desc)) {
      *error = "delay-load directory lies outside the file";
      return false;
    }
    std::vector<uint8_t> d(desc, desc + sizeof desc);
    uint32_t attributes = U32(d, 0);
    uint32_t name = U32(d, 4);
    if (name == 0) return true;
    // Attribute bit 0 clear: the old layout that holds addresses, not RVAs.
    if ((attributes & 1) == 0) name -= image->image_base;
    std::string dll;
    if (!ReadStringAtRva(*image, name, &dll)) {
      *error = "a delay-loaded DLL name is unreadable";
      return false;
    }
    image->delay_imports.push_back(dll);
    if (i > 4096) {
      *error = "delay-load directory has no end";
      return false;
    }
  }
}

}  // namespace

const PeSection* SectionOfRva(const PeImage& image, uint32_t rva) {
  for (const PeSection& s : image.sections) {
    uint32_t extent = s.virtual_size > s.raw_size ? s.virtual_size : s.raw_size;
    if (rva >= s.virtual_address && rva - s.virtual_address < extent) return &s;
  }
  return nullptr;
}

bool IsExecutable(const PeSection& section) {
  return (section.characteristics & (kSectionCode | kSectionExecute)) != 0;
}

bool ReadAtRva(const PeImage& image, uint32_t rva, void* out, uint32_t size) {
  const PeSection* s = SectionOfRva(image, rva);
  if (s == nullptr) return false;
  uint32_t within = rva - s->virtual_address;
  if (within > s->raw_size || size > s->raw_size - within) return false;
  return ReadAtOffset(image.bytes, static_cast<uint64_t>(s->raw_offset) + within, out, size);
}

bool ReadU32AtRva(const PeImage& image, uint32_t rva, uint32_t* value) {
  uint8_t b[4];
  if (!ReadAtRva(image, rva, b, 4)) return false;
  *value = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
  return true;
}

bool LoadPeImage(const std::string& path, PeImage* image, std::string* error) {
  *image = PeImage();
  if (!ReadFileBytes(path, &image->bytes)) {
    *error = "cannot read " + path;
    return false;
  }
  const std::vector<uint8_t>& b = image->bytes;
  if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') {
    *error = "no MZ header: not a PE file";
    return false;
  }
  uint64_t pe = U32(b, 0x3c);
  if (pe + 24 > b.size() || std::memcmp(b.data() + pe, "PE\0\0", 4) != 0) {
    *error = "no PE signature: not a PE file";
    return false;
  }
  uint64_t coff = pe + 4;
  image->machine = U16(b, coff);
  uint16_t section_count = U16(b, coff + 2);
  uint16_t optional_size = U16(b, coff + 16);
  image->characteristics = U16(b, coff + 18);
  uint64_t opt = coff + 20;
  if (optional_size < 2 || opt + optional_size > b.size()) {
    *error = "optional header is truncated";
    return false;
  }
  image->optional_magic = U16(b, opt);
  uint64_t sections = opt + optional_size;
  if (sections + 40ull * section_count > b.size()) {
    *error = "section table is truncated";
    return false;
  }
  for (uint16_t i = 0; i < section_count; ++i) {
    uint64_t s = sections + 40ull * i;
    PeSection sec;
    const char* raw_name = reinterpret_cast<const char*>(b.data() + s);
    sec.name.assign(raw_name, strnlen(raw_name, 8));
    sec.virtual_size = U32(b, s + 8);
    sec.virtual_address = U32(b, s + 12);
    sec.raw_size = U32(b, s + 16);
    sec.raw_offset = U32(b, s + 20);
    sec.characteristics = U32(b, s + 36);
    if (sec.raw_size > 0 &&
        (sec.raw_offset > b.size() || sec.raw_size > b.size() - sec.raw_offset)) {
      *error = "section " + sec.name + " lies outside the file";
      return false;
    }
    image->sections.push_back(sec);
  }
  // Only PE32 has the layout below; the caller reports other kinds.
  if (image->optional_magic != kOptionalMagicPe32) return true;
  if (optional_size < 96) {
    *error = "PE32 optional header is truncated";
    return false;
  }
  image->image_base = U32(b, opt + 28);
  uint32_t dir_count = U32(b, opt + 92);
  if (96 + 8ull * dir_count > optional_size) dir_count = (optional_size - 96) / 8;
  auto dir = [&](uint32_t index, uint32_t* rva, uint32_t* size) {
    *rva = 0;
    *size = 0;
    if (index >= dir_count) return;
    *rva = U32(b, opt + 96 + 8 * index);
    *size = U32(b, opt + 96 + 8 * index + 4);
  };
  uint32_t rva = 0;
  uint32_t size = 0;
  dir(kDirExport, &rva, &size);
  if (rva != 0 && !ParseExports(image, rva, size, error)) return false;
  dir(kDirImport, &rva, &size);
  if (rva != 0 && !ParseImports(image, rva, error)) return false;
  dir(kDirDelayImport, &rva, &size);
  if (rva != 0 && !ParseDelayImports(image, rva, error)) return false;
  return true;
}
