// The converter's forward searches over the input, which remember what
// they have seen.
#pragma once

#include <array>
#include <cstdint>
#include <limits>

#include "convert/kernels/kernels.hpp"
#include "io/input.hpp"

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

// The bytes each search looks for, by Search.
inline constexpr std::array<ByteSet, 4> kSearchBytes = {kStops, ByteSet("T;"), ByteSet("M;"), ByteSet(";")};

struct Hit {
  std::int64_t offset = kNotFound;
  int byte = kEnd;
};

// Finds the next byte of a search from an offset. Each search leaves a
// note of the stretch it covered ("none of ( ) ; from A up to B") and later
// ones of the same search reuse those notes. A series of commands that are
// examined and then copied through, each one's searches overlapping the
// next one's, thus reads every stretch of the input a bounded number of
// times, and the conversion stays linear in the size of the input.
class SearchNotes {
 public:
  explicit SearchNotes(Input& in) : in_(in) {}

  // The first byte of `search` at or after `from`. Moves the input's
  // position.
  Hit next(Search search, std::int64_t from) { return find(search, from, nullptr); }

  // next(Search::kFieldEnd, from) that also copies the bytes before the hit
  // that are not blanks (a field's digits) to `digits`, advancing it, as
  // far as they fit before `limit`; clears `all` unless every one was
  // copied (the room ran out, or notes answered for bytes not read).
  Hit next_gathering(std::int64_t from, char*& digits, const char* limit, bool& all) {
    Gather gather{digits, limit, all};
    return find(Search::kFieldEnd, from, &gather);
  }

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

  // Where a field-end search copies digits, and whether it copied them all.
  struct Gather {
    char*& next;
    const char* limit;
    bool& all;
  };

  static void remember(Notes& notes, const Stretch& s);
  Hit find(Search search, std::int64_t from, Gather* gather);

  Input& in_;
  std::array<Notes, 4> notes_{};  // by Search
};

}  // namespace svfsplit
