// Bad settings files from the corpus, read and rewritten by LCD_Init on the
// POSIX layer: every key ends up valid, and nothing outside the section's
// eight keys is lost or changed.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <regex>

#include "core/driver_state.h"
#include "core/exports.h"
#include "session_support.h"

namespace {

const char* const kKeys[8] = {"baudrate",      "textbuffersize",  "gfxbuffersize",
                              "gfxforceflush", "lcd_fontpitch",   "lcd_useoutports",
                              "lcd_controller", "logfile"};

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return (char)tolower(c); });
  return s;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size() - 1;
    lines.push_back(text.substr(start, end - start + 1));
    start = end + 1;
  }
  return lines;
}

// The file without the first occurrence of each of the eight keys in the first
// Korvex section: what the driver must leave exactly as it was.
std::vector<std::string> Foreign(const std::string& text, bool* has_section) {
  std::vector<std::string> kept;
  int section = 0;  // 0 before the first Korvex section, 1 in it, 2 after it
  bool seen[8] = {};
  for (const std::string& line : Lines(text)) {
    std::string t = Trim(line);
    if (!t.empty() && t[0] == '[') {
      bool korvex = t.back() == ']' && Lower(Trim(t.substr(1, t.size() - 2))) == "korvex";
      if (section == 1) section = 2;
      if (korvex && section == 0) section = 1;
    } else if (section == 1 && t.find('=') != std::string::npos && t[0] != ';' && t[0] != '#') {
      std::string key = Lower(Trim(t.substr(0, t.find('='))));
      auto it = std::find(std::begin(kKeys), std::end(kKeys), key);
      if (it != std::end(kKeys) && !seen[it - kKeys]) {
        seen[it - kKeys] = true;
        continue;
      }
    }
    kept.push_back(line);
  }
  *has_section = section > 0;
  return kept;
}

// 6,000 foreign sections around a Korvex section, and a 5,000-byte line at
// the end: longer than any buffer the profile reader might hold a line in.
std::string HugeIni() {
  std::string text = "; generated foreign content\n";
  for (int i = 0; i < 6000; ++i) {
    if (i == 2999) text += "[Korvex]\nGfxBufferSize=2048\n";
    text += "[Section" + std::to_string(i) + "]\nkey" + std::to_string(i) + "=" +
            std::string(i % 97, 'v') + "\n";
  }
  return text + std::string(5000, 'x') + "\n";
}

std::string CorpusText(const std::string& file) {
  if (file == "huge.ini") return HugeIni();
  return ReadFile(std::string(KORVEX_CORPUS_DIR) + "/" + file);
}

struct CorpusCase {
  const char* file;
  int32_t baud;
  uint32_t text, gfx;
  int32_t force, pitch, out_ports, controller, log;
};

class CorpusTest : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(CorpusTest, EveryKeyValidAndTheRestUntouched) {
  const CorpusCase& c = GetParam();
  const std::string original = CorpusText(c.file);
  ResetDriverState();
  SessionDir dir = EnterTempDir();
  Pty pty = OpenPty();
  {
    std::ofstream out("config.ini", std::ios::binary);
    out << original;
  }
  LCD_SetIOPropertys(pty.name.c_str(), 0, 0, 0, 0, 240, 64, 1, 0, 0, 0, 0, 0, 0);
  LCD_Init();
  EXPECT_EQ(g_state.baud_rate, c.baud);
  EXPECT_EQ(g_state.text_buffer_size, c.text);
  EXPECT_EQ(g_state.gfx_buffer_size, c.gfx);
  EXPECT_EQ(g_state.gfx_force_flush, c.force);
  EXPECT_EQ(g_state.font_pitch, c.pitch);
  EXPECT_EQ(g_state.use_out_ports, c.out_ports);
  EXPECT_EQ(g_state.controller, c.controller);
  EXPECT_EQ(g_state.log_enabled, c.log);
  LCD_CleanUp();

  const std::string rewritten = ReadFile("config.ini");
  bool had_section = false, has_section = false;
  std::vector<std::string> before = Foreign(original, &had_section);
  std::vector<std::string> after = Foreign(rewritten, &has_section);
  EXPECT_TRUE(has_section);
  if (had_section) {
    EXPECT_EQ(after, before);
  } else {
    // The section is added after everything that was there.
    ASSERT_EQ(rewritten.compare(0, original.size(), original), 0);
    std::string added = rewritten.substr(original.size());
    EXPECT_TRUE(std::regex_match(added, std::regex("(\r?\n)*\\[Korvex\\]\r?\n([A-Za-z_]+=-?[0-9]+\r?\n){8}")))
        << added;
  }
  // Every key reads back valid, as the driver wrote it.
  ResetDriverState();
  LCD_Init();
  EXPECT_EQ(g_state.baud_rate, c.baud);
  EXPECT_EQ(g_state.text_buffer_size, c.text);
  EXPECT_EQ(g_state.gfx_buffer_size, c.gfx);
  EXPECT_EQ(g_state.font_pitch, c.pitch);
  EXPECT_EQ(g_state.controller, c.controller);
  LCD_CleanUp();
  EXPECT_EQ(ReadFile("config.ini"), rewritten) << "a second start changes nothing";
  ClosePty(pty);
  LeaveTempDir(dir);
  ResetDriverState();
}

const CorpusCase kCorpus[] = {
    {"empty.ini", 19200, 16, 64, 0, 6, 0, 6963, 0},
    {"lf.ini", 57600, 32, 128, 1, 8, 1, 6963, 0},
    {"crlf.ini", 9600, 16, 4096, 0, 6, 0, 6963, 0},
    {"signs.ini", 38400, 16, 64, 0, 8, 0, 6963, 1},
    {"spaces.ini", 115200, 8, 64, 0, 8, 0, 6963, 0},
    {"hex.ini", 19200, 16, 128, 0, 8, 0, 108, 0},
    {"trailing.ini", 19200, 12, 256, 0, 8, 0, 6963, 1},
    {"beyond32.ini", 1215752191, 16, 64, 0, 8, 0, 108, 0},
    {"duplicates.ini", 2400, 4, 64, 0, 6, 0, 6963, 0},
    {"others.ini", 19200, 16, 64, 0, 8, 0, 108, 1},
    {"nosection.ini", 19200, 16, 64, 0, 6, 0, 6963, 0},
    {"words.ini", 0, 16, 64, 0, 6, 0, 6963, 0},
    {"garbage.bin", 19200, 16, 64, 0, 6, 0, 6963, 0},
    {"huge.ini", 19200, 16, 2048, 0, 6, 0, 6963, 0},
};

INSTANTIATE_TEST_SUITE_P(Files, CorpusTest, ::testing::ValuesIn(kCorpus),
                         [](const auto& info) {
                           std::string name = info.param.file;
                           return name.substr(0, name.find('.'));
                         });

// A read-only file is read and left as it is, even with a value the driver
// corrects and would write back (and even for root, who could write it).
TEST(CorpusReadOnly, ValuesAreUsedAndTheFileStaysAsItIs) {
  std::string original = ReadFile(std::string(KORVEX_CORPUS_DIR) + "/lf.ini");
  original.replace(original.find("TextBufferSize=32"), 17, "TextBufferSize=300");
  ResetDriverState();
  SessionDir dir = EnterTempDir();
  Pty pty = OpenPty();
  {
    std::ofstream out("config.ini", std::ios::binary);
    out << original;
  }
  chmod("config.ini", 0444);
  LCD_SetIOPropertys(pty.name.c_str(), 0, 0, 0, 0, 240, 64, 1, 0, 0, 0, 0, 0, 0);
  LCD_Init();
  EXPECT_TRUE(PortIsOpen(g_state.port));
  EXPECT_EQ(g_state.baud_rate, 57600);
  EXPECT_EQ(g_state.gfx_buffer_size, 128u);
  EXPECT_EQ(g_state.text_buffer_size, 16u);
  LCD_CleanUp();
  EXPECT_EQ(ReadFile("config.ini"), original);
  ClosePty(pty);
  LeaveTempDir(dir);
  ResetDriverState();
}

}  // namespace
