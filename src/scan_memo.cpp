#include "scan_memo.hpp"

#include <algorithm>
#include <cstring>


namespace svfsplit {

const unsigned char* find_first_of(const unsigned char* p, std::size_t n, const ByteSet& set, std::uint64_t& examined) {
  if (set.count == 1) {
    const auto* hit = static_cast<const unsigned char*>(std::memchr(p, set.bytes[0], n));
    examined += hit == nullptr ? n : static_cast<std::size_t>(hit - p) + 1;
    return hit;
  }
  // One memchr per byte, each over what is left before the best hit so far
  // (the library's memchr beats any single loop over the set), in blocks
  // that start small and double, so that the work stays within twice the
  // distance to the first hit.
  std::size_t block = 64;
  for (std::size_t done = 0; done < n; done += block, block = std::min<std::size_t>(block * 2, 64 * 1024)) {
    const unsigned char* const start = p + done;
    const unsigned char* best = nullptr;
    for (int i = 0; i < set.count; ++i) {
      const std::size_t span = best == nullptr ? std::min(block, n - done) : static_cast<std::size_t>(best - start);
      examined += span;
      if (const void* hit = std::memchr(start, set.bytes[static_cast<std::size_t>(i)], span))
        best = static_cast<const unsigned char*>(hit);
    }
    if (best != nullptr)
      return best;
  }
  return nullptr;
}

ScanMemo::Notes& ScanMemo::notes_for(const ByteSet& set) {
  for (std::size_t i = 0; i < used_; ++i) {
    if (sets_[i] == set)
      return notes_[i];
  }
  const std::size_t slot = used_ < kSets ? used_++ : 0;  // more sets than the converter uses: start afresh
  sets_[slot] = set;
  notes_[slot] = Notes{};
  return notes_[slot];
}

void ScanMemo::remember(Notes& notes, const Stretch& s) {
  // Drop the notes that the new one covers, then take a free place or the
  // one that ends earliest (searches move forwards through the input).
  Stretch* slot = nullptr;
  for (auto& n : notes) {
    if (n.end >= 0 && n.from >= s.from && n.end <= s.end)
      n.end = -1;
    if (n.end < 0 && slot == nullptr)
      slot = &n;
  }
  if (slot == nullptr) {
    slot = &*std::min_element(notes.begin(), notes.end(),
                              [](const Stretch& a, const Stretch& b) { return a.end < b.end; });
  }
  *slot = s;
}

Hit ScanMemo::next(const ByteSet& set, std::int64_t from) {
  Notes& notes = notes_for(set);
  const auto finish = [&](std::int64_t end, int found) {
    remember(notes, {from, end, found});
    return Hit{found == kEnd ? kNotFound : end, found};
  };

  std::int64_t pos = from;
  for (;;) {
    // Every note ends at a byte of the set or at the end of the input, so
    // a note that covers pos answers the search.
    std::int64_t next_known = kNotFound;
    for (const auto& n : notes) {
      if (n.end < 0)
        continue;
      if (n.from <= pos && pos <= n.end)
        return finish(n.end, n.found);
      if (n.from > pos)
        next_known = std::min(next_known, n.from);
    }

    // Search the input itself, up to the next stretch already covered.
    in_.seek(pos);
    while (pos < next_known) {
      const auto window = in_.ahead();
      if (window.empty())
        return finish(kNotFound, kEnd);
      const auto n = static_cast<std::size_t>(
          std::min<std::int64_t>(static_cast<std::int64_t>(window.size()), next_known - pos));
      if (const unsigned char* hit = find_first_of(window.data(), n, set, searched_))
        return finish(pos + (hit - window.data()), *hit);
      pos += static_cast<std::int64_t>(n);
      in_.skip(n);
    }
  }
}

}  // namespace svfsplit
