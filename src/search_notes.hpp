// The converter's forward searches over the input, which remember what
// they have seen.
#pragma once

#include <array>
#include <cstdint>
#include <limits>

#include "input.hpp"

namespace svfsplit {

// A search result's offset meaning "not found before the end of input".
inline constexpr std::int64_t kNotFound = std::numeric_limits<std::int64_t>::max();

// The searches that locate a long command's fields.
enum class Search {
  kFieldEnd,    // ')', or '(' or ';' out of place
  kTdoOrEnd,    // 'T' or ';'
  kMaskOrEnd,   // 'M' or ';'
  kCommandEnd,  // ';'
};

// Where a field-end search may keep the bytes it passes over, blanks left
// out: a field's digits, gathered while its ')' is looked for, so that the
// field need not be read again.
struct DigitSink {
  char* next = nullptr;   // where the next kept byte goes
  char* limit = nullptr;  // no kept byte goes here or beyond
  bool kept_all = true;   // false once a digit has been passed over unkept
};

struct Hit {
  std::int64_t offset = kNotFound;
  int byte = kEnd;
};

// Finds the next byte of a search from an offset. Each search leaves a
// note of the stretch it covered ("none of ( ) ; from A up to B") and later
// runs of the same search reuse those notes. A run of commands that are
// examined and then copied through, each one's searches overlapping the
// next one's, thus reads every stretch of the input a bounded number of
// times, and the conversion stays linear in the size of the input.
class SearchNotes {
 public:
  explicit SearchNotes(Input& in) : in_(in) {}

  // The first byte of `search` at or after `from`. Moves the input's
  // position. With a sink, a kFieldEnd search keeps the digits before the
  // hit in it as far as it has room and they are read at all (see
  // DigitSink::kept_all).
  Hit next(Search search, std::int64_t from, DigitSink* sink = nullptr);

  // Bytes of input examined by the searches so far.
  std::uint64_t bytes_searched() const { return bytes_searched_; }

 private:
  // No byte of the search in [from, end); the byte `found` stands at
  // `end`, or, when `end` is kNotFound, none up to the end of the input.
  struct Stretch {
    std::int64_t from = 0;
    std::int64_t end = -1;  // -1: an unused note
    int found = kEnd;
  };
  static constexpr std::size_t kStretches = 6;
  struct Notes {
    std::array<Stretch, kStretches> stretches{};
    // No note ends after this: a search from beyond it, the usual case,
    // need not look at them.
    std::int64_t last_end = -1;
  };

  static void remember(Notes& notes, const Stretch& s);

  Input& in_;
  std::array<Notes, 4> notes_{};  // by Search
  std::uint64_t bytes_searched_ = 0;
};

}  // namespace svfsplit
