// The stack clean-up of an i686 function: every return instruction that the
// function's machine code can reach from its entry, following branches,
// jumps (tail calls included) and jump tables, but not into called
// functions, which return to it.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "disasm.h"
#include "pe_image.h"

struct ReturnSite {
  uint32_t address = 0;
  uint32_t pop = 0;  // argument bytes the return removes
  std::string line;  // objdump's line for it
};

struct CleanupResult {
  std::vector<ReturnSite> returns;
  // Reasons the clean-up could not be determined; any one makes it unknown.
  std::vector<std::string> problems;
};

// entry is a virtual address; other_entries are the entries of the other
// exports, which a call's fall-through must never run into.
CleanupResult FindReturns(const PeImage& image, Disassembly* dis, uint32_t entry,
                          const std::set<uint32_t>& other_entries);
