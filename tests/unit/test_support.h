// Shared helpers of the unit tests: a fresh driver on a fresh recording.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "core/driver_state.h"
#include "core/exports.h"
#include "platform/recording/recording.h"

typedef std::vector<uint8_t> Bytes;

// "B0 B3 00" -> {0xB0, 0xB3, 0x00}
inline Bytes Hex(const std::string& text) {
  Bytes bytes;
  unsigned value = 0;
  int digits = 0;
  for (char c : text) {
    int d = (c >= '0' && c <= '9') ? c - '0'
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                     : -1;
    if (d < 0) {
      if (digits) bytes.push_back((uint8_t)value);
      value = 0;
      digits = 0;
      continue;
    }
    value = value * 16 + (unsigned)d;
    ++digits;
  }
  if (digits) bytes.push_back((uint8_t)value);
  return bytes;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

inline std::string Trace() { return Rec().files["C:\\Host\\debug.log"]; }

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RecReset();
    ResetDriverState();
  }
  void TearDown() override {
    ResetDriverState();
    RecReset();
  }
  void Setting(const char* key, const std::string& value) { Rec().profile[key] = value; }
  // LCD_Init with the recording cleared afterwards, so a test sees only what
  // its own calls send.
  void InitAndClear() {
    LCD_Init();
    ASSERT_TRUE(PortIsOpen(g_state.port));
    Rec().transfers.clear();
    Rec().calls.clear();
    // Empty the trace in place: an open trace points at its entry.
    for (auto& file : Rec().files) file.second.clear();
  }
};
