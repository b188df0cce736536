#include "convert/search_notes.hpp"

#include <algorithm>

namespace svfsplit {

void SearchNotes::remember(Notes& notes, const Stretch& s) {
  // Drop the notes that the new one covers, and put it in a free place or
  // in that of the note that ends earliest (searches move forwards).
  Stretch* slot = &notes.stretches[0];
  for (auto& n : notes.stretches) {
    if (n.end >= 0 && n.from >= s.from && n.end <= s.end)
      n.end = -1;
    if (n.end < slot->end)
      slot = &n;
  }
  *slot = s;
  notes.last_end = std::max(notes.last_end, s.end);
}

Hit SearchNotes::find(Search search, std::int64_t from, Gather* gather) {
  const auto index = static_cast<std::size_t>(search);
  Notes& notes = notes_[index];
  const ByteSet& set = kSearchBytes[index];
  const auto finish = [&](std::int64_t end, int found) {
    remember(notes, {from, end, found});
    return Hit{found == kEnd ? kNotFound : end, found};
  };

  std::int64_t pos = from;
  for (;;) {
    // Every note ends at a byte of the set or at the end of the input, so
    // a note that covers pos answers the search. Past the last note's end,
    // the usual case, no note reaches pos or starts after it.
    std::int64_t next_known = kNotFound;
    for (std::size_t i = 0; i < kStretches && pos <= notes.last_end; ++i) {
      const Stretch& n = notes.stretches[i];
      if (n.end < 0)
        continue;
      if (n.from <= pos && pos <= n.end) {
        if (gather != nullptr && pos != n.end)
          gather->all = false;  // the bytes up to the hit are not read again
        return finish(n.end, n.found);
      }
      if (n.from > pos)
        next_known = std::min(next_known, n.from);
    }

    // Search the input itself, up to the next stretch already covered.
    in_.seek(pos);
    while (pos < next_known) {
      const auto window = in_.ahead();
      if (window.empty())
        return finish(kNotFound, kEnd);
      const auto n =
          static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(window.size()), next_known - pos));
      bool overflowed = false;
      const unsigned char* const hit =
          gather != nullptr && gather->all
              ? kernels().gather_digits(window.data(), n, gather->next, gather->limit, overflowed)
              : kernels().find_first_of(window.data(), n, set);
      if (overflowed)
        gather->all = false;
      if (hit != nullptr)
        return finish(pos + (hit - window.data()), *hit);
      pos += static_cast<std::int64_t>(n);
      in_.skip(n);
    }
  }
}

}  // namespace svfsplit
