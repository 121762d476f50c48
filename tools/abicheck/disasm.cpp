#include "disasm.h"

#include <cstdio>
#include <cstdlib>

namespace {

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "65bc1000 <_pre_c_init>:" (a symbol label).
bool ParseLabel(const std::string& line, uint32_t* address, std::string* name) {
  size_t i = 0;
  uint64_t value = 0;
  while (i < line.size() && HexDigit(line[i]) >= 0) value = value * 16 + HexDigit(line[i++]);
  if (i == 0 || i + 3 > line.size() || line[i] != ' ' || line[i + 1] != '<') return false;
  size_t close = line.rfind(">:");
  if (close == std::string::npos || close < i + 2) return false;
  *address = static_cast<uint32_t>(value);
  *name = line.substr(i + 2, close - i - 2);
  return true;
}

// "65bc1012:\tc2 04 00   \tret    $0x4". The text after the second tab is
// absent on a continuation line (an instruction wider than --insn-width).
bool ParseInstructionLine(const std::string& line, Instruction* insn, bool* has_text) {
  size_t i = 0;
  while (i < line.size() && line[i] == ' ') ++i;
  size_t start = i;
  uint64_t value = 0;
  while (i < line.size() && HexDigit(line[i]) >= 0) value = value * 16 + HexDigit(line[i++]);
  if (i == start || i + 1 >= line.size() || line[i] != ':' || line[i + 1] != '\t') return false;
  i += 2;
  insn->address = static_cast<uint32_t>(value);
  insn->bytes.clear();
  while (i < line.size() && line[i] != '\t') {
    if (line[i] == ' ') {
      ++i;
      continue;
    }
    if (i + 1 >= line.size() || HexDigit(line[i]) < 0 || HexDigit(line[i + 1]) < 0) return false;
    insn->bytes.push_back(static_cast<uint8_t>(HexDigit(line[i]) * 16 + HexDigit(line[i + 1])));
    i += 2;
  }
  if (insn->bytes.empty()) return false;
  *has_text = i < line.size();
  insn->text = *has_text ? line.substr(i + 1) : std::string();
  while (!insn->text.empty() && insn->text.back() == ' ') insn->text.pop_back();
  insn->line = line;
  return true;
}

bool RunObjdump(Disassembly* dis, const std::string& range_options, std::string* error) {
  // -z: show runs of zero bytes as instructions instead of "...", so every
  // address in a code section can be looked up.
  std::string command = ShellQuote(dis->objdump) + " -d -z --insn-width=15 " + range_options +
                        " " + ShellQuote(dis->file) + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    *error = "cannot run " + dis->objdump;
    return false;
  }
  std::string output;
  char chunk[65536];
  size_t got = 0;
  while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
  int status = pclose(pipe);
  if (status != 0) {
    *error = dis->objdump + " failed: " + output.substr(0, 300);
    return false;
  }
  Instruction* last = nullptr;
  size_t pos = 0;
  while (pos < output.size()) {
    size_t end = output.find('\n', pos);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(pos, end - pos);
    pos = end + 1;
    uint32_t address = 0;
    std::string name;
    if (ParseLabel(line, &address, &name)) {
      dis->symbols.emplace(address, name);
      last = nullptr;
      continue;
    }
    Instruction insn;
    bool has_text = false;
    if (!ParseInstructionLine(line, &insn, &has_text)) {
      last = nullptr;
      continue;
    }
    if (!has_text && last != nullptr &&
        last->address + last->bytes.size() == insn.address) {
      last->bytes.insert(last->bytes.end(), insn.bytes.begin(), insn.bytes.end());
      continue;
    }
    auto placed = dis->instructions.emplace(insn.address, insn);
    last = &placed.first->second;
  }
  return true;
}

std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", v);
  return buf;
}

bool IsPrefix(uint8_t b) {
  return b == 0x26 || b == 0x2e || b == 0x36 || b == 0x3e || b == 0x64 || b == 0x65 ||
         b == 0x66 || b == 0x67 || b == 0xf0 || b == 0xf2 || b == 0xf3;
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
         (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

}  // namespace

bool DisassembleImage(const std::string& objdump, const std::string& file, Disassembly* dis,
                      std::string* error) {
  dis->objdump = objdump;
  dis->file = file;
  dis->instructions.clear();
  dis->symbols.clear();
  return RunObjdump(dis, "", error);
}

const Instruction* InstructionAt(Disassembly* dis, uint32_t address, uint32_t stop_address) {
  auto it = dis->instructions.find(address);
  if (it != dis->instructions.end()) return &it->second;
  // A target the linear sweep stepped over (it began decoding elsewhere).
  uint32_t stop = stop_address;
  if (stop - address > 4096) stop = address + 4096;
  std::string error;
  RunObjdump(dis, "--start-address=" + Hex(address) + " --stop-address=" + Hex(stop), &error);
  it = dis->instructions.find(address);
  return it == dis->instructions.end() ? nullptr : &it->second;
}

FlowInfo ClassifyInstruction(const Instruction& insn) {
  FlowInfo f;
  const std::vector<uint8_t>& b = insn.bytes;
  if (insn.text.find("(bad)") != std::string::npos) {
    f.flow = Flow::kUndecodable;
    return f;
  }
  size_t i = 0;
  bool operand16 = false;
  while (i < b.size() && IsPrefix(b[i])) operand16 = operand16 || b[i++] == 0x66;
  if (i >= b.size()) {
    f.flow = Flow::kUndecodable;
    return f;
  }
  uint32_t next = insn.address + static_cast<uint32_t>(b.size());
  uint8_t op = b[i];
  size_t rest = b.size() - i;
  if (op == 0xc3 && !operand16) {
    f.flow = Flow::kReturn;
    return f;
  }
  if (op == 0xc2 && !operand16 && rest >= 3) {
    f.flow = Flow::kReturn;
    f.pop = static_cast<uint32_t>(b[i + 1] | (b[i + 2] << 8));
    return f;
  }
  if (op == 0xc2 || op == 0xc3 || op == 0xca || op == 0xcb || op == 0xcf || op == 0xea) {
    f.flow = Flow::kFarTransfer;  // 16-bit or far returns and jumps
    return f;
  }
  if (op == 0xeb && rest >= 2) {
    f.flow = Flow::kJump;
    f.target = next + static_cast<uint32_t>(static_cast<int8_t>(b[i + 1]));
    return f;
  }
  if (op == 0xe9 && !operand16 && rest >= 5) {
    f.flow = Flow::kJump;
    f.target = next + Le32(b, i + 1);
    return f;
  }
  if (((op >= 0x70 && op <= 0x7f) || (op >= 0xe0 && op <= 0xe3)) && rest >= 2) {
    f.flow = Flow::kBranch;  // jcc rel8, loop, loope, loopne, jecxz
    f.target = next + static_cast<uint32_t>(static_cast<int8_t>(b[i + 1]));
    return f;
  }
  if (op == 0x0f && rest >= 2 && b[i + 1] >= 0x80 && b[i + 1] <= 0x8f && !operand16 &&
      rest >= 6) {
    f.flow = Flow::kBranch;
    f.target = next + Le32(b, i + 2);
    return f;
  }
  if (op == 0x0f && rest >= 2 && b[i + 1] == 0x0b) {
    f.flow = Flow::kStop;  // ud2
    return f;
  }
  if (op == 0xcc || op == 0xf4) {
    f.flow = Flow::kStop;  // int3, hlt
    return f;
  }
  if (op == 0xcd && rest >= 2 && b[i + 1] == 0x29) {
    f.flow = Flow::kStop;  // __fastfail
    return f;
  }
  if (op == 0xe8) {
    f.flow = Flow::kCall;
    return f;
  }
  if (op == 0xff && rest >= 2) {
    uint8_t modrm = b[i + 1];
    int reg = (modrm >> 3) & 7;
    int mod = modrm >> 6;
    int rm = modrm & 7;
    if (reg == 2 || reg == 3) {
      f.flow = Flow::kCall;
      return f;
    }
    if (reg == 5) {
      f.flow = Flow::kFarTransfer;
      return f;
    }
    if (reg == 4) {
      if (mod == 0 && rm == 5 && rest >= 6) {
        f.flow = Flow::kMemoryJump;  // jmp *disp32
        f.table = Le32(b, i + 2);
        return f;
      }
      if (mod == 0 && rm == 4 && rest >= 7) {
        uint8_t sib = b[i + 2];
        int scale = sib >> 6;
        int index = (sib >> 3) & 7;
        int base = sib & 7;
        if (scale == 2 && base == 5 && index != 4) {
          f.flow = Flow::kTableJump;  // jmp *disp32(,index,4)
          f.table = Le32(b, i + 3);
          f.index_register = index;
          return f;
        }
      }
      f.flow = Flow::kRegisterJump;
      return f;
    }
  }
  return f;
}

bool CompareWithConstant(const Instruction& insn, int* reg, uint32_t* constant) {
  const std::vector<uint8_t>& b = insn.bytes;
  if (b.empty() || IsPrefix(b[0])) return false;
  // cmp eax, imm32
  if (b[0] == 0x3d && b.size() == 5) {
    *reg = 0;
    *constant = Le32(b, 1);
    return true;
  }
  // cmp r32, imm8 (sign-extended) / imm32: 83 /7 ib, 81 /7 id, register form
  if ((b[0] == 0x83 || b[0] == 0x81) && b.size() >= 3) {
    uint8_t modrm = b[1];
    if ((modrm >> 6) != 3 || ((modrm >> 3) & 7) != 7) return false;
    *reg = modrm & 7;
    if (b[0] == 0x83 && b.size() == 3) {
      *constant = static_cast<uint32_t>(static_cast<int8_t>(b[2]));
      return true;
    }
    if (b[0] == 0x81 && b.size() == 6) {
      *constant = Le32(b, 2);
      return true;
    }
  }
  return false;
}
