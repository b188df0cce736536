#include "convert/fields.hpp"

#include <algorithm>
#include <cstring>

#include "convert/kernels/kernels.hpp"

namespace svfsplit {

namespace {

// The field whose keyword starts at `from` and is `keyword_size` bytes
// long (the keyword's name is never compared); the field runs from there
// to the first ')'. From `from` on, it must hold exactly one '(' and no ';'
// before that ')', the keyword's bytes included, since "TDI(" may stand
// where "TDI " is expected. Its digits are kept in `sink`, and given with
// the field, when they all fit; else the sink's room is left for the next.
template <class Bytes>
std::optional<Field> find_field(Bytes& bytes, std::int64_t from, int keyword_size, DigitSink& sink) {
  std::optional<std::int64_t> open;
  char* const first = sink.next;
  char* kept = first;
  bool all_kept = true;
  for (int i = 0; i < keyword_size; ++i) {
    const int c = bytes.byte_at(from + i);
    if (c == kEnd || c == ';' || (c == '(' && open))
      return std::nullopt;
    if (c == '(') {
      open = from + i;
    } else if (open && !is_blank(static_cast<unsigned char>(c))) {
      if (kept == sink.limit)
        all_kept = false;
      else
        *kept++ = static_cast<char>(c);
    }
  }
  for (std::int64_t pos = from + keyword_size;;) {
    Hit hit;
    if (open && all_kept) {
      const GatheredHit gathered = bytes.next_gathering(pos, kept, sink.limit);
      hit = gathered.hit;
      kept = gathered.digits_end;
      all_kept = gathered.all_digits;
    } else {
      hit = bytes.next(Search::kFieldEnd, pos);
    }
    if (hit.byte == kEnd || hit.byte == ';')
      return std::nullopt;
    if (hit.byte == ')') {
      if (!open)
        return std::nullopt;
      Field field{*open, hit.offset, std::nullopt};
      if (all_kept) {
        field.digits = std::string_view(first, static_cast<std::size_t>(kept - first));
        sink.next = kept;
      }
      return field;
    }
    if (open)
      return std::nullopt;  // a second '('
    open = hit.offset;
    pos = hit.offset + 1;
  }
}

template <class Bytes>
std::optional<Layout> locate(Bytes& bytes, std::int64_t from, DigitSink& sink) {
  Layout layout;
  const auto tdi = find_field(bytes, from, 4, sink);
  if (!tdi)
    return std::nullopt;
  layout.tdi = *tdi;

  Hit hit = bytes.next(Search::kTdoOrEnd, tdi->close + 1);
  if (hit.byte == 'T') {
    layout.tdo = find_field(bytes, hit.offset + 1, 3, sink);
    if (!layout.tdo)
      return std::nullopt;
    hit = bytes.next(Search::kMaskOrEnd, layout.tdo->close + 1);
    if (hit.byte == 'M') {
      layout.mask = find_field(bytes, hit.offset + 1, 4, sink);
      if (!layout.mask)
        return std::nullopt;
      hit = bytes.next(Search::kCommandEnd, layout.mask->close + 1);
    }
  }
  if (hit.byte != ';')
    return std::nullopt;
  layout.semicolon = hit.offset;
  return layout;
}

}  // namespace

std::optional<Layout> locate_fields(Input& in, SearchNotes& notes, DigitSink& sink) {
  return locate(notes, in.tell(), sink);
}

namespace {

// The bytes of a command held in memory, from offset `start` on. Past
// their end it finds nothing, and says so.
class HeldBytes {
 public:
  HeldBytes(std::span<const unsigned char> bytes, std::int64_t start, WindowScan& scan)
      : bytes_(bytes), start_(start), scan_(scan) {}

  int byte_at(std::int64_t offset) {
    const auto i = static_cast<std::size_t>(offset - start_);
    if (i >= bytes_.size())
      return ran_out();
    return bytes_[i];
  }
  Hit next(Search search, std::int64_t from) {
    const auto [p, n] = from_on(from);
    return seen(p, n, find_first_of(p, n, kSearchBytes[static_cast<std::size_t>(search)]));
  }
  GatheredHit next_gathering(std::int64_t from, char* digits, const char* limit) {
    const auto [p, n] = from_on(from);
    bool overflowed = false;
    const Hit hit = seen(p, n, gather_digits(p, n, digits, limit, overflowed));
    return {hit, digits, !overflowed};
  }

 private:
  std::pair<const unsigned char*, std::size_t> from_on(std::int64_t from) const {
    const auto i = std::min(static_cast<std::size_t>(from - start_), bytes_.size());
    return {bytes_.data() + i, bytes_.size() - i};
  }
  int ran_out() {
    scan_.ran_out = true;
    scan_.end = start_ + static_cast<std::int64_t>(bytes_.size());
    return kEnd;
  }
  // A search over the n bytes from p that found `hit`, or nothing.
  Hit seen(const unsigned char* p, std::size_t n, const unsigned char* hit) {
    scan_.examined += hit == nullptr ? n : static_cast<std::size_t>(hit - p) + 1;
    if (hit == nullptr)
      return {kNotFound, ran_out()};
    const std::int64_t offset = start_ + (hit - bytes_.data());
    scan_.end = std::max(scan_.end, offset + 1);
    return {offset, *hit};
  }

  std::span<const unsigned char> bytes_;
  std::int64_t start_;
  WindowScan& scan_;
};

}  // namespace

std::optional<Layout> locate_fields_in(std::span<const unsigned char> bytes, std::int64_t start, DigitSink& sink,
                                       WindowScan& scan) {
  HeldBytes held(bytes, start, scan);
  return locate(held, start, sink);
}

FieldCursor::FieldCursor(Input& main, Input& reader, const Field& field)
    : main_(main), reader_(reader), begin_(field.open + 1), pos_(field.close) {
  if (field.digits) {
    kept_ = field.digits->data();
    kept_left_ = field.digits->size();
  }
}

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

void FieldCursor::take_digits_slowly(int m) {
  if (kept_ == nullptr) {
    read_backwards(m);
  } else {
    // The last digits of a short field, with its leading zeros.
    std::fill(slot(kSegmentDigits - m), slot(kSegmentDigits) - kept_left_, '0');
    std::copy_n(kept_, kept_left_, slot(kSegmentDigits) - kept_left_);
    kept_left_ = 0;
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
      const unsigned char b = *--p;
      if (!is_blank(b))
        *slot(kSegmentDigits - ++filled) = static_cast<char>(b);
    }
    pos_ -= low + bytes.size() - p;
  }
  std::fill(slot(kSegmentDigits - m), slot(kSegmentDigits - filled), '0');
}

}  // namespace svfsplit
