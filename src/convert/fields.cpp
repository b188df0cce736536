#include "convert/fields.hpp"

#include <algorithm>
#include <cstring>

#include "convert/kernels/byte_search.hpp"

namespace svfsplit {

namespace {

// Looking at the input through the search notes, for any command.
class NotedInput {
 public:
  NotedInput(Input& in, SearchNotes& notes) : in_(in), notes_(notes) {}

  int byte_at(std::int64_t offset) {
    in_.seek(offset);
    return in_.get();
  }
  Hit next(Search search, std::int64_t from) { return notes_.next(search, from); }
  GatheredHit next_gathering(std::int64_t from, char* digits, const char* limit) {
    return notes_.next_gathering(from, digits, limit);
  }

 private:
  Input& in_;
  SearchNotes& notes_;
};

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
  NotedInput bytes(in, notes);
  return locate(bytes, in.tell(), sink);
}

namespace {

// locate() for a command that lies whole in bytes held in memory: one
// forward pass, with pointers. Past their end it finds nothing, and says
// so.
class InMemory {
 public:
  InMemory(std::span<const unsigned char> bytes, std::int64_t start, DigitSink& sink, WindowScan& scan, LineShape& seen)
      : first_(bytes.data()), end_(first_ + bytes.size()), start_(start), sink_(sink), scan_(scan), seen_(seen) {}

  std::optional<Layout> locate() {
    Layout layout;
    const unsigned char* p = first_;
    if (!field(p, 4, layout.tdi))
      return std::nullopt;
    const unsigned char* hit = next(p, ByteSet('T', ';'));
    if (hit != nullptr && *hit == 'T') {
      p = hit + 1;
      if (!field(p, 3, layout.tdo.emplace()))
        return std::nullopt;
      hit = next(p, ByteSet('M', ';'));
      if (hit != nullptr && *hit == 'M') {
        p = hit + 1;
        if (!field(p, 4, layout.mask.emplace()))
          return std::nullopt;
        hit = next(p, ByteSet(';'));
      }
    }
    if (hit == nullptr)
      return std::nullopt;
    layout.semicolon = offset(hit);
    return layout;
  }

 private:
  std::int64_t offset(const unsigned char* at) const { return start_ + (at - first_); }

  bool ran_out() {
    scan_.ran_out = true;
    scan_.end = offset(end_);
    return false;
  }

  // Notes a byte found; false when there is none.
  bool seen(const unsigned char* hit) {
    if (hit == nullptr)
      return ran_out();
    scan_.end = std::max(scan_.end, offset(hit) + 1);
    return true;
  }

  // The first byte of `set` from p on; what is sought is usually a byte
  // or two away.
  const unsigned char* next(const unsigned char* p, const ByteSet& set) {
    for (const unsigned char* const near = p + std::min<std::ptrdiff_t>(end_ - p, 8); p != near; ++p) {
      ++scan_.examined;
      if (*p == set.bytes[0] || *p == set.bytes[1] || *p == set.bytes[2])
        return seen(p) ? p : nullptr;
    }
    const auto* hit = find_first_of(p, static_cast<std::size_t>(end_ - p), set, scan_.examined);
    return seen(hit) ? hit : nullptr;
  }

  // find_field() over the bytes from p, which it leaves after the ')'.
  bool field(const unsigned char*& p, int keyword_size, Field& field) {
    const unsigned char* open = nullptr;
    char* const first = sink_.next;
    char* kept = first;
    bool all_kept = true;
    int i = 0;
    // A keyword that holds neither '(' nor ';', the usual case, is passed
    // over whole.
    if (end_ - p >= 4 && !holds_open_or_semicolon(p, keyword_size)) {
      i = keyword_size;
      p += keyword_size;
    }
    for (; i < keyword_size; ++i, ++p) {
      if (p == end_)
        return ran_out();
      if (*p == ';' || (*p == '(' && open != nullptr))
        return false;
      if (*p == '(') {
        open = p;
      } else if (open != nullptr && !is_blank(*p)) {
        if (kept == sink_.limit)
          all_kept = false;
        else
          *kept++ = static_cast<char>(*p);
      }
    }
    for (;;) {
      const unsigned char* hit = nullptr;
      if (open != nullptr && all_kept) {
        bool overflowed = false;
        hit = gather_field_digits(p, static_cast<std::size_t>(end_ - p), scan_.examined, kept, sink_.limit, overflowed,
                                  seen_);
        all_kept = !overflowed;
        if (!seen(hit))
          return false;
      } else if ((hit = next(p, kFieldEndBytes)) == nullptr) {
        return false;
      }
      if (*hit == ';')
        return false;
      if (*hit == ')') {
        if (open == nullptr)
          return false;
        field.open = offset(open);
        field.close = offset(hit);
        if (all_kept) {
          field.digits = std::string_view(first, static_cast<std::size_t>(kept - first));
          sink_.next = kept;
        }
        p = hit + 1;
        return true;
      }
      if (open != nullptr)
        return false;  // a second '('
      open = hit;
      p = hit + 1;
    }
  }

  const unsigned char* first_;
  const unsigned char* end_;
  std::int64_t start_;
  DigitSink& sink_;
  WindowScan& scan_;
  LineShape& seen_;
};

}  // namespace

std::optional<Layout> locate_fields_in(std::span<const unsigned char> bytes, std::int64_t start, DigitSink& sink,
                                       WindowScan& scan, LineShape& seen) {
  return InMemory(bytes, start, sink, scan, seen).locate();
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

}  // namespace svfsplit
