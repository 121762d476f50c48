#include "display/changes.h"

namespace {

// Splits nest at most this deep: the parts of a split are planned alone, so
// planning costs at most this many passes over the rectangle's masks.
const int kMostSplits = 8;

// A bit set over the positions of one line: a row's byte columns (one word),
// or a column's rows (four words).
template <int W>
struct Bits {
  uint64_t w[W];
};

template <int W>
bool Test(const Bits<W>& b, uint32_t at) {
  return (b.w[at / 64] >> (at % 64)) & 1;
}

// Bits [first, last] of word `word`, as a mask of that word.
inline uint64_t WordRange(uint32_t word, uint32_t first, uint32_t last) {
  const uint32_t base = word * 64;
  if (last < base || first >= base + 64) return 0;
  const uint32_t lo = first > base ? first - base : 0;
  const uint32_t hi = last < base + 63 ? last - base : 63;
  const uint64_t upto = hi == 63 ? ~uint64_t{0} : (uint64_t{1} << (hi + 1)) - 1;
  return upto & ~((uint64_t{1} << lo) - 1);
}

template <int W>
void SetRange(Bits<W>& b, uint32_t first, uint32_t last, bool on) {
  if (W == 1) {  // a row: one word, the common case
    const uint64_t mask = WordRange(0, first, last);
    b.w[0] = on ? b.w[0] | mask : b.w[0] & ~mask;
    return;
  }
  for (uint32_t i = first / 64; i <= last / 64; ++i) {
    const uint64_t mask = WordRange(i, first, last);
    b.w[i] = on ? b.w[i] | mask : b.w[i] & ~mask;
  }
}

template <int W>
bool AllSet(const Bits<W>& b, uint32_t first, uint32_t last) {
  if (W == 1) return (b.w[0] & WordRange(0, first, last)) == WordRange(0, first, last);
  for (uint32_t i = first / 64; i <= last / 64; ++i) {
    const uint64_t mask = WordRange(i, first, last);
    if ((b.w[i] & mask) != mask) return false;
  }
  return true;
}

// The first position at or after `from`, below `end`, whose bit is `set`.
template <int W>
uint32_t Next(const Bits<W>& b, uint32_t from, uint32_t end, bool set) {
  if (W == 1) {
    const uint64_t word = from < 64 ? (set ? b.w[0] : ~b.w[0]) >> from : 0;
    const uint32_t at = word != 0 ? from + (uint32_t)__builtin_ctzll(word) : end;
    return at < end ? at : end;
  }
  while (from < end) {
    const uint32_t i = from / 64;
    uint64_t word = (set ? b.w[i] : ~b.w[i]) >> (from % 64);
    if (word != 0) {
      const uint32_t at = from + (uint32_t)__builtin_ctzll(word);
      return at < end ? at : end;
    }
    from = (i + 1) * 64;
  }
  return end;
}

// A box of the rectangle by inclusive bounds.
struct Area {
  uint32_t c0, c1, r0, r1;
};

inline uint64_t ColumnMask(uint32_t c0, uint32_t c1) { return WordRange(0, c0, c1); }

ChangeBox BoxOf(uint32_t c0, uint32_t c1, uint32_t r0, uint32_t r1) {
  return {(uint8_t)c0, (uint8_t)r0, (uint8_t)(c1 - c0 + 1), (uint8_t)(r1 - r0 + 1)};
}

void Put(const BoxSink* sink, const ChangeBox& box) {
  if (sink != nullptr) sink->put(sink->context, box);
}

// One orientation of line-by-line planning: rows (each a line of byte
// columns, sent by SetGfxSingle and SetGfxMulti) or columns (each a line of
// rows, sent as SetBitmap one byte wide).
template <int W>
struct Lines {  // W: the words of a line, 1 for rows, 4 for columns
  bool rows;
  uint32_t first, last;       // the lines of the area
  uint32_t from, length;      // the positions of the area along a line
  uint32_t header;            // what a span of two or more costs besides its bytes
};

template <int W>
Bits<W> LineBits(const ChangeMap& map, const Lines<W>& l, uint32_t line) {
  Bits<W> b = {};
  if (l.rows) {
    b.w[0] = (map.row_bits[line] >> l.from) & ColumnMask(0, l.length - 1);
    return b;
  }
  // A column's rows from `from` on: the four words moved down.
  const uint64_t* src = map.column_bits[line];
  const uint32_t shift = l.from % 64, skip = l.from / 64;
  for (uint32_t i = 0; i < (uint32_t)W; ++i) {
    const uint32_t a = i + skip;
    uint64_t word = a < 4 ? src[a] >> shift : 0;
    if (shift != 0 && a + 1 < 4) word |= src[a + 1] << (64 - shift);
    b.w[i] = word;
  }
  for (uint32_t i = 0; i < (uint32_t)W; ++i) b.w[i] &= WordRange(i, 0, l.length - 1);
  return b;
}

// The spans of one line that cover its marked bytes most cheaply: a gap is
// bridged when its bytes cost no more than the next command's header. Exact
// over the line's runs, in one pass: the cheapest cover ending at run i
// either starts a span at some run j (cost so far before j, plus the span)
// or, for a run of one byte, sends it as SetGfxSingle.
template <int W>
Bits<W> CheapestSpans(const Bits<W>& marked, uint32_t length, uint32_t header) {
  const uint32_t kMostRuns = W * 32 + 1;
  uint32_t start[kMostRuns + 1], end[kMostRuns + 1], from[kMostRuns + 1];
  int32_t cost[kMostRuns + 1];
  uint32_t runs = 0;
  for (uint32_t at = Next(marked, 0, length, true); at < length;) {
    const uint32_t stop = Next(marked, at, length, false);
    ++runs;
    start[runs] = at;
    end[runs] = stop - 1;
    at = Next(marked, stop, length, true);
  }
  cost[0] = 0;
  int32_t open = 0;
  uint32_t open_run = 0;
  for (uint32_t i = 1; i <= runs; ++i) {
    const int32_t here = cost[i - 1] - (int32_t)start[i];
    if (i == 1 || here < open) {
      open = here;
      open_run = i;
    }
    cost[i] = open + (int32_t)(end[i] + 1 + header);
    from[i] = open_run;
    if (start[i] == end[i] && cost[i - 1] + 4 < cost[i]) {
      cost[i] = cost[i - 1] + 4;
      from[i] = i;
    }
  }
  Bits<W> spans = {};
  for (uint32_t i = runs; i > 0; i = from[i] - 1) SetRange(spans, start[from[i]], end[i], true);
  return spans;
}

// Each line's cheapest spans; a span that recurs exactly in the lines below
// goes out with them as one block. Returns the cost; `sink` gets the boxes.
template <int W>
uint32_t PlanLines(const ChangeMap& map, const Lines<W>& l, const BoxSink* sink) {
  // Rows come one word wide, columns four.
  const uint32_t kMostLines = W == 1 ? kChangeRows : kChangeColumns;
  Bits<W> spans[kMostLines];
  for (uint32_t line = l.first; line <= l.last; ++line) {
    spans[line - l.first] = CheapestSpans(LineBits(map, l, line), l.length, l.header);
  }
  const uint32_t count = l.last - l.first + 1;
  uint32_t total = 0;
  for (uint32_t i = 0; i < count; ++i) {
    for (uint32_t a = Next(spans[i], 0, l.length, true); a < l.length;
         a = Next(spans[i], a, l.length, true)) {
      const uint32_t b = Next(spans[i], a, l.length, false) - 1;
      SetRange(spans[i], a, b, false);
      uint32_t deep = 1;
      for (; i + deep < count; ++deep) {
        const Bits<W>& next = spans[i + deep];
        if (!AllSet(next, a, b) || (a > 0 && Test(next, a - 1)) ||
            (b + 1 < l.length && Test(next, b + 1))) {
          break;
        }
        SetRange(spans[i + deep], a, b, false);
      }
      const uint32_t p0 = l.from + a, p1 = l.from + b;
      const uint32_t q0 = l.first + i, q1 = l.first + i + deep - 1;
      const ChangeBox box = l.rows ? BoxOf(p0, p1, q0, q1) : BoxOf(q0, q1, p0, p1);
      total += BoxCost(box);
      Put(sink, box);
    }
  }
  return total;
}

uint32_t PlanRows(const ChangeMap& map, const Area& a, const BoxSink* sink) {
  const Lines<1> l = {true, a.r0, a.r1, a.c0, a.c1 - a.c0 + 1, 4};
  return PlanLines(map, l, sink);
}

uint32_t PlanColumns(const ChangeMap& map, const Area& a, const BoxSink* sink) {
  const Lines<4> l = {false, a.c0, a.c1, a.r0, a.r1 - a.r0 + 1, 5};
  return PlanLines(map, l, sink);
}

// The box around the marks of an area, and whether rows inside it are empty.
struct Marks {
  Area box;
  uint64_t used_columns;
  bool empty_rows;
};

bool FindMarks(const ChangeMap& map, const Area& area, Marks* m) {
  const uint64_t mask = ColumnMask(area.c0, area.c1);
  uint64_t used = 0;
  uint32_t top = area.r1 + 1, bottom = 0, marked_rows = 0;
  for (uint32_t r = area.r0; r <= area.r1; ++r) {
    const uint64_t bits = map.row_bits[r] & mask;
    if (bits == 0) continue;
    used |= bits;
    if (top > r) top = r;
    bottom = r;
    ++marked_rows;
  }
  if (used == 0) return false;
  m->box = {(uint32_t)__builtin_ctzll(used), 63u - (uint32_t)__builtin_clzll(used), top, bottom};
  m->used_columns = used;
  m->empty_rows = marked_rows < bottom - top + 1;
  return true;
}

// Calls `part` for each part of the box between empty rows, or else between
// empty columns, top to bottom or left to right. Returns the number of parts
// (0 when the box has neither).
template <typename F>
uint32_t ForEachPart(const ChangeMap& map, const Marks& m, F part) {
  const Area& a = m.box;
  const uint64_t mask = ColumnMask(a.c0, a.c1);
  uint32_t parts = 0;
  if (m.empty_rows) {
    for (uint32_t r = a.r0; r <= a.r1;) {
      if ((map.row_bits[r] & mask) == 0) {
        ++r;
        continue;
      }
      uint32_t end = r;
      while (end < a.r1 && (map.row_bits[end + 1] & mask) != 0) ++end;
      part(Area{a.c0, a.c1, r, end});
      ++parts;
      r = end + 1;
    }
    return parts;
  }
  if (m.used_columns == mask) return 0;
  const Bits<1> used = {{m.used_columns}};
  for (uint32_t c = Next(used, a.c0, a.c1 + 1, true); c <= a.c1;) {
    const uint32_t stop = Next(used, c, a.c1 + 1, false);
    part(Area{c, stop - 1, a.r0, a.r1});
    ++parts;
    c = Next(used, stop, a.c1 + 1, true);
  }
  return parts;
}

enum Choice : uint8_t { kWhole, kSplit, kRows, kColumns };

// Splits are tried while fewer than kSplitNodes areas were planned; after
// that every part still due takes one record more (at most kMostSplits
// levels of at most 128 parts).
const uint32_t kSplitNodes = 256;
const uint32_t kMostNodes = kSplitNodes + kMostSplits * 128 + 1;

// The choice made for each area planned, in the order they were planned,
// and how many records its own parts took: sending follows the choices
// without planning again.
struct Planner {
  const ChangeMap* map;
  uint32_t used;
  Choice choice[kMostNodes];
  uint16_t records[kMostNodes];
};

// The cheapest of: the box around the area's marks sent whole, its parts
// between empty rows or columns, its rows, its columns. A tie keeps the
// earlier, so a box that is all changes goes out whole.
uint32_t PlanArea(Planner& p, const Area& area, int depth) {
  const ChangeMap& map = *p.map;
  Marks m;
  if (!FindMarks(map, area, &m)) return 0;
  const uint32_t at = p.used++;
  uint32_t best = BoxCost(BoxOf(m.box.c0, m.box.c1, m.box.r0, m.box.r1));
  Choice choice = kWhole;
  if (best > 4) {
    uint32_t parts = 0;
    if (depth < kMostSplits && p.used < kSplitNodes) {
      uint32_t split = 0;
      parts = ForEachPart(map, m, [&](const Area& part) { split += PlanArea(p, part, depth + 1); });
      if (parts != 0 && split < best) {
        best = split;
        choice = kSplit;
      }
    }
    // Lines never meet across the empty rows or columns of a split: planned
    // in that direction, the box costs what its parts do that way, never
    // less than the split.
    const uint32_t rows = parts != 0 && m.empty_rows ? best : PlanRows(map, m.box, nullptr);
    if (rows < best) {
      best = rows;
      choice = kRows;
    }
    const uint32_t columns =
        parts != 0 && !m.empty_rows ? best : PlanColumns(map, m.box, nullptr);
    if (columns < best) {
      best = columns;
      choice = kColumns;
    }
  }
  p.choice[at] = choice;
  p.records[at] = (uint16_t)(p.used - at);
  return best;
}

// Sends the area as planned; `at` is its record, moved past its parts'.
void SendArea(const Planner& p, const Area& area, uint32_t& at, const BoxSink* sink) {
  const ChangeMap& map = *p.map;
  Marks m;
  if (!FindMarks(map, area, &m)) return;
  const uint32_t mine = at;
  switch (p.choice[mine]) {
    case kWhole:
      Put(sink, BoxOf(m.box.c0, m.box.c1, m.box.r0, m.box.r1));
      break;
    case kSplit:
      ++at;
      ForEachPart(map, m, [&](const Area& part) { SendArea(p, part, at, sink); });
      break;
    case kRows:
      PlanRows(map, m.box, sink);
      break;
    case kColumns:
      PlanColumns(map, m.box, sink);
      break;
  }
  at = mine + p.records[mine];
}

}  // namespace

void ClearChanges(ChangeMap* map, uint32_t columns, uint32_t rows) {
  map->columns = columns;
  map->rows = rows;
  for (uint32_t r = 0; r < rows; ++r) map->row_bits[r] = 0;
  for (uint32_t c = 0; c < columns; ++c) {
    for (uint64_t& word : map->column_bits[c]) word = 0;
  }
}

uint32_t BoxCost(const ChangeBox& box) {
  if (box.rows > 1) return 5 + (uint32_t)box.columns * box.rows;
  return box.columns == 1 ? 4 : 4 + (uint32_t)box.columns;
}

uint32_t PlanChanges(const ChangeMap& map, const BoxSink* sink) {
  if (map.rows == 0 || map.columns == 0) return 0;
  Planner p;
  p.map = &map;
  p.used = 0;
  const Area all = {0, map.columns - 1, 0, map.rows - 1};
  const uint32_t cost = PlanArea(p, all, 0);
  uint32_t at = 0;
  if (sink != nullptr) SendArea(p, all, at, sink);
  return cost;
}
