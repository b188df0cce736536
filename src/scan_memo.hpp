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

// The first byte of `set` in [p, p + n), or nullptr; adds to `examined`
// the bytes it looked at.
const unsigned char* find_first_of(const unsigned char* p, std::size_t n, const ByteSet& set,
                                   std::uint64_t& examined);

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
  Hit next(const ByteSet& set, std::int64_t from);

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
  using Notes = std::array<Stretch, kStretches>;

  Notes& notes_for(const ByteSet& set);
  static void remember(Notes& notes, const Stretch& s);

  Input& in_;
  std::array<ByteSet, kSets> sets_{ByteSet(0), ByteSet(0), ByteSet(0), ByteSet(0)};
  std::array<Notes, kSets> notes_{};
  std::size_t used_ = 0;
  std::uint64_t searched_ = 0;
};

}  // namespace svfsplit
