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
  // The digits, blanks left out, when they were kept while the field was
  // searched for its ')'.
  std::optional<std::string_view> kept;
};

struct Layout {
  Field tdi;
  std::optional<Field> tdo;
  std::optional<Field> mask;
  std::int64_t semicolon = 0;
};

// What the searches after a field stop at: the next field's keyword, or
// the command's end.
constexpr ByteSet kTdoOrEnd('T', ';');
constexpr ByteSet kMaskOrEnd('M', ';');
constexpr ByteSet kCommandEnd(';');

// The field whose keyword's bytes start at `from`: the first `unexamined`
// of them are passed over, then the field runs to the first ')'. From
// `from` on, it must hold exactly one '(' and no ';' before that ')'. Its
// digits are kept in `sink` as far as it has room.
std::optional<Field> find_field(Input& in, ScanMemo& memo, std::int64_t from, int unexamined, DigitSink& sink) {
  std::optional<std::int64_t> open;
  char* const first = sink.next;
  sink.whole = true;
  in.seek(from);
  for (int i = 0; i < unexamined; ++i) {
    const int c = in.get();
    if (c == kEnd || c == ';' || (c == '(' && open))
      return std::nullopt;
    if (c == '(') {
      open = from + i;
    } else if (open && !is_blank(static_cast<unsigned char>(c))) {
      if (sink.next == sink.limit)
        sink.whole = false;
      else
        *sink.next++ = static_cast<char>(c);
    }
  }
  for (std::int64_t pos = from + unexamined;;) {
    const Hit hit = memo.next(kFieldBytes, pos, open ? &sink : nullptr);
    if (hit.byte == kEnd || hit.byte == ';')
      return std::nullopt;
    if (hit.byte == ')') {
      if (!open)
        return std::nullopt;
      Field field{*open, hit.offset, std::nullopt};
      if (sink.whole)
        field.kept = std::string_view(first, static_cast<std::size_t>(sink.next - first));
      else
        sink.next = first;  // room for the next field
      return field;
    }
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
std::optional<Layout> locate_fields(Input& in, ScanMemo& memo, DigitSink& sink) {
  Layout layout;
  const auto tdi = find_field(in, memo, in.tell(), 4, sink);
  if (!tdi)
    return std::nullopt;
  layout.tdi = *tdi;

  Hit hit = memo.next(kTdoOrEnd, tdi->close + 1);
  if (hit.byte == 'T') {
    layout.tdo = find_field(in, memo, hit.offset + 1, 3, sink);
    if (!layout.tdo)
      return std::nullopt;
    hit = memo.next(kMaskOrEnd, layout.tdo->close + 1);
    if (hit.byte == 'M') {
      layout.mask = find_field(in, memo, hit.offset + 1, 4, sink);
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
// are '0', as SVF pads short hex data. The digits kept while the field was
// searched are taken from there; a field too long to be kept is read
// backwards, through the main window while it holds the bytes, else
// through its own window, a segment at a time.
class FieldCursor {
 public:
  FieldCursor(Input& main, Input& reader, const Field& field)
      : main_(main), reader_(reader), begin_(field.open + 1), pos_(field.close) {
    if (field.kept) {
      kept_ = field.kept->data();
      remaining_ = field.kept->size();
    }
  }

  // Takes the next `m` digits (1 to 64); digits() then holds them in file
  // order.
  void take_digits(int m) {
    const auto count = static_cast<std::size_t>(m);
    if (kept_ != nullptr && remaining_ >= count) {
      remaining_ -= count;
      digits_ = {kept_ + remaining_, count};
      return;
    }
    take_digits_slowly(m);
  }

  std::string_view digits() const { return digits_; }

 private:
  void take_digits_slowly(int m);
  std::span<const unsigned char> bytes_before_pos();
  void read_backwards(int m);

  Input& main_;
  Input& reader_;
  std::int64_t begin_;  // offset of the field's first byte
  std::int64_t pos_;    // one past the next byte to read
  const char* kept_ = nullptr;  // the field's digits, when kept
  std::size_t remaining_ = 0;   // digits of kept_ not yet taken
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

void FieldCursor::take_digits_slowly(int m) {
  if (kept_ == nullptr) {
    read_backwards(m);
  } else {
    // The last digits of a short field, with its leading zeros.
    std::fill(slot(kSegmentDigits - m), slot(kSegmentDigits) - remaining_, '0');
    std::copy_n(kept_, remaining_, slot(kSegmentDigits) - remaining_);
    remaining_ = 0;
  }
  digits_ = {slot(kSegmentDigits - m), static_cast<std::size_t>(m)};
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

// The pieces of a segment line. A full segment's head is the longest one
// ("SDR 256 TDI (" for the last is shorter or as long).
constexpr std::string_view kFullHead = "SDRS 256 TDI (";
constexpr std::string_view kLastHead = "SDR ";
constexpr std::string_view kTdi = " TDI (";
constexpr std::string_view kTdo = ") TDO (";
constexpr std::string_view kMask = ") MASK (";
constexpr std::string_view kTail = ") ;\n";
constexpr std::size_t kLongestLine = kFullHead.size() + 3 * kSegmentDigits + kTdo.size() + kMask.size() + kTail.size();
static_assert(kLastHead.size() + 3 + kTdi.size() <= kFullHead.size());

// Copies `text` to `p` and returns the end of the copy; a full segment's
// digits are copied with a size the compiler knows.
inline char* put(char* p, std::string_view text) {
  if (text.size() == kSegmentDigits)
    std::memcpy(p, text.data(), kSegmentDigits);
  else
    std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

// Writes one segment line; `last_bits` is 0 for all but the closing line.
// The line is built in the output's buffer when it has the room.
void emit_segment(Output& out, std::uint32_t last_bits, const FieldCursor& tdi, const FieldCursor* tdo,
                  const FieldCursor* mask) {
  std::array<char, kLongestLine> spare;
  char* const line = out.room(kLongestLine);
  char* const start = line != nullptr ? line : spare.data();
  char* p = start;
  if (last_bits == 0) {
    p = put(p, kFullHead);
  } else {
    p = put(p, kLastHead);
    p = std::to_chars(p, p + 3, last_bits).ptr;
    p = put(p, kTdi);
  }
  p = put(p, tdi.digits());
  if (tdo != nullptr) {
    p = put(p, kTdo);
    p = put(p, tdo->digits());
  }
  if (mask != nullptr) {
    p = put(p, kMask);
    p = put(p, mask->digits());
  }
  p = put(p, kTail);
  const auto size = static_cast<std::size_t>(p - start);
  if (line != nullptr)
    out.added(size);
  else
    out.write(spare.data(), size);
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
      kept_room(in.window_size()),
      kept(std::make_unique_for_overwrite<char[]>(kept_room)) {}

int split_long_sdr(Input& in, Output& out, std::uint32_t length, SplitState& state) {
  // Keep the command in the main window as far as it fits, so that a field
  // too long to be kept is read backwards from there when it can be.
  in.anchor(in.tell());
  DigitSink sink{state.kept.get(), state.kept.get() + state.kept_room};
  const auto layout = locate_fields(in, state.memo, sink);
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
