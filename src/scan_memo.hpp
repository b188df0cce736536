// Forward searches over the input that remember what they have seen.
#pragma once

#include <array>
#include <cstdint>
#include <limits>

#include "input.hpp"

namespace svfsplit {

// A search result's offset meaning "not found before the end of input".
inline constexpr std::int64_t kNotFound = std::numeric_limits<std::int64_t>::max();

// One to three bytes searched for together.
struct ByteSet {
  std::array<unsigned char, 3> bytes{};
  int count = 0;

  constexpr ByteSet(unsigned char a) : bytes{a, a, a}, count(1) {}
  constexpr ByteSet(unsigned char a, unsigned char b) : bytes{a, b, b}, count(2) {}
  constexpr ByteSet(unsigned char a, unsigned char b, unsigned char c) : bytes{a, b, c}, count(3) {}
  constexpr bool operator==(const ByteSet&) const = default;
};

// White space inside hex data is not data.
constexpr bool is_blank(unsigned char b) {
  return b == '\n' || b == '\r' || b == ' ' || b == '\t' || b == '\v' || b == '\f';
}

// The first byte of `set` in [p, p + n), or nullptr; adds to `examined`
// the bytes it looked at.
const unsigned char* find_first_of(const unsigned char* p, std::size_t n, const ByteSet& set,
                                   std::uint64_t& examined);

// What ends a field's digits: its ')', or a '(' or ';' out of place.
inline constexpr ByteSet kFieldBytes(')', '(', ';');

// Where a search for kFieldBytes may keep the bytes it passes over, blanks
// left out: a field's digits, gathered while its ')' is looked for, so
// that the field need not be read again.
struct DigitSink {
  char* next = nullptr;   // where the next kept byte goes
  char* limit = nullptr;  // no kept byte goes here or beyond
  bool whole = true;      // false once a byte has been passed over unkept
};

// find_first_of(p, n, kFieldBytes, examined) that also copies the bytes
// before the hit that are not blanks to `out`, advancing it; [out, out + n)
// must be writable.
const unsigned char* gather_field_digits(const unsigned char* p, std::size_t n, std::uint64_t& examined,
                                         char*& out);

struct Hit {
  std::int64_t offset = kNotFound;
  int byte = kEnd;
};

// Finds the next byte of a set from an offset. Each search leaves a note
// of the stretch it covered ("none of ( ) ; from A up to B") and later
// searches for the same set reuse those notes. A run of commands that are
// examined and then copied through, each one's searches overlapping the
// next one's, thus reads every stretch of the input a bounded number of
// times, and the conversion stays linear in the size of the input.
class ScanMemo {
 public:
  explicit ScanMemo(Input& in) : in_(in) {}

  // The first byte of `set` at or after `from`. Moves the input's position.
  // With a sink, a search for kFieldBytes keeps the bytes before the hit
  // in it as far as it has room and they are read at all (sink->whole
  // tells); other searches keep none.
  Hit next(const ByteSet& set, std::int64_t from, DigitSink* sink = nullptr);

  // Bytes of input examined by the searches so far (see find_first_of).
  std::uint64_t searched() const { return searched_; }

 private:
  // No byte of the set in [from, end); the byte `found` stands at `end`,
  // or, when `end` is kNotFound, none up to the end of the input.
  struct Stretch {
    std::int64_t from = 0;
    std::int64_t end = -1;  // -1: an unused note
    int found = kEnd;
  };
  static constexpr std::size_t kSets = 4;
  static constexpr std::size_t kStretches = 6;
  struct Notes {
    std::array<Stretch, kStretches> stretches{};
    // No note ends after this: a search from beyond it, the usual case,
    // need not look at them.
    std::int64_t last_end = -1;
  };

  Notes& notes_for(const ByteSet& set);
  static void remember(Notes& notes, const Stretch& s);

  Input& in_;
  std::array<ByteSet, kSets> sets_{ByteSet(0), ByteSet(0), ByteSet(0), ByteSet(0)};
  std::array<Notes, kSets> notes_{};
  std::size_t used_ = 0;
  std::uint64_t searched_ = 0;
};

}  // namespace svfsplit
