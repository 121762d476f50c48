#include "cleanup.h"

#include <algorithm>
#include <cstdio>

namespace {

const size_t kMaxInstructions = 200000;
const uint32_t kMaxTableEntries = 4096;

std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

// End of the executable section holding the address, or 0 when the address
// is not in one.
uint32_t CodeEnd(const PeImage& image, uint32_t address) {
  const PeSection* s = SectionOfRva(image, address - image.image_base);
  if (s == nullptr || !IsExecutable(*s)) return 0;
  return image.image_base + s->virtual_address + s->raw_size;
}

// The instruction that ends exactly at `address`, from the decodes so far.
const Instruction* Predecessor(const Disassembly& dis, uint32_t address) {
  auto it = dis.instructions.lower_bound(address);
  for (int tries = 0; tries < 16 && it != dis.instructions.begin(); ++tries) {
    --it;
    if (it->first + it->second.bytes.size() == address) return &it->second;
    if (address - it->first > 15) break;
  }
  return nullptr;
}

bool IsUnsignedAbove(const Instruction& insn, bool* or_equal) {
  const std::vector<uint8_t>& b = insn.bytes;
  if (b.size() == 2 && (b[0] == 0x77 || b[0] == 0x73)) {
    *or_equal = b[0] == 0x73;
    return true;
  }
  if (b.size() == 6 && b[0] == 0x0f && (b[1] == 0x87 || b[1] == 0x83)) {
    *or_equal = b[1] == 0x83;
    return true;
  }
  return false;
}

// Entry count of the jump table behind `jmp *table(,reg,4)`: the bounds
// check just before it, "cmp $N, reg" then "ja default" (N + 1 entries) or
// "jae default" (N entries).
bool TableSize(const Disassembly& dis, const Instruction& jump, int index_register,
               uint32_t* count) {
  bool branch_seen = false;
  bool or_equal = false;
  const Instruction* at = &jump;
  for (int steps = 0; steps < 8; ++steps) {
    const Instruction* prev = Predecessor(dis, at->address);
    if (prev == nullptr) return false;
    int reg = -1;
    uint32_t constant = 0;
    bool oe = false;
    if (!branch_seen && IsUnsignedAbove(*prev, &oe)) {
      branch_seen = true;
      or_equal = oe;
    } else if (branch_seen && CompareWithConstant(*prev, &reg, &constant)) {
      if (reg != index_register) return false;
      uint64_t n = static_cast<uint64_t>(constant) + (or_equal ? 0 : 1);
      if (n == 0 || n > kMaxTableEntries) return false;
      *count = static_cast<uint32_t>(n);
      return true;
    } else {
      FlowInfo f = ClassifyInstruction(*prev);
      if (f.flow != Flow::kNext) return false;  // another block: the check is not here
    }
    at = prev;
  }
  return false;
}

}  // namespace

CleanupResult FindReturns(const PeImage& image, Disassembly* dis, uint32_t entry,
                          const std::set<uint32_t>& other_entries) {
  CleanupResult result;
  std::set<uint32_t> visited;
  std::vector<uint32_t> work{entry};
  size_t steps = 0;
  auto problem = [&](const std::string& text) { result.problems.push_back(text); };
  while (!work.empty()) {
    uint32_t address = work.back();
    work.pop_back();
    while (visited.insert(address).second) {
      if (++steps > kMaxInstructions) {
        problem("more than " + std::to_string(kMaxInstructions) + " instructions reachable");
        return result;
      }
      uint32_t end = CodeEnd(image, address);
      if (end == 0) {
        problem("control reaches " + Hex(address) + ", outside every code section");
        break;
      }
      const Instruction* insn = InstructionAt(dis, address, end);
      if (insn == nullptr) {
        problem("no instruction decodes at " + Hex(address));
        break;
      }
      FlowInfo f = ClassifyInstruction(*insn);
      uint32_t next = address + static_cast<uint32_t>(insn->bytes.size());
      bool falls_through = false;
      switch (f.flow) {
        case Flow::kNext:
          falls_through = true;
          break;
        case Flow::kReturn:
          result.returns.push_back({address, f.pop, insn->line});
          break;
        case Flow::kJump:
          work.push_back(f.target);
          break;
        case Flow::kBranch:
          work.push_back(f.target);
          falls_through = true;
          break;
        case Flow::kCall:
          if (other_entries.count(next) != 0) {
            problem("the call at " + Hex(address) +
                    " is followed by another export: a call that never returns?");
          } else {
            falls_through = true;
          }
          break;
        case Flow::kTableJump: {
          uint32_t count = 0;
          if (!TableSize(*dis, *insn, f.index_register, &count)) {
            problem("the jump table at " + Hex(address) + " has no bounds check before it");
            break;
          }
          for (uint32_t k = 0; k < count; ++k) {
            uint32_t target = 0;
            if (!ReadU32AtRva(image, f.table - image.image_base + 4 * k, &target)) {
              problem("the jump table of " + Hex(address) + " lies outside the file");
              break;
            }
            work.push_back(target);
          }
          break;
        }
        case Flow::kMemoryJump:
          problem("the jump at " + Hex(address) + " goes through the pointer at " +
                  Hex(f.table) + " (an import?): its clean-up is not in this file");
          break;
        case Flow::kRegisterJump:
          problem("the indirect jump at " + Hex(address) + " (" + insn->text +
                  ") has no known targets");
          break;
        case Flow::kStop:
          break;
        case Flow::kFarTransfer:
          problem("the far or 16-bit transfer at " + Hex(address) + " (" + insn->text + ")");
          break;
        case Flow::kUndecodable:
          problem("undecodable bytes at " + Hex(address));
          break;
      }
      if (!falls_through) break;
      address = next;
    }
  }
  std::sort(result.returns.begin(), result.returns.end(),
            [](const ReturnSite& a, const ReturnSite& b) { return a.address < b.address; });
  return result;
}
