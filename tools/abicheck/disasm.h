// Instructions of an i686 image, decoded by the cross binutils' objdump:
// it gives each instruction's length and text, and the control-flow meaning
// is taken from the instruction bytes here.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "pe_image.h"

struct Instruction {
  uint32_t address = 0;  // virtual address (image base + RVA), as objdump prints it
  std::vector<uint8_t> bytes;
  std::string text;  // objdump's mnemonic and operands
  std::string line;  // objdump's whole output line
};

struct Disassembly {
  std::string objdump;  // the program to run
  std::string file;
  // Keyed by address. Decoding at an address depends only on the bytes from
  // there on, so decodes from different starting points never disagree.
  std::map<uint32_t, Instruction> instructions;
  // Addresses objdump labelled with a symbol (function starts), when the
  // image still has its symbol table.
  std::map<uint32_t, std::string> symbols;
};

// Disassembles every code section once.
bool DisassembleImage(const std::string& objdump, const std::string& file, Disassembly* dis,
                      std::string* error);
// The instruction at an address, decoding from there when the first sweep
// did not land on it. nullptr when objdump yields nothing there.
const Instruction* InstructionAt(Disassembly* dis, uint32_t address, uint32_t stop_address);

// What an instruction does to the flow of control.
enum class Flow {
  kNext,             // falls through
  kReturn,           // ret / ret imm16: removes `pop` argument bytes
  kJump,             // direct unconditional jump to `target`
  kBranch,           // conditional: `target` or fall through
  kCall,             // returns to the next instruction
  kTableJump,        // jmp *table(,index,4)
  kMemoryJump,       // jmp *absolute (a jump through a pointer, such as an import slot)
  kRegisterJump,     // jmp *reg or any other indirect form
  kStop,             // never continues: ud2, int3, hlt, int 0x29
  kFarTransfer,      // far return, far jump, iret: never in this code
  kUndecodable,      // objdump could not decode it
};

struct FlowInfo {
  Flow flow = Flow::kNext;
  uint32_t target = 0;      // kJump, kBranch
  uint32_t pop = 0;         // kReturn
  uint32_t table = 0;       // kTableJump: address of the table; kMemoryJump: the pointer
  int index_register = -1;  // kTableJump: 0 = eax ... 7 = edi
};

FlowInfo ClassifyInstruction(const Instruction& insn);

// When the instruction compares a 32-bit register with a constant, the
// register number and the constant.
bool CompareWithConstant(const Instruction& insn, int* reg, uint32_t* constant);
