// Finding a long command's fields, and reading their digits backwards a
// segment at a time.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "convert/search_notes.hpp"
#include "io/input.hpp"

namespace svfsplit {

// Hex digits carried per field by one segment line.
inline constexpr int kSegmentDigits = 64;

// Room for a command's digits, blanks left out, gathered while its fields
// are searched for their ')', so that a field need not be read again.
struct DigitSink {
  char* next = nullptr;   // where the next digit goes
  char* limit = nullptr;  // no digit goes here or beyond
};

// A field's digits lie between its two parentheses.
struct Field {
  std::int64_t open;
  std::int64_t close;
  // The digits, blanks left out, when they were all kept while the field
  // was searched for its ')'.
  std::optional<std::string_view> digits;
};

struct Layout {
  Field tdi;
  std::optional<Field> tdo;
  std::optional<Field> mask;
  std::int64_t semicolon;
};

// Finds the command's fields and its ';', into `layout`, from the input's
// position (just past the character that ended the length): the first
// parenthesised field is TDI, the first 'T' after it starts TDO, the
// first 'M' after that starts MASK; keyword names are never compared. No
// search runs past the command's ';'. False when a field is not closed
// before the ';' or the command has no ';'. Each field whose digits fit in
// what is left of `sink` has them kept there (Field::digits).
bool locate_fields(Input& in, SearchNotes& notes, DigitSink& sink, Layout& layout);

// What locate_fields_in() saw.
struct WindowScan {
  bool ran_out = false;  // the command goes on past the bytes given
  std::int64_t end = 0;  // one past the last byte looked at
};

// locate_fields() over `bytes`, the input from offset `start` on, in one
// forward pass and without notes: the same answer, unless the command goes
// on past them (scan.ran_out), when it is false.
bool locate_fields_in(std::span<const unsigned char> bytes, std::int64_t start, DigitSink& sink, WindowScan& scan,
                      Layout& layout);

// Gives one field's digits a segment at a time, from the last towards the
// first, blanks skipped; once the field is exhausted its remaining digits
// are '0', as SVF pads short hex data. Digits kept while the field was
// searched are taken from there; a field whose digits were not all kept
// is read backwards, through the main window while it holds the bytes,
// else through its own window, a segment at a time.
class FieldCursor {
 public:
  FieldCursor(Input& main, Input& reader, const Field& field)
      : main_(main), reader_(reader), begin_(field.open + 1), pos_(field.close) {
    if (field.digits) {
      kept_ = field.digits->data();
      kept_left_ = field.digits->size();
    }
  }

  // Takes the next `m` digits (1 to 64), and gives them in file order;
  // they stay there until the next take.
  std::string_view take_digits(int m) {
    const auto count = static_cast<std::size_t>(m);
    if (kept_ == nullptr || kept_left_ < count)
      return take_digits_slowly(m);
    kept_left_ -= count;
    return {kept_ + kept_left_, count};
  }

  // Where the next `count` digits end, in file order, when they were all
  // kept while the field was searched; nullptr otherwise. skip() takes
  // them.
  const char* kept_end(std::size_t count) const {
    return kept_ != nullptr && kept_left_ >= count ? kept_ + kept_left_ : nullptr;
  }
  void skip(std::size_t count) { kept_left_ -= count; }

 private:
  std::string_view take_digits_slowly(int m);
  std::span<const unsigned char> bytes_before_pos();
  void read_backwards(int m);
  char* slot(int place) { return store_.data() + place; }

  Input& main_;
  Input& reader_;
  std::int64_t begin_;          // offset of the field's first byte
  std::int64_t pos_;            // one past the next byte to read
  const char* kept_ = nullptr;  // the field's digits, when kept
  std::size_t kept_left_ = 0;   // digits of kept_ not yet taken
  // A segment's digits, at places 0 to 63, filled from the end.
  std::array<char, kSegmentDigits> store_;  // not cleared: only what is filled is read
};

}  // namespace svfsplit
