// The segmenter: a long SDR command becomes segment lines of at most 256
// bits, least significant segment first.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>

#include "convert.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace svfsplit {

namespace {

// A field's digits lie between its two parentheses.
struct Field {
  std::int64_t open = 0;
  std::int64_t close = 0;
};

struct Layout {
  Field tdi;
  std::optional<Field> tdo;
  std::optional<Field> mask;
  std::int64_t semicolon = 0;
};

// White space inside hex data is not data.
constexpr bool is_blank(unsigned char b) {
  return b == '\n' || b == '\r' || b == ' ' || b == '\t' || b == '\v' || b == '\f';
}

// What ends a field, or a command, in the forward searches.
constexpr ByteSet kFieldBytes(')', '(', ';');  // the nearest one, usually, first
constexpr ByteSet kTdoOrEnd('T', ';');
constexpr ByteSet kMaskOrEnd('M', ';');
constexpr ByteSet kCommandEnd(';');

// The field whose keyword's bytes start at `from`: the first `unexamined`
// of them are passed over, then the field runs to the first ')'. From
// `from` on, it must hold exactly one '(' and no ';' before that ')'.
std::optional<Field> find_field(Input& in, ScanMemo& memo, std::int64_t from, int unexamined) {
  std::optional<std::int64_t> open;
  in.seek(from);
  for (int i = 0; i < unexamined; ++i) {
    const int c = in.get();
    if (c == kEnd || c == ';' || (c == '(' && open))
      return std::nullopt;
    if (c == '(')
      open = from + i;
  }
  for (std::int64_t pos = from + unexamined;;) {
    const Hit hit = memo.next(kFieldBytes, pos);
    if (hit.byte == kEnd || hit.byte == ';')
      return std::nullopt;
    if (hit.byte == ')')
      return open ? std::optional<Field>(Field{*open, hit.offset}) : std::nullopt;
    if (open)
      return std::nullopt;  // a second '('
    open = hit.offset;
    pos = hit.offset + 1;
  }
}

// Finds the command's fields and its ';' from the input's position (just
// past the character that ended the length): the first parenthesised field
// is TDI, the first 'T' after it starts TDO, the first 'M' after that
// starts MASK; keyword names are never compared. No search runs past the
// command's ';'. Nothing when a field is not closed before the ';' or the
// command has no ';'.
std::optional<Layout> locate_fields(Input& in, ScanMemo& memo) {
  Layout layout;
  const auto tdi = find_field(in, memo, in.tell(), 4);
  if (!tdi)
    return std::nullopt;
  layout.tdi = *tdi;

  Hit hit = memo.next(kTdoOrEnd, tdi->close + 1);
  if (hit.byte == 'T') {
    layout.tdo = find_field(in, memo, hit.offset + 1, 3);
    if (!layout.tdo)
      return std::nullopt;
    hit = memo.next(kMaskOrEnd, layout.tdo->close + 1);
    if (hit.byte == 'M') {
      layout.mask = find_field(in, memo, hit.offset + 1, 4);
      if (!layout.mask)
        return std::nullopt;
      hit = memo.next(kCommandEnd, layout.mask->close + 1);
    }
  }
  if (hit.byte != ';')
    return std::nullopt;
  layout.semicolon = hit.offset;
  return layout;
}

// Gives one field's digits a segment at a time, from the last towards the
// first, blanks skipped; once the field is exhausted its remaining digits
// are '0', as SVF pads short hex data. A field that lies in the main window
// is freed of blanks up front (compact()); a longer one is read backwards
// through its own window, a segment at a time.
class FieldCursor {
 public:
  FieldCursor(Input& main, Input& reader, Field field)
      : main_(main), reader_(reader), begin_(field.open + 1), pos_(field.close) {}

  // When the main window holds the whole field, copies its digits to
  // `space` and advances `space` past them.
  void compact(char*& space);

  // Takes the next `m` digits (1 to 64); digits() then holds them in file
  // order.
  void take_digits(int m);

  std::string_view digits() const { return digits_; }

 private:
  std::span<const unsigned char> bytes_before_pos();
  void read_backwards(int m);

  Input& main_;
  Input& reader_;
  std::int64_t begin_;  // offset of the field's first byte
  std::int64_t pos_;    // one past the next byte to read
  const char* compacted_ = nullptr;  // the field's digits, when compacted
  std::size_t remaining_ = 0;        // digits of compacted_ not yet taken
  std::string_view digits_;
  // A segment's digits, at places 0 to 63, filled from the end.
  std::array<char, kSegmentDigits> store_{};
  char* slot(int place) { return store_.data() + place; }
};

// The field's bytes just before pos_, from the main window when it holds
// them (short commands), else from this field's own window.
std::span<const unsigned char> FieldCursor::bytes_before_pos() {
  auto bytes = main_.held_before(pos_);
  if (bytes.empty()) {
    reader_.seek(pos_);
    bytes = reader_.behind(begin_);
  }
  const auto in_field = static_cast<std::size_t>(pos_ - begin_);
  if (bytes.size() > in_field)
    bytes = bytes.last(in_field);
  return bytes;
}

// How many bytes just before `p` (at most `need`, none before `low`) are
// above ' ': surely digits, since every blank is at or below ' '.
inline int digits_before(const unsigned char* p, const unsigned char* low, int need) {
  int run = 0;
#if defined(__SSE2__)
  for (; run < need && p - run - low >= 16; run += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - run - 16));
    const __m128i low_bytes = _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(' ')), x);
    if (const auto mask = static_cast<unsigned>(_mm_movemask_epi8(low_bytes)))
      return std::min(run + __builtin_clz(mask) - 16, need);
  }
#endif
  while (run < need && p - run > low && p[-run - 1] > ' ')
    ++run;
  return std::min(run, need);
}

void FieldCursor::compact(char*& space) {
  const auto size = static_cast<std::size_t>(pos_ - begin_);
  const auto held = main_.held_before(pos_);
  if (held.size() < size)
    return;
  const unsigned char* p = held.data() + held.size() - size;
  const unsigned char* const end = held.data() + held.size();
  char* out = space;
  while (p != end) {
#if defined(__SSE2__)
    // Sixteen bytes at a time, stored whole: the bytes from the first one
    // at or below ' ' (the range of every blank) on are overwritten next.
    while (end - p >= 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i low_bytes = _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(' ')), x);
      const auto mask = static_cast<unsigned>(_mm_movemask_epi8(low_bytes));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), x);
      const int run = mask == 0 ? 16 : __builtin_ctz(mask);
      p += run;
      out += run;
      if (run < 16)
        break;
    }
    if (p == end)
      break;
#endif
    const unsigned char b = *p++;
    if (!is_blank(b))
      *out++ = static_cast<char>(b);
  }
  compacted_ = space;
  remaining_ = static_cast<std::size_t>(out - space);
  space = out;
}

void FieldCursor::take_digits(int m) {
  const auto count = static_cast<std::size_t>(m);
  if (compacted_ == nullptr) {
    read_backwards(m);
  } else if (remaining_ >= count) {
    remaining_ -= count;
    digits_ = {compacted_ + remaining_, count};
    return;
  } else {
    // The last digits of a short field, with its leading zeros.
    std::fill(slot(kSegmentDigits - m), slot(kSegmentDigits) - remaining_, '0');
    std::copy_n(compacted_, remaining_, slot(kSegmentDigits) - remaining_);
    remaining_ = 0;
  }
  digits_ = {slot(kSegmentDigits - m), count};
}

void FieldCursor::read_backwards(int m) {
  int filled = 0;
  while (filled < m && pos_ > begin_) {
    const auto bytes = bytes_before_pos();
    if (bytes.empty())
      break;
    const unsigned char* const low = bytes.data();
    const unsigned char* p = low + bytes.size();
    while (filled < m && p != low) {
      // A run of digits keeps its file order when stored from the end.
      if (const int run = digits_before(p, low, m - filled); run > 0) {
        p -= run;
        filled += run;
        std::memcpy(slot(kSegmentDigits - filled), p, static_cast<std::size_t>(run));
        continue;
      }
      const unsigned char b = *--p;
      if (!is_blank(b))
        *slot(kSegmentDigits - ++filled) = static_cast<char>(b);
    }
    pos_ -= low + bytes.size() - p;
  }
  std::fill(slot(kSegmentDigits - m), slot(kSegmentDigits - filled), '0');
}

// Writes one segment line; `last_bits` is 0 for all but the closing line.
void emit_segment(Output& out, std::uint32_t last_bits, const FieldCursor& tdi, const FieldCursor* tdo,
                  const FieldCursor* mask) {
  if (last_bits == 0) {
    out.write("SDRS 256 TDI (");
  } else {
    char number[16];
    const auto end = std::to_chars(number, number + sizeof number, last_bits).ptr;
    out.write("SDR ");
    out.write(number, static_cast<std::size_t>(end - number));
    out.write(" TDI (");
  }
  out.write(tdi.digits());
  if (tdo != nullptr) {
    out.write(") TDO (");
    out.write(tdo->digits());
  }
  if (mask != nullptr) {
    out.write(") MASK (");
    out.write(mask->digits());
  }
  out.write(") ;\n");
}

// Moves the input past the command's ';' and at most two line end or blank
// bytes after it, stopping after a line feed; returns the last byte consumed.
int resume_after(Input& in, std::int64_t semicolon) {
  in.seek(semicolon + 1);
  int last = ';';
  for (int i = 0; i < 2 && last != '\n'; ++i) {
    const int c = in.get();
    if (c != '\r' && c != '\n' && c != ' ' && c != '\t') {
      if (c != kEnd)
        in.step_back(1);
      break;
    }
    last = c;
  }
  return last;
}

}  // namespace

SplitState::SplitState(Input& in)
    : memo(in),
      readers{Input(in.source(), std::min(in.window_size(), kFieldWindow)),
              Input(in.source(), std::min(in.window_size(), kFieldWindow)),
              Input(in.source(), std::min(in.window_size(), kFieldWindow))},
      compacted(std::make_unique_for_overwrite<char[]>(in.window_size() + kCompactSlack)) {}

int split_long_sdr(Input& in, Output& out, std::uint32_t length, SplitState& state) {
  // Keep the command in the main window as far as it fits: its fields are
  // then compacted from there, and only longer ones are read backwards.
  in.anchor(in.tell());
  const auto layout = locate_fields(in, state.memo);
  in.anchor(-1);
  if (!layout)
    return kNotSplit;

  FieldCursor tdi(in, state.readers[0], layout->tdi);
  std::optional<FieldCursor> tdo;
  std::optional<FieldCursor> mask;
  if (layout->tdo)
    tdo.emplace(in, state.readers[1], *layout->tdo);
  if (layout->mask)
    mask.emplace(in, state.readers[2], *layout->mask);
  char* space = state.compacted.get();
  tdi.compact(space);
  if (tdo)
    tdo->compact(space);
  if (mask)
    mask->compact(space);

  const std::uint32_t segments = (length >> 8) + ((length & 0xFF) != 0 ? 1 : 0);
  for (std::uint32_t k = 0; k < segments; ++k) {
    if (stop_requested() || out.failed() || in.source().error() != 0)
      return kEnd;
    const bool last = k + 1 == segments;
    const std::uint32_t bits = last ? length - 256 * (segments - 1) : 256;
    const int m = static_cast<int>((bits + 3) / 4);
    tdi.take_digits(m);
    if (tdo)
      tdo->take_digits(m);
    if (mask)
      mask->take_digits(m);
    emit_segment(out, last ? bits : 0, tdi, tdo ? &*tdo : nullptr, mask ? &*mask : nullptr);
  }
  return resume_after(in, layout->semicolon);
}

}  // namespace svfsplit
