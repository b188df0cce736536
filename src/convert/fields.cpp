#include "convert/fields.hpp"

#include <algorithm>

#include "convert/kernels/kernels.hpp"

namespace svfsplit {

namespace {

// Finds the field whose keyword starts at `from` and is `keyword_size`
// bytes long; the field runs from its '(' to the first ')' after the
// keyword. The keyword's bytes are not examined but for a '(' or a ';'
// (its name is never compared, and "TDI(" may stand where "TDI " is
// expected): a ')' among them is passed over, or kept as a digit once the
// field is open. From `from` on, the field must hold exactly one '(' and no
// ';'. Its digits are kept in `sink`, and given with the field, when they
// all fit; else the sink's room is left for the next. False when there is
// no such field.
// Inlined into each search of a command's three fields: the program's own
// instructions per byte of the benchmark's input B fall from 1.63 to 1.58.
template <class Bytes>
[[gnu::always_inline]] inline bool find_field(Bytes& bytes, std::int64_t from, int keyword_size, DigitSink& sink,
                                              Field& field) {
  std::int64_t open = -1;  // none yet
  char* kept = sink.next;
  bool all_kept = true;
  for (std::int64_t pos = from;;) {
    const Hit hit = open >= 0 && all_kept ? bytes.next_gathering(pos, kept, sink.limit, all_kept)
                                          : bytes.next(Search::kFieldEnd, pos);
    if (hit.byte == kEnd || hit.byte == ';')
      return false;
    pos = hit.offset + 1;
    if (hit.byte == ')' && hit.offset < from + keyword_size) {
      if (open >= 0 && all_kept) {  // a digit
        all_kept = kept != sink.limit;
        if (all_kept)
          *kept++ = ')';
      }
      continue;
    }
    if (hit.byte == ')') {
      if (open < 0)
        return false;
      field = {open, hit.offset, std::nullopt};
      if (all_kept) {
        field.digits = std::string_view(sink.next, static_cast<std::size_t>(kept - sink.next));
        sink.next = kept;
      }
      return true;
    }
    if (open >= 0)
      return false;  // a second '('
    open = hit.offset;
  }
}

template <class Bytes>
bool locate(Bytes& bytes, std::int64_t from, DigitSink& sink, Layout& layout) {
  layout.tdo = layout.mask = std::nullopt;  // what an earlier search found
  if (!find_field(bytes, from, 4, sink, layout.tdi))
    return false;
  Hit hit = bytes.next(Search::kTdoOrEnd, layout.tdi.close + 1);
  if (hit.byte == 'T') {
    if (!find_field(bytes, hit.offset + 1, 3, sink, layout.tdo.emplace()))
      return false;
    hit = bytes.next(Search::kMaskOrEnd, layout.tdo->close + 1);
    if (hit.byte == 'M') {
      if (!find_field(bytes, hit.offset + 1, 4, sink, layout.mask.emplace()))
        return false;
      hit = bytes.next(Search::kCommandEnd, layout.mask->close + 1);
    }
  }
  if (hit.byte != ';')
    return false;
  layout.semicolon = hit.offset;
  return true;
}

}  // namespace

bool locate_fields(Input& in, SearchNotes& notes, DigitSink& sink, Layout& layout) {
  return locate(notes, in.tell(), sink, layout);
}

namespace {

// The bytes of a command held in memory, from offset `start` on, looked
// at in one forward pass. Past their end it finds nothing, and says so.
class HeldBytes {
 public:
  HeldBytes(std::span<const unsigned char> bytes, std::int64_t start)
      : first_(bytes.data()), end_(first_ + bytes.size()), start_(start) {}

  Hit next(Search search, std::int64_t from) {
    const ByteSet& set = kSearchBytes[static_cast<std::size_t>(search)];
    const unsigned char* p = at(from);
    // What is sought is usually a byte or two away: the next 8 bytes are
    // looked at one by one, in a loop that the compiler unrolls: B's own
    // instructions per byte fall from 1.53 to 1.49.
    if (end_ - p > 8) {
      for (int i = 0; i < 8; ++i) {
        if (set.holds(p[i]))
          return seen(p + i);
      }
      p += 8;
    }
    return seen(kernels().find_first_of(p, static_cast<std::size_t>(end_ - p), set));
  }
  Hit next_gathering(std::int64_t from, char*& digits, const char* limit, bool& all) {
    const unsigned char* const p = at(from);
    bool overflowed = false;
    const Hit hit = seen(kernels().gather_digits(p, static_cast<std::size_t>(end_ - p), digits, limit, overflowed));
    all = !overflowed;
    return hit;
  }

  // What the pass saw.
  WindowScan scan() const { return {ran_out_, seen_until_}; }

 private:
  // Every search and every byte looked at is at most one past the last
  // byte found, at most the end.
  const unsigned char* at(std::int64_t offset) const { return first_ + (offset - start_); }
  // The byte a search found, or nothing.
  Hit seen(const unsigned char* hit) {
    if (hit == nullptr) {
      ran_out_ = true;
      seen_until_ = start_ + (end_ - first_);
      return {kNotFound, kEnd};
    }
    const std::int64_t offset = start_ + (hit - first_);
    seen_until_ = offset + 1;  // each search starts past the hits before
    return {offset, *hit};
  }

  const unsigned char* first_;
  const unsigned char* end_;
  std::int64_t start_;
  std::int64_t seen_until_ = 0;  // one past the last byte looked at
  bool ran_out_ = false;
};

}  // namespace

bool locate_fields_in(std::span<const unsigned char> bytes, std::int64_t start, DigitSink& sink, WindowScan& scan,
                      Layout& layout) {
  HeldBytes held(bytes, start);
  const bool found = locate(held, start, sink, layout);
  scan = held.scan();
  return found;
}

// The field's bytes just before pos_, from the main window when it holds
// them (short commands), else from this field's own window.
std::span<const unsigned char> FieldCursor::bytes_before_pos() {
  auto bytes = main_.held_before(pos_);
  if (bytes.empty()) {
    reader_.seek(pos_);
    bytes = reader_.behind(begin_);
  }
  // In 64 bits: a field may be longer than a 32-bit size_t holds.
  return bytes.last(static_cast<std::size_t>(std::min(static_cast<std::int64_t>(bytes.size()), pos_ - begin_)));
}

std::string_view FieldCursor::take_digits_slowly(int m) {
  if (kept_ == nullptr) {
    read_backwards(m);
  } else {
    // The last digits of a short field, with its leading zeros.
    std::fill(slot(kSegmentDigits - m), slot(kSegmentDigits) - kept_left_, '0');
    std::copy_n(kept_, kept_left_, slot(kSegmentDigits) - kept_left_);
    kept_left_ = 0;
  }
  return {slot(kSegmentDigits - m), static_cast<std::size_t>(m)};
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
      // Digits keep their file order when stored from the end.
      const unsigned char b = *--p;
      if (!is_blank(b))
        *slot(kSegmentDigits - ++filled) = static_cast<char>(b);
    }
    pos_ -= low + bytes.size() - p;
  }
  std::fill(slot(kSegmentDigits - m), slot(kSegmentDigits - filled), '0');
}

}  // namespace svfsplit
