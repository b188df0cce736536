// Forward byte searches over the input that remember what they have seen.
#pragma once

#include <array>
#include <cstdint>
#include <limits>

#include "input.hpp"

namespace svfsplit {

// A search result meaning "not found before the limit or the end".
inline constexpr std::int64_t kNotFound = std::numeric_limits<std::int64_t>::max();

// Finds the next occurrence of one of a few bytes from an offset. Each
// search leaves a note of the stretch it covered ("no ')' from A up to B")
// and later searches reuse those notes, so that a run of commands that are
// examined and then copied through (each one's searches overlapping the
// next one's) reads every stretch of the input once per searched byte,
// keeping the conversion linear in the size of the input.
class ScanMemo {
 public:
  explicit ScanMemo(Input& in) : in_(in) {}

  // The offset of the first `byte` in [from, limit), or kNotFound. Moves
  // the input's position.
  std::int64_t next(unsigned char byte, std::int64_t from, std::int64_t limit = kNotFound);

 private:
  // No searched byte in [from, end); when `found`, the byte stands at
  // `end`; an `end` of kNotFound means no such byte up to the end of input.
  struct Stretch {
    std::int64_t from = 0;
    std::int64_t end = -1;
    bool found = false;
  };
  static constexpr int kStretches = 6;
  using Notes = std::array<Stretch, kStretches>;

  Notes& notes_for(unsigned char byte);
  static void remember(Notes& notes, Stretch s);

  Input& in_;
  std::array<unsigned char, 5> bytes_{};
  std::array<Notes, 5> notes_{};
  int used_ = 0;
};

}  // namespace svfsplit
