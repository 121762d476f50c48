#include <string.h>

#include <algorithm>

#include "link/link.h"
#include "link/port.h"
#include "test_support.h"

namespace {

const std::vector<std::string> kOpenCalls = {
    "PlatformPortOpen COM1",   "PlatformPortSetupQueues 4096 4096", "PlatformPortGetLineSettings", "PlatformPortSetLineSettings",
    "PlatformPortGetTimeouts", "PlatformPortSetTimeouts",           "PlatformPortPurge rx",
    "PlatformPortLine SETDTR", "PlatformPortLine SETRTS", "PlatformPortClearError",
};
const std::vector<std::string> kCloseCalls = {"PlatformPortPurge rx", "PlatformPortLine CLRDTR",
                                              "PlatformPortLine CLRRTS", "PlatformPortClose"};

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST_F(DriverTest, FirstInitOpensConfiguresAndResets) {
  memset(Rec().line_settings_read.native, 0x5A, sizeof Rec().line_settings_read.native);
  Rec().line_settings_read.parity = 2;
  Rec().line_settings_read.out_xon = true;
  Rec().line_settings_read.dtr_control = kLineControlEnable;
  Rec().timeouts_read = {1, 2, 3, 4, 5};
  LCD_Init();
  EXPECT_EQ(Rec().calls, Join({kOpenCalls, {"PlatformPortWrite 1"}}));
  EXPECT_EQ(Rec().transfers, std::vector<Bytes>{Hex("B0")});
  const PortLineSettings& line = Rec().line_settings_applied;
  EXPECT_EQ(line.baud_rate, 19200u);
  EXPECT_EQ(line.data_bits, 8);
  EXPECT_EQ(line.parity, kParityNone);
  EXPECT_EQ(line.stop_bits, kOneStopBit);
  EXPECT_FALSE(line.out_cts_flow || line.out_dsr_flow || line.out_xon || line.in_xon);
  EXPECT_EQ(line.dtr_control, kLineControlDisable);
  EXPECT_EQ(line.rts_control, kLineControlDisable);
  EXPECT_TRUE(line.abort_on_error);
  // Everything else is applied back as it was read.
  EXPECT_EQ(memcmp(line.native, Rec().line_settings_read.native, sizeof line.native), 0);
  const PortTimeouts& t = Rec().timeouts_applied;
  EXPECT_EQ(t.read_interval, 1000u);
  EXPECT_EQ(t.read_total_multiplier, 1000u);
  EXPECT_EQ(t.read_total_constant, 1000u);
  EXPECT_EQ(t.write_total_multiplier, 1u);  // 19200 baud: 0.52 ms a byte
  EXPECT_EQ(t.write_total_constant, 1000u);
  EXPECT_TRUE(Rec().message_boxes.empty());
  EXPECT_TRUE(Rec().files.empty());  // LogFile 0: no trace file
  EXPECT_EQ(g_state.ready.load(), 1);
  EXPECT_EQ(std::string(g_state.ini_path), "C:\\Host\\config.ini");
  EXPECT_EQ(std::string(g_state.log_path), "C:\\Host\\debug.log");
}

TEST_F(DriverTest, CleanUpFlushesSendsClosingCommandsAndCloses) {
  Setting("LogFile", "1");
  InitAndClear();
  // A SetGfxSingle waits in the graphics buffer, a character after it in the
  // text buffer: the text goes first, then the graphics, then the closing
  // commands one byte a write, then the port closes.
  std::vector<uint8_t> picture(240 * 64, 0);
  picture[0] = 1;
  LCD_SendToGfxMemory(picture.data(), 0, 0, 0, 0, 0);
  LCD_SendToMemory('A');
  ASSERT_TRUE(Rec().transfers.empty());
  for (auto& file : Rec().files) file.second.clear();
  LCD_CleanUp();
  EXPECT_EQ(Rec().calls,
            Join({{"PlatformPortWrite 1", "PlatformPortWrite 4", "PlatformPortWrite 1", "PlatformPortWrite 1",
                   "PlatformPortWrite 1", "PlatformPortWrite 1", "PlatformPortWrite 1"},
                  kCloseCalls}));
  EXPECT_EQ(Rec().transfers, (std::vector<Bytes>{Hex("41"), Hex("B7 00 00 20"), Hex("B0"), Hex("B3"),
                                                 Hex("00"), Hex("B4"), Hex("00")}));
  EXPECT_EQ(Trace(), "\nLCD_CleanUp()\n\nLCD_CleanUp() porth=closed\n");
  EXPECT_EQ(Rec().open_traces, 0);
  EXPECT_EQ(Rec().open_ports, 0);
  EXPECT_EQ(LCD_IsReadyToReceive(), 1);
  // Closed: the next calls send nothing.
  Rec().calls.clear();
  LCD_SendToMemory('B');
  LCD_CleanUp();
  EXPECT_TRUE(Rec().calls.empty());
}

TEST_F(DriverTest, CleanUpBeforeInitSendsAndLogsNothing) {
  LCD_CleanUp();
  EXPECT_TRUE(Rec().calls.empty());
  EXPECT_TRUE(Rec().files.empty());
  EXPECT_EQ(g_state.ready.load(), 1);
}

TEST_F(DriverTest, TwoInitsInARowWithTrace) {
  Setting("LogFile", "1");
  LCD_Init();
  EXPECT_EQ(Trace(), "\nLCD_Init() porth=closed\nLCD_Init() porth=open\n");
  LCD_Init();
  EXPECT_EQ(Rec().calls,
            Join({kOpenCalls,
                  {"PlatformPortWrite 1"},
                  {"PlatformPortWrite 1", "PlatformPortWrite 1", "PlatformPortWrite 1", "PlatformPortWrite 1", "PlatformPortWrite 1"},
                  kCloseCalls,
                  kOpenCalls,
                  {"PlatformPortWrite 1"}}));
  EXPECT_EQ(RecWire(), Hex("B0  B0 B3 00 B4 00  B0"));
  EXPECT_EQ(RecTransferSizes(), std::vector<size_t>(7, 1));
  EXPECT_EQ(Trace(),
            "\nLCD_Init() porth=closed\nLCD_Init() porth=open\n"
            "\nLCD_Init()\n"
            "\nLCD_CleanUp()\n\nLCD_CleanUp() porth=closed\n"
            "\nLCD_Init() porth=closed\nLCD_Init() porth=open\n");
  EXPECT_EQ(Rec().file_opens["C:\\Host\\debug.log"], 2);
  EXPECT_EQ(Rec().open_traces, 1);
  EXPECT_EQ(Rec().open_ports, 1);
  EXPECT_EQ(g_state.ready.load(), 1);
}

TEST_F(DriverTest, TraceThatCannotBeOpenedStaysInactive) {
  Setting("LogFile", "1");
  RecFail(kRecTraceOpen, 5);
  LCD_Init();
  EXPECT_TRUE(Rec().files.empty());
  EXPECT_EQ(RecWire(), Hex("B0"));
}

struct OpenFailure {
  const char* name;
  RecCall call;
  const char* message;  // empty: no message box
  bool closes;
};

class OpenFailureTest : public DriverTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFailureTest, ReportsClosesAndRecovers) {
  const OpenFailure& f = GetParam();
  Setting("LogFile", "1");
  RecFail(f.call, 5, 1);
  // What is still open while the box is up: the host's timers may call back
  // in from its message loop.
  int ports_open_under_box = -1;
  Rec().on_message_box = [&] { ports_open_under_box = Rec().open_ports; };
  LCD_Init();
  if (f.message[0]) {
    EXPECT_EQ(ports_open_under_box, 0);
    ASSERT_EQ(Rec().message_boxes.size(), 1u);
    EXPECT_EQ(Rec().message_boxes[0].text, f.message);
    EXPECT_FALSE(Rec().message_boxes[0].has_caption);
  } else {
    EXPECT_TRUE(Rec().message_boxes.empty());
  }
  EXPECT_EQ(std::count(Rec().calls.begin(), Rec().calls.end(), "PlatformPortClose"), f.closes ? 1 : 0);
  EXPECT_EQ(Rec().open_ports, 0);
  EXPECT_TRUE(Rec().transfers.empty());
  EXPECT_EQ(g_state.port, kNoPort);
  EXPECT_EQ(g_state.ready.load(), 1);
  EXPECT_EQ(Trace(), "\nLCD_Init() porth=closed\n");
  // With the port closed everything is dropped, and the trace file stays
  // open through a CleanUp.
  LCD_SendToMemory('x');
  LCD_CleanUp();
  EXPECT_TRUE(Rec().transfers.empty());
  EXPECT_EQ(Rec().open_traces, 1);
  // The fault is gone: the next LCD_Init opens the same port. The trace file
  // is still open from the first one, and the porth=closed line is there all
  // the same.
  LCD_Init();
  EXPECT_EQ(Rec().open_ports, 1);
  EXPECT_EQ(RecWire(), Hex("B0"));
  EXPECT_EQ(Rec().file_opens["C:\\Host\\debug.log"], 1);
  const std::string tail = "\nLCD_Init()\n\nLCD_Init() porth=closed\nLCD_Init() porth=open\n";
  EXPECT_EQ(Trace().substr(Trace().size() - tail.size()), tail);
}

const OpenFailure kOpenFailures[] = {
    {"CreateFile", kRecPortOpen,
     "##################### CreateFile() for COM1 , Baudrate 19200 failed ! Error 5 "
     "#####################",
     false},
    {"SetupComm", kRecPortSetupQueues,
     "##################### SetupComm() for COM1 failed ! Error 5 #####################", true},
    {"GetCommState", kRecPortGetLineSettings,
     "##################### GetCommState() for COM1 failed ! Error 5 #####################", true},
    {"SetCommState", kRecPortSetLineSettings, "", true},
    {"GetCommTimeouts", kRecPortGetTimeouts, "", true},
    {"SetCommTimeouts", kRecPortSetTimeouts, "", true},
};

INSTANTIATE_TEST_SUITE_P(Steps, OpenFailureTest, ::testing::ValuesIn(kOpenFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// A host's timer calling back in while an open-failure box is up. Whatever
// the nested calls do, the outcome is that of the failed LCD_Init followed by
// the nested calls, and nothing stays open after the last LCD_CleanUp.
struct Nesting {
  const char* name;
  RecCall failing;
  std::vector<std::string> nested;  // "init", "cleanup", "gfx", "text"
  // How deep the host's calls would nest, the outer LCD_Init counted: the
  // timer runs again in every box a nested call shows, this many levels down.
  int levels = 2;
  int32_t fail_times = 1;  // -1: the step fails at every try
};

class NestedCallTest : public DriverTest, public ::testing::WithParamInterface<Nesting> {
 protected:
  struct Outcome {
    Bytes wire;
    std::string trace;
    bool port_open;
    int ports_open;
    int traces_open;
    size_t boxes;
    int traces_open_at_end;
  };

  static void Run(const std::string& call) {
    static const uint8_t picture[240 * 64] = {1};
    if (call == "init") LCD_Init();
    if (call == "cleanup") LCD_CleanUp();
    if (call == "gfx") LCD_SendToGfxMemory(picture, 0, 0, 7, 1, 0);
    if (call == "text") LCD_SendToMemory('k');
  }

  // The outer LCD_Init fails at `failing`; the nested calls run from inside
  // its box, or after it.
  Outcome Play(bool nested) {
    RecReset();
    ResetDriverState();
    Setting("LogFile", "1");
    Setting("GfxForceFlush", "1");
    RecFail(GetParam().failing, 2, GetParam().fail_times);
    Rec().box_depth = GetParam().levels - 1;
    auto calls = [] {
      for (const std::string& call : GetParam().nested) Run(call);
    };
    if (nested) Rec().on_message_box = calls;
    LCD_Init();
    if (!nested) calls();
    Outcome o = {RecWire(), Trace(), PortIsOpen(g_state.port), Rec().open_ports,
                 Rec().open_traces, Rec().message_boxes.size(), 0};
    EXPECT_EQ(g_state.ready.load(), 1);
    LCD_CleanUp();
    EXPECT_EQ(Rec().open_ports, 0);
    o.traces_open_at_end = Rec().open_traces;
    return o;
  }
};

TEST_P(NestedCallTest, EndsAsTheCallsInTurn) {
  Outcome inside = Play(true);
  Outcome after = Play(false);
  EXPECT_EQ(inside.wire, after.wire);
  EXPECT_EQ(inside.trace, after.trace);
  EXPECT_EQ(inside.port_open, after.port_open);
  EXPECT_EQ(inside.ports_open, after.port_open ? 1 : 0);
  EXPECT_EQ(inside.traces_open, after.traces_open);
  EXPECT_EQ(inside.traces_open_at_end, after.traces_open_at_end);
  EXPECT_EQ(inside.boxes, 1u);
}

const Nesting kNestings[] = {
    {"InitUnderCreateFileBox", kRecPortOpen, {"init"}},
    {"InitUnderSetupCommBox", kRecPortSetupQueues, {"init"}},
    {"InitUnderGetCommStateBox", kRecPortGetLineSettings, {"init"}},
    {"InitAndDrawUnderTheBox", kRecPortOpen, {"init", "text", "gfx"}},
    {"InitAndCleanUpUnderTheBox", kRecPortOpen, {"init", "gfx", "cleanup"}},
    {"CleanUpUnderTheBox", kRecPortSetupQueues, {"cleanup"}},
    {"DrawUnderTheBox", kRecPortOpen, {"gfx", "text"}},
    {"InitTwiceUnderTheBox", kRecPortGetLineSettings, {"init", "init"}},
    // A port that never opens and a timer that retries in every box: the
    // nested failure shows no box, so the calls stop two deep.
    {"FailingInitNestedThreeDeep", kRecPortOpen, {"init"}, 3, -1},
    {"FailingInitNestedThreeDeepAtSetupComm", kRecPortSetupQueues, {"init"}, 3, -1},
};

INSTANTIATE_TEST_SUITE_P(Nestings, NestedCallTest, ::testing::ValuesIn(kNestings),
                         [](const auto& info) { return std::string(info.param.name); });

// Any box of the driver's counts: a failed open under the settings box shows
// none, nor one after a settings box shown from an open-failure box's loop;
// once the boxes are closed the next failure shows its box again.
TEST_F(DriverTest, FailedOpenUnderTheSettingsBoxShowsNoSecondBox) {
  Setting("LogFile", "1");
  RecFail(kRecPortOpen, 2);
  Rec().on_message_box = [] { LCD_Init(); };
  LCD_ConfigDialog();
  ASSERT_EQ(Rec().message_boxes.size(), 1u);
  EXPECT_EQ(Rec().message_boxes[0].caption, "Settings");
  EXPECT_EQ(Trace(), "\nLCD_Init() porth=closed\n");
  // The settings box shown from an open-failure box's loop leaves that box
  // marked up: a failure after it still shows none.
  Rec().message_boxes.clear();
  Rec().on_message_box = [] {
    LCD_ConfigDialog();
    LCD_Init();
  };
  LCD_Init();
  ASSERT_EQ(Rec().message_boxes.size(), 2u);
  EXPECT_EQ(Rec().message_boxes[1].caption, "Settings");
  Rec().message_boxes.clear();
  Rec().on_message_box = nullptr;
  LCD_Init();
  ASSERT_EQ(Rec().message_boxes.size(), 1u);
  EXPECT_EQ(Rec().message_boxes[0].text,
            "##################### CreateFile() for COM1 , Baudrate 19200 failed ! Error 2 "
            "#####################");
  const std::string init = "\nLCD_Init()\n\nLCD_Init() porth=closed\n";
  EXPECT_EQ(Trace(), "\nLCD_Init() porth=closed\n" + init + init + init);
}

// Per byte a write waits the byte's own line time, rounded up, at least 1 ms
// and at most 250 ms, whatever speed config.ini names; everything else is a
// second. A board that stops reading then holds a call of the largest
// transfer, on Windows' time-outs, about 1.3 s at the most at any speed: the
// time the double's writes waited.
TEST_F(DriverTest, WritesWaitAtMostAboutASecondAtAnySpeed) {
  struct Case {
    int32_t baud;
    uint32_t multiplier;
  };
  const Case cases[] = {
      {110, 91},  {300, 34},  {1200, 9},  {9600, 2},  {10000, 1},     {19200, 1},
      {115200, 1}, {1000, 10}, {41, 244},  {40, 250},  {11, 250},      {1, 250},
      {0, 1},     {-9600, 1}, {INT32_MAX, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.baud);
    const PortTimeouts t = DriverTimeouts(c.baud);
    EXPECT_EQ(t.write_total_multiplier, c.multiplier);
    EXPECT_EQ(t.write_total_constant, 1000u);
    EXPECT_EQ(t.read_interval + t.read_total_multiplier + t.read_total_constant, 3000u);
    RecReset();
    ResetDriverState();
    Setting("BaudRate", std::to_string(c.baud));
    Setting("GfxBufferSize", "4096");
    Setting("GfxForceFlush", "1");
    LCD_Init();
    RecStall(600000);
    std::vector<uint8_t> picture(240 * 64, 1);
    LCD_SendToGfxMemory(picture.data(), 0, 0, 239, 63, 0);
    EXPECT_GT(Rec().write_waited_ms, 0u);
    EXPECT_LE(Rec().write_waited_ms, 1280u);
  }
}

TEST_F(DriverTest, InitAppliesTheMultiplierOfTheConfiguredSpeed) {
  Setting("BaudRate", "1200");
  LCD_Init();
  EXPECT_EQ(Rec().timeouts_applied.write_total_multiplier, 9u);
  EXPECT_EQ(Rec().timeouts_applied.write_total_constant, 1000u);
}

struct PathCase {
  std::string cwd;
  const char* ini;
  const char* log;
  int code_page;
};

TEST_F(DriverTest, PathsFollowTheCurrentDirectory) {
  const PathCase cases[] = {
      {"C:\\Host", "C:\\Host\\config.ini", "C:\\Host\\debug.log"},
      {"C:\\", "C:\\config.ini", "C:\\debug.log"},
      {"D:/games/lcd/", "D:/games/lcd/config.ini", "D:/games/lcd/debug.log"},
      // Too long for cwd, or for a full path: relative to the same directory.
      {"C:\\" + std::string(300, 'a'), ".\\config.ini", ".\\debug.log"},
      {"C:\\" + std::string(250, 'a'), ".\\config.ini", ".\\debug.log"},
      {"C:\\" + std::string(245, 'a'), nullptr, nullptr},
      // In code page 932 the last character decides, not the last byte:
      // 0x95 0x5C is one character, and its trail byte is no backslash.
      {"C:\\\x95\x5C", "C:\\\x95\x5C\\" "config.ini", "C:\\\x95\x5C\\" "debug.log", 932},
      {"C:\\\x83\x5C\x83\x5C", nullptr, nullptr, 932},
      {"C:\\\x95\x5C\\", "C:\\\x95\x5C\\" "config.ini", "C:\\\x95\x5C\\" "debug.log", 932},
      {"C:\\\xB1\\", "C:\\\xB1\\" "config.ini", "C:\\\xB1\\" "debug.log", 932},  // one-byte kana
      {"C:\\a\x95", nullptr, nullptr, 932},  // a lead byte with no trail
      // Elsewhere the byte rule.
      {"C:\\\x95\x5C", "C:\\\x95\x5C" "config.ini", "C:\\\x95\x5C" "debug.log", 0},
  };
  for (const PathCase& c : cases) {
    RecReset();
    Rec().cwd = c.cwd;
    Rec().code_page = c.code_page;
    LCD_Init();
    std::string ini = c.ini ? c.ini : c.cwd + "\\config.ini";
    std::string log = c.log ? c.log : c.cwd + "\\debug.log";
    EXPECT_EQ(std::string(g_state.ini_path), ini) << c.cwd;
    EXPECT_EQ(std::string(g_state.log_path), log) << c.cwd;
    EXPECT_EQ(Rec().profile_writes.at(0).substr(0, ini.size() + 1), ini + "|");
    LCD_CleanUp();
  }
}

TEST_F(DriverTest, ReadyIsClearWhileAnOperationRuns) {
  std::vector<int> seen;
  Rec().on_write = [&] { seen.push_back(g_state.ready.load()); };
  Setting("TextBufferSize", "1");
  EXPECT_EQ(LCD_IsReadyToReceive(), 1);
  LCD_Init();
  LCD_SendToMemory('a');
  LCD_SetOutputAddress(0, 0);
  CgramCharRecord record = {};
  LCD_SetCGRAMChar(record);
  uint8_t picture[240 * 64] = {};
  LCD_SendToGfxMemory(picture, 0, 0, 0, 0, 0);
  LCD_CleanUp();
  // Init 1, text 1 + 3 + 10, graphics 0 (stays buffered), clean-up 1 + 5.
  EXPECT_EQ(seen.size(), 1u + 1 + 3 + 10 + 1 + 5);
  for (int r : seen) EXPECT_EQ(r, 0);
  EXPECT_EQ(LCD_IsReadyToReceive(), 1);
}

TEST_F(DriverTest, IsReadyToReceiveTraces) {
  Setting("LogFile", "1");
  InitAndClear();
  EXPECT_EQ(LCD_IsReadyToReceive(), 1);
  EXPECT_EQ(Trace(), "\nPylora called LCD_IsReadyToReceive()\n");
}

TEST_F(DriverTest, GetInfoFillsTheRecord) {
  for (int pitch : {6, 8}) {
    g_state.font_pitch = pitch;
    DriverInfo info;
    memset(&info, 0xEE, sizeof info);
    EXPECT_EQ(DLL_GetInfo(&info), &info);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&info);
    EXPECT_EQ(std::string(info.text), "Wrenlo's Korvex Display Driver V1.09b");
    EXPECT_EQ(strlen(info.text), 37u);
    for (int i = 37; i < 256; ++i) ASSERT_EQ(b[i], 0) << i;
    const uint8_t trailer[8] = {1, 1, 1, 1, 1, (uint8_t)pitch, 8, (uint8_t)pitch};
    EXPECT_EQ(memcmp(b + 256, trailer, 8), 0);
  }
  EXPECT_EQ(g_state.ready.load(), 1);
}

TEST_F(DriverTest, GetInfoTraces) {
  Setting("LogFile", "1");
  InitAndClear();
  DriverInfo info;
  DLL_GetInfo(&info);
  EXPECT_EQ(Trace(), "\nPylora called DLL_GetInfo()\n");
}

TEST_F(DriverTest, InertExportsChangeNothing) {
  Setting("LogFile", "1");
  InitAndClear();
  g_state.ready = 0;
  LCD_SendToController(0xB0);
  LCD_Customize(1, 2, 3, 4, 5);
  EXPECT_EQ(g_state.ready.load(), 0);
  EXPECT_TRUE(Rec().calls.empty());
  EXPECT_EQ(Trace(), "");
}

}  // namespace
