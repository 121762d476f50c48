#include "link/link.h"

#include <string.h>

#include "link/link_state.h"
#include "link/trace.h"
#include "link/board_display.h"
#include "link/commands.h"
#include "link/port.h"

namespace {

// At most one reopen, or one write of cursor moves to measure the board, a
// second.
const uint64_t kRetryMs = 1000;
const uint64_t kSlowBoardRetryMs = 10000;
// The longest a write may wait while the board keeps up: the first sign of a
// board that does not costs a call about this long once, whatever the line
// speed and transfer sizes.
const uint64_t kLongestWriteMs = 1280;
// A call whose writes were late by more than this, and by more than their
// line time, met a board slower than the line: a scheduler that holds the
// host's thread, or a busy USB bus, delays writes by less.
const uint64_t kSlowMarginMs = 250;
// Below this much left of the call's one time-out a late call stops writing.
const uint64_t kLeastLeftMs = 40;
// The time budget while the board is behind: a fifth of the host's time,
// and never more than this in one call (what a host's frame loop can give
// without a visible stutter), however long the budget saved up.
const uint64_t kBudgetShare = 5;
const uint64_t kMostCallMs = 250;
// A write shorter than this is not worth the platform calls around it.
const uint64_t kLeastWriteMs = 4;
// Bytes a write takes while behind: half of what the board's rate would fit
// in the time-out, so that a board that slows down a little still finishes
// it in time; never more than a chunk.
const uint32_t kChunkMost = 256;
// Bytes in a row that must go at the line's pace before the board counts
// as keeping up again, and before a write of them tells that it keeps pace.
const uint32_t kKeepsUpBytes = 128;
const uint32_t kTellingBytes = 64;
// What a board that took nothing lately is offered every two seconds, and
// how long that write may wait beyond the bytes' line time: long enough for
// a board reading 20 bytes a second to take one, short enough that one that
// never reads costs the host 3 % of its time.
const uint64_t kProbeBytes = 8;
const uint64_t kProbeWaitMs = 60;
const uint64_t kProbeEveryMs = 2000;
// The step of the platform's clock at worst (Windows' tick).
const uint64_t kClockStepMs = 16;
// The rate a board is taken to read at while nothing is known of it.
const uint32_t kLeastRate = 8;
// Writes that fail at once, in a row, with the port still answering
// queries, before the handle counts as dead.
const uint8_t kFailedWritesGone = 3;
// Zeros after the completion of a command cut while the board kept up: they
// absorb a miscount of up to one USB packet (a cancelled transfer) before
// the ResetDisplay that wipes them, where the board takes them as characters.
const uint32_t kCompletionSlack = 64;

uint64_t Min(uint64_t a, uint64_t b) { return a < b ? a : b; }
uint64_t Max(uint64_t a, uint64_t b) { return a > b ? a : b; }

// The port's write time-outs: the driver's own, or while behind a total of
// `ms` for any write.
bool SetWriteTimeouts(uint32_t ms) {
  LinkRecord& l = g_link.link;
  if (ms == l.behind_timeout_ms) return true;
  PortTimeouts t = DriverTimeouts(l.baud_rate);
  if (ms != 0) {
    t.write_total_multiplier = 0;
    t.write_total_constant = ms;
  }
  l.behind_timeout_ms = ms;
  return PlatformPortSetTimeouts(g_link.port, &t);
}

// The port answers nothing any more (unplugged, resumed from sleep, its
// driver restarted): its handle is dead and would keep the name taken, so it
// is closed now, and the port is opened again by name at most once a second.
void PortGone(uint32_t error) {
  LinkState& s = g_link;
  LinkRecord& l = s.link;
  PlatformPortClose(s.port);
  s.port = kNoPort;
  l.mode = kLinkGone;
  l.failed_writes = 0;
  l.behind_timeout_ms = 0;
  l.next_try_ms = PlatformTickMs() + kRetryMs;
  LogWrite("\nPort %s lost, error %ld; opened again once a second\n", l.port_name, (long)error);
}

// The bytes that finish the command `w` stands in, as the board reads them:
// what its header still lacks into `head`, and the count of payload zeros.
// Values that the display holds finish a cut SetLight, SetContrast or
// SetOutPort, so the board does not go dark meanwhile; a cut cursor goes to
// the top left, a cut custom character to one that is defined (it goes out
// again anyway), and a cut graphics header announces no payload.
uint32_t Completion(const CommandReader& w, uint8_t* head, uint8_t* head_count) {
  *head_count = 0;
  if (!w.in_command) return 0;
  const BoardDisplay& shown = g_link.shown;
  const int length = HeaderLength(w.command);
  uint8_t header[4];
  memcpy(header, w.header, sizeof header);
  for (int i = w.have; i < length; ++i) {
    switch (w.command) {
      case kCmdSetCGRAMChar: header[i] = SafeGlyphPosition(shown); break;
      case kCmdSetTextCursor: header[i] = 1; break;
      case kCmdSetLight: header[i] = shown.light; break;
      case kCmdSetContrast: header[i] = shown.contrast; break;
      case kCmdSetOutPort: header[i] = i == 0 ? 0 : shown.ports[header[0] & 3]; break;
      default: header[i] = 0; break;
    }
    head[(*head_count)++] = header[i];
  }
  return w.have < length ? PayloadLength(w.command, header, LinkShape()) : w.payload_left;
}

// The completion of a write in doubt: `lead` (none when 0), then zeros.
struct Doubt {
  uint32_t need = 0;  // its bytes, the lead counted
  uint8_t lead = 0;
};

// Whether the board stands where its next byte is read as a glyph position.
bool AtGlyphPosition(const CommandReader& w) {
  return w.in_command && w.command == kCmdSetCGRAMChar && w.have == 0;
}

// What finishes whatever command the board may stand in after any prefix of
// `bytes` reached it from `w` on (the write's count is not to be trusted):
// zeros, as many as the worst of those cut points needs. Zeros are no
// command byte, so wherever the board stands they finish its command with
// no payload announced, and the rest are characters that a reset wipes.
// Only where the board may stand right after a SetCGRAMChar's command byte
// (`glyph_slot` says it may already at `w`) would the first zero define
// custom character 0, which no command can take back: there a defined
// glyph's position leads instead (it goes out again anyway).
Doubt CompletionForAnyCut(CommandReader w, const uint8_t* bytes, uint32_t count, bool glyph_slot) {
  Doubt d;
  CommandReader probe = w;
  for (uint32_t k = 0; !glyph_slot; ++k) {
    glyph_slot = AtGlyphPosition(probe);
    if (k == count) break;
    ReadCommands(&probe, bytes + k, 1, LinkShape());
  }
  if (glyph_slot) d.lead = SafeGlyphPosition(g_link.shown);
  for (uint32_t k = 0;; ++k) {
    CommandReader r = w;
    uint32_t need = 0;
    if (d.lead != 0) {
      ReadCommands(&r, &d.lead, 1, LinkShape());
      need = 1;
    }
    // The completion at that cut point is as long as zeros would make it:
    // none of its header values announces a payload.
    uint8_t head[4];
    uint8_t head_count = 0;
    need += Completion(r, head, &head_count);
    need += head_count;
    if (need > d.need) d.need = need;
    if (k == count) return d;
    ReadCommands(&w, bytes + k, 1, LinkShape());
  }
}

// The board lost bytes or stopped keeping up: from now on the host's streams
// are dropped, and each call sends what the board lacks. First what is owed:
// `zeros` after `head`, then a reset, so that the board's text and graphics
// are known (blank); what a reset keeps may be wrong and goes out again.
void FallBehind(const uint8_t* head, uint8_t head_count, uint32_t zeros) {
  LinkState& s = g_link;
  LinkRecord& l = s.link;
  if (l.mode != kLinkBehind) {
    if (l.mode == kLinkUp) l.fell_this_call = 1;
    l.mode = kLinkBehind;
    l.budget_ms = 0;
    l.budget_at_ms = PlatformTickMs();
  }
  if (head_count > 0) memcpy(l.owed_head, head, head_count);
  l.owed_head_count = head_count;
  l.owed_zeros = zeros;
  l.owed_lead = 0;
  l.owe_reset = 1;
  l.pending_count = 0;
  l.pending_sent = 0;
  l.unsure = kUnsureAll;
  l.fast_bytes = 0;
  l.fast_ms = 0;
  l.at_pace = 0;
  // The board's display as it will be after the reset: it keeps its custom
  // characters, light, contrast and ports (marked unsure above).
  s.board = s.shown;
  const uint8_t reset = kCmdResetDisplay;
  s.board.reader = CommandReader();
  ReadTextStream(&s.board, LinkBoardShape(), &reset, 1);
}

// The board stands at `w`, a command cut where the count says: it is owed
// the rest of that command and the slack.
void CutAt(const CommandReader& w) {
  uint8_t head[4];
  uint8_t head_count = 0;
  const uint8_t lead = g_link.link.owed_lead;
  const uint32_t payload = Completion(w, head, &head_count);
  // The completion of a write in doubt (a payload to the link) keeps a lead
  // that has not surely gone first.
  if (lead != 0 && head_count == 0 && payload > 0) {
    FallBehind(&lead, 1, payload - 1 + kCompletionSlack);
    g_link.link.owed_lead = lead;
    return;
  }
  FallBehind(head, head_count, payload + kCompletionSlack);
}

// A write failed, and any part of it may be on the board: the completion
// `d` finishes whatever command it stands in at any of those cut points, and
// `slack` zeros follow. From here the link follows the board as inside a
// payload of `d.need` bytes, which is all it knows: the completion ends it
// wherever it stands, and the reset after it finds the board between
// commands.
void InDoubt(const Doubt& d, uint32_t slack) {
  CommandReader& w = g_link.link.wire;
  w = CommandReader();
  if (d.need > 0) {
    w.in_command = 1;
    w.command = kCmdSetBitmap;
    w.have = 4;
    w.payload_left = d.need;
  }
  const uint8_t leads = d.lead != 0 ? 1 : 0;
  FallBehind(&d.lead, leads, d.need - leads + slack);
  g_link.link.owed_lead = d.lead;
}

void TraceSlow() {
  LogWrite("\nPort %s: the board takes bytes slower than the line; the display catches up as it "
           "reads\n",
           g_link.link.port_name);
}

void TraceFailed(uint32_t error) {
  LogWrite("\nPort %s: a write failed, error %ld; the display is sent again\n",
           g_link.link.port_name, (long)error);
}

// ------------------------------------------------- what the board lacks

// Appends a composed command to the pending bytes and applies it to the
// board's display as the board will.
// It takes commands up to `soft` bytes, so that what is composed goes out
// soon and the next look finds the host's newest display; a first command
// larger than that (a KS108 picture) up to `room`.
struct Composer {
  uint8_t* bytes;
  uint32_t count;
  uint32_t room;
  uint32_t soft;
};

bool Fits(const Composer& c, uint32_t n) { return c.count + n <= (c.count == 0 ? c.room : c.soft); }

void ComposeText(Composer* c, const uint8_t* bytes, uint32_t n) {
  memcpy(c->bytes + c->count, bytes, n);
  c->count += n;
  ReadTextStream(&g_link.board, LinkBoardShape(), bytes, n);
}

// The text grid of the host's picture (as the board display reads it).
int GridColumns() {
  const LinkState& s = g_link;
  const int width = s.gfx_width < 0 ? 0 : s.gfx_width > 255 ? 255 : s.gfx_width;
  const int columns = width / (s.font_pitch == 8 ? 8 : 6);
  return columns > kShownColumns ? kShownColumns : columns;
}

int GridRows() {
  const LinkState& s = g_link;
  const int height = s.gfx_height < 0 ? 0 : s.gfx_height > 255 ? 255 : s.gfx_height;
  const int rows = height / 8;
  return rows > kShownRows ? kShownRows : rows;
}

bool CellUsed(const BoardDisplay& d, int row, int column) {
  return (d.text_used[row] >> column) & 1;
}

bool GlyphDefined(const BoardDisplay& d, int position) {
  return (d.glyph_defined[position / 64] >> (position % 64)) & 1;
}

// A cell the board shows that the host's display does not: only a reset
// clears it.
bool BoardHasStrayText() {
  const LinkState& s = g_link;
  for (int row = 0; row < kShownRows; ++row) {
    if (s.board.text_used[row] & ~s.shown.text_used[row]) return true;
  }
  return false;
}

// Composes what the board lacks, most visible first, until `c` is full or
// nothing differs. Returns false when nothing differs.
bool ComposeDifference(Composer* c) {
  LinkState& s = g_link;
  LinkRecord& l = s.link;
  BoardDisplay& board = s.board;
  const BoardDisplay& shown = s.shown;
  const uint32_t start = c->count;
  if (BoardHasStrayText()) {
    if (!Fits(*c, 1)) return true;
    const uint8_t reset = kCmdResetDisplay;
    ComposeText(c, &reset, 1);
  }
  if ((l.unsure & kUnsureLight) || board.light != shown.light) {
    if (!Fits(*c, 2)) return true;
    const uint8_t cmd[2] = {kCmdSetLight, shown.light};
    ComposeText(c, cmd, 2);
    l.unsure &= (uint8_t)~kUnsureLight;
  }
  if ((l.unsure & kUnsureContrast) || board.contrast != shown.contrast) {
    if (!Fits(*c, 2)) return true;
    const uint8_t cmd[2] = {kCmdSetContrast, shown.contrast};
    ComposeText(c, cmd, 2);
    l.unsure &= (uint8_t)~kUnsureContrast;
  }
  if (shown.ports_sent) {
    for (int port = 0; port < 4; ++port) {
      if (!(l.unsure & kUnsurePorts) && board.ports_sent && board.ports[port] == shown.ports[port]) {
        continue;
      }
      if (!Fits(*c, 3)) return true;
      const uint8_t cmd[3] = {kCmdSetOutPort, (uint8_t)port, shown.ports[port]};
      ComposeText(c, cmd, 3);
    }
  }
  l.unsure &= (uint8_t)~kUnsurePorts;
  for (int position = 0; position < 256; ++position) {
    if (!GlyphDefined(shown, position)) continue;
    if (!(l.unsure & kUnsureGlyphs) && GlyphDefined(board, position) &&
        memcmp(board.glyphs[position], shown.glyphs[position], 8) == 0) {
      continue;
    }
    if (!Fits(*c, 10)) return true;
    uint8_t cmd[10] = {kCmdSetCGRAMChar, (uint8_t)position};
    memcpy(cmd + 2, shown.glyphs[position], 8);
    ComposeText(c, cmd, 10);
  }
  l.unsure &= (uint8_t)~kUnsureGlyphs;
  // Text: runs of cells that differ, each after a cursor move unless the
  // board's cursor stands there already.
  const int columns = GridColumns(), rows = GridRows();
  for (int row = 0; row < rows; ++row) {
    for (int column = 0; column < columns;) {
      if (!CellUsed(shown, row, column) ||
          (CellUsed(board, row, column) && board.text[row][column] == shown.text[row][column])) {
        ++column;
        continue;
      }
      int end = column;
      while (end < columns && CellUsed(shown, row, end) &&
             !(CellUsed(board, row, end) && board.text[row][end] == shown.text[row][end])) {
        ++end;
      }
      const bool move = board.cursor_column != column || board.cursor_row != row;
      const uint32_t n = (uint32_t)(end - column) + (move ? 3 : 0);
      if (!Fits(*c, n)) return true;
      if (move) {
        const uint8_t cmd[3] = {kCmdSetTextCursor, (uint8_t)(column + 1), (uint8_t)(row + 1)};
        ComposeText(c, cmd, 3);
      }
      ComposeText(c, shown.text[row] + column, (uint32_t)(end - column));
      column = end;
    }
  }
  // Graphics.
  if (LinkShape().ks108) {
    const uint8_t* h = shown.ks108_header;
    const uint32_t bands = ((uint32_t)h[3] + 7) / 8;
    const uint32_t payload = PayloadLength(kCmdSetBitmap, h, LinkShape());
    bool differs = shown.graphics_drawn && memcmp(board.ks108_header, h, 4) != 0;
    const uint32_t columns = bands > 0 ? payload / bands : 0;
    for (uint32_t band = 0; !differs && band < bands && band < (uint32_t)kShadowBands; ++band) {
      const uint32_t offset = (h[1] / 8 + band) * kShadowColumns + h[0];
      const uint32_t n = (uint32_t)Min(columns, kShadowColumns - h[0]);
      if (h[1] / 8 + band < (uint32_t)kShadowBands &&
          memcmp(board.graphics + offset, shown.graphics + offset, n) != 0) {
        differs = true;
      }
    }
    if (differs && payload > 0) {
      if (!Fits(*c, 6 + payload)) return true;
      // One byte more than the picture: the sink never fills, so it never
      // flushes.
      ByteSink sink = {c->bytes + c->count, 6 + payload, 0, nullptr};
      SendKs108Picture(shown, LinkBoardShape(), &sink);
      ReadGfxStream(&board, LinkBoardShape(), sink.bytes, sink.count);
      c->count += sink.count;
    }
  } else {
    const int pitch = s.font_pitch == 8 ? 8 : 6;
    const int addressable = pitch == 8 ? 32 : kShadowRowBytes;
    for (int y = 0; y < kShadowRows; ++y) {
      const uint8_t* want = shown.graphics + y * kShadowRowBytes;
      const uint8_t* have = board.graphics + y * kShadowRowBytes;
      if (memcmp(want, have, (size_t)addressable) == 0) continue;
      for (int x = 0; x < addressable;) {
        if (want[x] == have[x]) {
          ++x;
          continue;
        }
        // Gaps of up to three equal bytes cost less than a new header.
        int end = x + 1, last = x;
        while (end < addressable && end - last <= 4) {
          if (want[end] != have[end]) last = end;
          ++end;
        }
        const uint32_t n = (uint32_t)(last - x + 1);
        const uint32_t size = n == 1 ? 4 : 4 + n;
        if (!Fits(*c, size)) return true;
        uint8_t* out = c->bytes + c->count;
        out[0] = n == 1 ? kCmdSetGfxSingle : kCmdSetGfxMulti;
        out[1] = (uint8_t)(x * pitch);
        out[2] = (uint8_t)y;
        if (n == 1) {
          out[3] = want[x];
        } else {
          out[3] = (uint8_t)n;
          memcpy(out + 4, want + x, n);
        }
        c->count += size;
        DrawRowBytes(&board, pitch, (uint32_t)(x * pitch), (uint32_t)y, want + x, n);
        x = last + 1;
      }
    }
  }
  if (board.cursor_column != shown.cursor_column || board.cursor_row != shown.cursor_row) {
    if (shown.cursor_column < columns && shown.cursor_row < rows) {
      if (!Fits(*c, 3)) return true;
      const uint8_t cmd[3] = {kCmdSetTextCursor, (uint8_t)(shown.cursor_column + 1),
                              (uint8_t)(shown.cursor_row + 1)};
      ComposeText(c, cmd, 3);
    }
  }
  return c->count > start;
}

// ---------------------------------------------------- writing while behind

uint32_t Owed() {
  const LinkRecord& l = g_link.link;
  return l.owed_head_count + l.owed_zeros + l.owe_reset + (l.pending_count - l.pending_sent);
}

// The first `n` owed bytes, in order, into `out`.
uint32_t GatherOwed(uint8_t* out, uint32_t n) {
  const LinkRecord& l = g_link.link;
  uint32_t k = 0;
  for (uint32_t i = 0; i < l.owed_head_count && k < n; ++i) out[k++] = l.owed_head[i];
  for (uint32_t i = 0; i < l.owed_zeros && k < n; ++i) out[k++] = 0;
  if (l.owe_reset && k < n) out[k++] = kCmdResetDisplay;
  const uint32_t rest = l.pending_count - l.pending_sent;
  const uint32_t take = n - k < rest ? n - k : rest;
  memcpy(out + k, g_link.pending + l.pending_sent, take);
  return k + take;
}

void ConsumeOwed(uint32_t n) {
  LinkRecord& l = g_link.link;
  const uint32_t head = n < l.owed_head_count ? n : l.owed_head_count;
  memmove(l.owed_head, l.owed_head + head, l.owed_head_count - head);
  l.owed_head_count = (uint8_t)(l.owed_head_count - head);
  if (l.owed_head_count == 0) l.owed_lead = 0;
  n -= head;
  const uint32_t zeros = n < l.owed_zeros ? n : l.owed_zeros;
  l.owed_zeros -= zeros;
  n -= zeros;
  if (n > 0 && l.owe_reset) {
    l.owe_reset = 0;
    --n;
  }
  l.pending_sent += n;
  if (l.pending_sent == l.pending_count) l.pending_sent = l.pending_count = 0;
}

// Refills the budget with the time that passed: a fifth of it.
void Refill(uint64_t now) {
  LinkRecord& l = g_link.link;
  if (now <= l.budget_at_ms) return;
  const uint64_t gained = (now - l.budget_at_ms) / kBudgetShare;
  l.budget_ms += (int64_t)gained;
  if (l.budget_ms > (int64_t)kMostCallMs) l.budget_ms = (int64_t)kMostCallMs;
  l.budget_at_ms += gained * kBudgetShare;
}

uint32_t LineRate() {
  const int32_t baud = g_link.link.baud_rate;
  return baud >= 10 ? (uint32_t)baud / 10 : 1;
}

// One write of owed bytes. A board that took the last telling write at the
// line's pace costs the host no more than that pace would (its writes are
// charged only if one turns out slow); any other gets what the budget
// allows. Returns true when all of it went and more may follow in this call.
bool WriteOwed() {
  LinkState& s = g_link;
  LinkRecord& l = s.link;
  const uint32_t rate = l.rate_per_s < kLeastRate ? kLeastRate : l.rate_per_s;
  uint64_t allow, n, full = 0;
  if (l.at_pace) {
    // A board a little slower than the line stays at its pace: what its
    // writes take beyond their line time is charged, a call's worth at most.
    if (l.call_spent_ms >= kMostCallMs) return false;
    // What the line carries in a tenth of a second, under a time-out of its
    // line time and a little: a board that slowed down costs no more.
    n = Min(Min((uint64_t)LineRate() / 10, kChunkMost), Owed());
    if (n == 0) n = 1;
    const uint64_t line_ms = LineTimeMs(n, l.baud_rate);
    allow = line_ms + line_ms / 4 + kClockStepMs;
  } else if (l.took_nothing) {
    // The board took nothing lately: now and then a few bytes, under a
    // time-out of their line time and a little, tell whether it reads
    // again.
    const uint64_t now = PlatformTickMs();
    if (now < l.next_attempt_ms || l.budget_ms < (int64_t)kLeastWriteMs) return false;
    l.next_attempt_ms = now + kProbeEveryMs;
    n = Min(Min(kProbeBytes, Owed()), (uint64_t)LineRate() * (kMostCallMs - kProbeWaitMs) / 1000);
    if (n == 0) n = 1;
    allow = Min(Min(LineTimeMs(n, l.baud_rate) + kProbeWaitMs, kMostCallMs), (uint64_t)l.budget_ms);
    if (allow < LineTimeMs(n, l.baud_rate)) return false;
  } else {
    if (l.budget_ms < (int64_t)kLeastWriteMs) return false;
    allow = Min((uint64_t)l.budget_ms, kMostCallMs - Min(l.call_spent_ms, kMostCallMs));
    if (allow < kLeastWriteMs) return false;
    // Half of what the board's rate fits in the time allowed, and no more
    // than the line carries in it.
    full = Min(Min((uint64_t)rate * allow / 2000, (uint64_t)LineRate() * allow / 1000), kChunkMost);
    n = Min(full, Owed());
    if (n == 0) n = 1;
    // Not even one byte's line time: the budget grows until it is.
    if (LineTimeMs(n, l.baud_rate) > allow) return false;
  }
  uint8_t chunk[kChunkMost];
  n = GatherOwed(chunk, (uint32_t)n);
  if (!SetWriteTimeouts((uint32_t)allow)) {
    PortGone(PlatformLastError());
    return false;
  }
  uint32_t written = 0;
  const uint64_t started = PlatformTickMs();
  const bool ok = PlatformPortWrite(s.port, chunk, (uint32_t)n, &written);
  const uint64_t took = PlatformTickMs() - started;
  if (written > n) written = (uint32_t)n;
  // The board keeps pace when a run of writes went as fast as the line (or
  // faster than the clock can tell), taken together: one short write alone
  // says nothing.
  const uint64_t line_ms = LineTimeMs(n, l.baud_rate);
  const bool quick = ok && written == n && took <= line_ms + line_ms / 4 + kClockStepMs;
  const bool charged = !(l.at_pace && quick);
  if (quick) {
    l.fast_bytes += (uint32_t)n;
    l.fast_ms += took;
    const uint64_t run_ms = LineTimeMs(l.fast_bytes, l.baud_rate);
    if (l.fast_ms > run_ms + run_ms / 4 + kClockStepMs) l.fast_bytes = 0, l.fast_ms = 0;
    if (l.fast_bytes > 4 * kKeepsUpBytes) l.fast_bytes /= 2, l.fast_ms /= 2;
  } else {
    l.fast_bytes = 0;
    l.fast_ms = 0;
  }
  l.at_pace = l.fast_bytes >= kTellingBytes;
  const uint64_t cost = charged ? took : took > line_ms ? took - line_ms : 0;
  l.budget_ms -= (int64_t)cost;
  l.call_spent_ms += cost;
  if (ok) {
    ReadCommands(&l.wire, chunk, written, LinkShape());
    ConsumeOwed(written);
    l.failed_writes = 0;
    // What the board takes at the least, the clock's step counted against
    // it: the next write, sized at half of that, finishes within its time
    // unless the board slows down. A write that took a quarter of its time
    // or less went at twice the rate it was sized for, at the least.
    // A write shorter than the rate allowed says little (the clock's step
    // weighs on it): it only ever raises the estimate.
    l.took_nothing = written == 0;
    if (written > 0) {
      uint64_t least = (uint64_t)written * 1000 / (took + kClockStepMs);
      if (written == n && n >= full && (took + 1) * 4 <= allow) least = Max(least, (uint64_t)rate * 2);
      // A telling write at the line's pace: the board takes the line's rate.
      if (quick && n >= kTellingBytes) least = Max(least, LineRate());
      if (n < full) least = Max(least, l.rate_per_s);
      l.rate_per_s = (uint32_t)Min(least, UINT32_MAX);
    }
    return quick || written == n;
  }
  // Failed: the count says nothing, any part may have gone (also to a board
  // that stays while its port is opened again).
  const uint32_t error = PlatformLastError();
  // A lead none of which surely went may still be read as a position.
  const bool lead_in_doubt = l.owed_lead != 0 && written == 0;
  ReadCommands(&l.wire, chunk, written, LinkShape());
  // Never fewer zeros than were owed: the slack of an earlier loss may not
  // have gone either.
  const Doubt d = CompletionForAnyCut(l.wire, chunk + written, (uint32_t)n - written, lead_in_doubt);
  const uint32_t zeros = d.need - (d.lead != 0 ? 1 : 0);
  InDoubt(d, l.owed_zeros > zeros ? l.owed_zeros - zeros : 0);
  if (PlatformPortClearError(s.port) == kPortQueryFailed) {
    PortGone(error);
    return false;
  }
  const bool at_once = took * 2 < allow && !PlatformIsTimeoutError(error);
  if (at_once && ++l.failed_writes >= kFailedWritesGone) {
    PortGone(error);
    return false;
  }
  l.rate_per_s /= 2;
  l.took_nothing = !at_once;
  // A write that failed at once (a line error, say) may be followed by
  // another in this call; three in a row and the port counts as gone.
  return at_once;
}

// Spends what the budget allows on what the board lacks, newest state only;
// a board that took enough at the line's pace and lacks nothing keeps up
// again, and the host's streams go out as they are from the next put on.
void CatchUp(bool closing) {
  LinkState& s = g_link;
  LinkRecord& l = s.link;
  if (l.mode != kLinkBehind || !PortIsOpen(s.port)) return;
  const uint64_t now = PlatformTickMs();
  Refill(now);
  // The port closes after this call: the board gets a call's budget to end
  // the command it stands in and take the closing display, rather than
  // keep it until the next start; less what this call's writes took beyond
  // it, so that the call waits about one write time-out at the most.
  if (closing) {
    const int64_t spent = l.call_late_ms + (int64_t)l.call_line_ms;
    const int64_t most = (int64_t)kLongestWriteMs + 20;
    l.budget_ms = spent >= most || l.fell_this_call
                      ? 0
                      : (int64_t)Min(kMostCallMs, (uint64_t)(most - (spent > 0 ? spent : 0)));
  }
  l.call_spent_ms = 0;
  const uint8_t ready = s.ready.load();
  SetReady(0);
  bool probing = false;
  for (;;) {
    if (l.pending_count == 0 && l.owed_head_count == 0 && l.owed_zeros == 0 && !l.owe_reset) {
      Composer c = {s.pending, 0, kPendingCapacity, kChunkMost};
      if (!ComposeDifference(&c)) {
        if (l.fast_bytes >= kKeepsUpBytes && s.shown.reader.in_command == 0) {
          l.mode = kLinkUp;
          if (!SetWriteTimeouts(0)) {
            PortGone(PlatformLastError());
            break;
          }
          LogWrite("\nPort %s: the board keeps up again\n", l.port_name);
          break;
        }
        // Nothing to send: bytes that change nothing (the cursor set where it
        // stands) measure whether the board keeps up, once a second while it
        // took at least half the line's rate lately, else once in ten (a
        // slow board's budget goes to what the host draws next).
        const uint64_t t = PlatformTickMs();
        if (t < l.next_try_ms || closing) break;
        const bool seems_fast = l.at_pace || l.rate_per_s >= LineRate() / 2;
        l.next_try_ms = t + (seems_fast ? kRetryMs : kSlowBoardRetryMs);
        // As many as the board took in a quarter of a second lately, so that
        // a slow board is not kept from what the host draws next.
        const uint8_t move[3] = {kCmdSetTextCursor, (uint8_t)(s.board.cursor_column + 1),
                                 (uint8_t)(s.board.cursor_row + 1)};
        const uint32_t most = l.rate_per_s / 4 > kKeepsUpBytes ? kKeepsUpBytes : l.rate_per_s / 4;
        do {
          ComposeText(&c, move, 3);
        } while (c.count + 3 <= most);
        probing = true;
      }
      l.pending_count = c.count;
      l.pending_sent = 0;
    }
    const bool more = WriteOwed();
    // A probe that went at the line's pace: the board reads again, however
    // slow it was, and the next probe follows in a second.
    if (probing && l.fast_bytes > 0) l.next_try_ms = Min(l.next_try_ms, PlatformTickMs() + kRetryMs);
    probing = false;
    if (!more || l.mode != kLinkBehind) break;
  }
  SetReady(ready);
}

}  // namespace

void BringBackInStep() {
  LinkState& s = g_link;
  LinkRecord& l = s.link;
  if (l.mode != kLinkGone) return;
  const uint64_t now = PlatformTickMs();
  if (now < l.next_try_ms) return;
  l.next_try_ms = now + kRetryMs;
  PortHandle port = ReopenPort(l.port_name, l.baud_rate);
  if (!PortIsOpen(port)) return;
  s.port = port;
  l.mode = kLinkUp;
  LogWrite("\nPort %s back; the display is sent again\n", l.port_name);
  // The board may still stand inside the command the loss cut. A board
  // plugged in again most likely reads at the line's pace.
  CutAt(l.wire);
  l.rate_per_s = LineRate();
  l.took_nothing = 0;
}

void LinkEndCall(bool closing) { CatchUp(closing); }

void LinkCheckPort() {
  LinkState& s = g_link;
  if (!PortIsOpen(s.port) || s.link.mode != kLinkUp) return;
  if (PlatformPortClearError(s.port) == kPortQueryFailed) PortGone(PlatformLastError());
}

void LinkStarted(PortHandle port, const char* name, int32_t baud_rate, uint64_t call_started_ms) {
  LinkState& s = g_link;
  s.port = port;
  LinkRecord& l = s.link;
  const bool missed = l.missed;
  const CommandReader cut = l.wire;
  const uint8_t ks108_width = l.ks108_width;
  const uint32_t rate = l.rate_per_s;
  const bool fell_this_call = l.fell_this_call;
  const uint8_t lead = l.owed_lead;
  l = LinkRecord();
  for (size_t i = 0; i + 1 < sizeof l.port_name && name[i] != '\0'; ++i) l.port_name[i] = name[i];
  l.baud_rate = baud_rate;
  l.controller = s.controller;
  const PortTimeouts t = DriverTimeouts(baud_rate);
  const uint32_t per_byte = t.write_total_multiplier > 0 ? t.write_total_multiplier : 1;
  l.piece = (uint32_t)((kLongestWriteMs - t.write_total_constant) / per_byte);
  if (l.piece == 0) l.piece = 1;
  // The buffers start empty, so the text stream starts between commands.
  s.shown.reader = CommandReader();
  if (!missed) return;
  // The same board on a port that closed while it was behind may still be
  // inside the command that was cut: it gets the rest, a reset and the
  // display. The host asked for this start: it gets a call's budget, less
  // what the clean-up of the old port took beyond it, so that the whole
  // LCD_Init waits about one write time-out at the most.
  l.wire = cut;
  l.ks108_width = ks108_width;
  l.rate_per_s = rate;
  l.owed_lead = lead;
  CutAt(cut);
  const uint64_t now = PlatformTickMs();
  const uint64_t spent = now > call_started_ms ? now - call_started_ms : 0;
  const uint64_t most = kLongestWriteMs + 20;
  l.budget_ms = (int64_t)(spent >= most || fell_this_call ? 0 : Min(kMostCallMs, most - spent));
  l.budget_at_ms = now;
}

void LinkClosed() {
  LinkRecord& l = g_link.link;
  // Where the board stands stays known, for the next port.
  l.missed = l.mode != kLinkUp;
  l.mode = kLinkUp;
  l.behind_timeout_ms = 0;
}

void LinkWrite(const uint8_t* data, uint32_t size, const CommandReader* after) {
  LinkState& s = g_link;
  LinkRecord& l = s.link;
  if (!PortIsOpen(s.port) || l.mode != kLinkUp) return;
  // Where the board stands: read from the bytes that went out, unless all of
  // them did and the caller knows where that leaves it.
  const uint8_t* start = data;
  uint32_t sent = 0;
  while (size > 0) {
    uint32_t want = size < l.piece ? size : l.piece;
    // A call whose writes are late already (a board a little slower than
    // the line) may wait only what is left of one write time-out beyond its
    // line time in all: a board that then stops costs the host no more than
    // one that stops at the first byte. A call with too little left has met
    // a board slower than the line.
    uint32_t wait_ms = 0;
    if (l.call_late_ms > (int64_t)kSlowMarginMs) {
      const int64_t left = (int64_t)kLongestWriteMs - l.call_late_ms;
      const uint64_t fits = left > 0 ? (uint64_t)LineRate() * (uint64_t)left / 2000 : 0;
      if (left < (int64_t)kLeastLeftMs || fits == 0) {
        // The board took this call's bytes at the rate their lateness tells.
        const uint64_t all_ms = l.call_line_ms + (uint64_t)l.call_late_ms;
        l.rate_per_s = (uint32_t)((uint64_t)LineRate() * l.call_line_ms / all_ms);
        l.took_nothing = 0;
        ReadCommands(&l.wire, start, sent, LinkShape());
        CutAt(l.wire);
        TraceSlow();
        return;
      }
      want = (uint32_t)Min(want, fits);
      wait_ms = (uint32_t)left;
    }
    if (!SetWriteTimeouts(wait_ms)) {
      PortGone(PlatformLastError());
      return;
    }
    uint32_t written = 0;
    const uint64_t started = PlatformTickMs();
    const bool ok = PlatformPortWrite(s.port, data, want, &written);
    const uint64_t took = PlatformTickMs() - started;
    if (written > want) written = want;
    data += written;
    size -= written;
    sent += written;
    if (written > 0) l.failed_writes = 0;
    // The board keeps up while this call's writes together took no more
    // than twice their line time, or were late by less than a scheduler or
    // a busy USB bus may make them: then a short write that came back at
    // once is written on. A short write that waited ran out of its time.
    const uint64_t line_ms = LineTimeMs(written, l.baud_rate);
    l.call_late_ms += (int64_t)took - (int64_t)line_ms;
    l.call_line_ms += line_ms;
    const bool late = l.call_late_ms > (int64_t)kSlowMarginMs && l.call_late_ms > (int64_t)l.call_line_ms;
    const bool waited_out = written < want && took > line_ms + kClockStepMs;
    if (ok && written > 0 && !late && !waited_out) continue;
    ReadCommands(&l.wire, start, sent, LinkShape());
    if (ok) {
      l.rate_per_s = (uint32_t)((uint64_t)written * 1000 / (took + kClockStepMs));
      l.took_nothing = written == 0;
      // The board took bytes slower than the line, or none before the
      // time-out: where it stands is known.
      CutAt(l.wire);
      TraceSlow();
      return;
    }
    const uint32_t error = PlatformLastError();
    // Any part of the piece may be on the board: a line error with abort
    // on error, a time-out reported as an error, a cancelled transfer, a
    // port that stops answering while its board stays. It is not written
    // again.
    InDoubt(CompletionForAnyCut(l.wire, data, want - written, false), kCompletionSlack);
    if (PlatformPortClearError(s.port) == kPortQueryFailed) {
      PortGone(error);
      return;
    }
    const bool waited =
        took * 2 >= (wait_ms != 0 ? wait_ms : LineTimeMs(want, l.baud_rate) + 1000);
    if (!waited && !PlatformIsTimeoutError(error) && ++l.failed_writes >= kFailedWritesGone) {
      PortGone(error);
      return;
    }
    l.took_nothing = waited || PlatformIsTimeoutError(error);
    if (waited || PlatformIsTimeoutError(error)) {
      TraceSlow();
    } else {
      TraceFailed(error);
    }
    return;
  }
  if (after != nullptr) {
    l.wire = *after;
  } else {
    ReadCommands(&l.wire, start, sent, LinkShape());
  }
}
