// The segmenter: a long SDR command becomes segment lines of at most 256
// bits, least significant segment first.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>

#include "convert.hpp"

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

// True when none of the eight bytes is below '!', so none is a blank.
inline bool clear_of_blanks(const unsigned char* p) {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHigh = 0x8080808080808080;
  std::uint64_t x;
  std::memcpy(&x, p, sizeof x);
  return ((x - kOnes * '!') & ~x & kHigh) == 0;
}

// A field whose keyword's bytes start at `from`: the first `unexamined`
// of them are passed over, then the field runs to the first ')'. It must
// close before the command's ';' and hold exactly one '(' from `from` on.
std::optional<Field> find_field(ScanMemo& memo, std::int64_t from, int unexamined, std::int64_t semicolon) {
  const std::int64_t close = memo.next(')', from + unexamined, semicolon);
  if (close == kNotFound)
    return std::nullopt;
  const std::int64_t open = memo.next('(', from, close);
  if (open == kNotFound || memo.next('(', open + 1, close) != kNotFound)
    return std::nullopt;
  return Field{open, close};
}

// Finds the command's fields from the input's position (just past the
// character that ended the length): the first parenthesised field is TDI,
// the first 'T' after it starts TDO, the first 'M' after that starts MASK;
// keyword names are never compared. Nothing when the command has no ';'
// or a field is not closed before it.
std::optional<Layout> locate_fields(Input& in, ScanMemo& memo) {
  const std::int64_t entry = in.tell();
  const std::int64_t semicolon = memo.next(';', entry);
  if (semicolon == kNotFound)
    return std::nullopt;

  Layout layout;
  layout.semicolon = semicolon;
  const auto tdi = find_field(memo, entry, 4, semicolon);
  if (!tdi)
    return std::nullopt;
  layout.tdi = *tdi;

  const std::int64_t t = memo.next('T', tdi->close + 1, semicolon);
  if (t == kNotFound)
    return layout;
  layout.tdo = find_field(memo, t + 1, 3, semicolon);
  if (!layout.tdo)
    return std::nullopt;

  const std::int64_t m = memo.next('M', layout.tdo->close + 1, semicolon);
  if (m == kNotFound)
    return layout;
  layout.mask = find_field(memo, m + 1, 4, semicolon);
  if (!layout.mask)
    return std::nullopt;
  return layout;
}

// Reads one field backwards, from its last digit towards its '(', a
// segment at a time. Blanks are skipped; once the field is exhausted its
// remaining digits are '0', as SVF pads short hex data.
class FieldCursor {
 public:
  FieldCursor(Input& main, Input& reader, Field field)
      : main_(main), reader_(reader), begin_(field.open + 1), pos_(field.close) {}

  // Takes the next `m` digits (1 to 64); afterwards digits(m) holds them in
  // file order.
  void take_digits(int m);

  std::string_view digits(int m) const {
    return {store_.data() + kSegmentDigits - m, static_cast<std::size_t>(m)};
  }

 private:
  std::span<const unsigned char> bytes_before_pos();

  Input& main_;
  Input& reader_;
  std::int64_t begin_;  // offset of the field's first byte
  std::int64_t pos_;    // one past the next byte to read
  std::array<char, kSegmentDigits> store_{};
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

void FieldCursor::take_digits(int m) {
  int filled = 0;
  while (filled < m && pos_ > begin_) {
    const auto bytes = bytes_before_pos();
    if (bytes.empty())
      break;
    const unsigned char* const low = bytes.data();
    const unsigned char* p = low + bytes.size();
    while (filled < m && p != low) {
      // Runs of eight digits keep their file order when stored from the end.
      if (m - filled >= 8 && p - low >= 8 && clear_of_blanks(p - 8)) {
        p -= 8;
        filled += 8;
        std::memcpy(store_.data() + kSegmentDigits - filled, p, 8);
        continue;
      }
      const unsigned char b = *--p;
      if (!is_blank(b))
        store_[static_cast<std::size_t>(kSegmentDigits - ++filled)] = static_cast<char>(b);
    }
    pos_ -= low + bytes.size() - p;
  }
  std::fill(store_.begin() + (kSegmentDigits - m), store_.begin() + (kSegmentDigits - filled), '0');
}

// Writes one segment line; `last_bits` is 0 for all but the closing line.
void emit_segment(Output& out, std::uint32_t last_bits, int m, const FieldCursor& tdi, const FieldCursor* tdo,
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
  out.write(tdi.digits(m));
  if (tdo != nullptr) {
    out.write(") TDO (");
    out.write(tdo->digits(m));
  }
  if (mask != nullptr) {
    out.write(") MASK (");
    out.write(mask->digits(m));
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
              Input(in.source(), std::min(in.window_size(), kFieldWindow))} {}

int split_long_sdr(Input& in, Output& out, std::uint32_t length, SplitState& state) {
  const auto layout = locate_fields(in, state.memo);
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
    emit_segment(out, last ? bits : 0, m, tdi, tdo ? &*tdo : nullptr, mask ? &*mask : nullptr);
  }
  return resume_after(in, layout->semicolon);
}

}  // namespace svfsplit
