// Readable names for table-driven test cases.
#pragma once

#include <ctype.h>
#include <stddef.h>

#include <string>

namespace test_names {

// "first line end decides" -> "first_line_end_decides_7": letters and digits
// kept, the rest made '_', the case index appended to keep names unique.
inline std::string CaseName(const char* what, size_t index) {
  std::string name;
  for (const char* p = what != nullptr ? what : "null"; *p != '\0'; ++p) {
    name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  }
  return name + "_" + std::to_string(index);
}

// For param types with a `what` field.
struct ByWhat {
  template <typename Info>
  std::string operator()(const Info& info) const {
    return CaseName(info.param.what, info.index);
  }
};

}  // namespace test_names
