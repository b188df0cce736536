#include "scan_memo.hpp"

#include <algorithm>
#include <cstring>

namespace svfsplit {

ScanMemo::Notes& ScanMemo::notes_for(unsigned char byte) {
  for (int i = 0; i < used_; ++i) {
    if (bytes_[i] == byte)
      return notes_[i];
  }
  if (used_ == static_cast<int>(bytes_.size()))
    used_ = 0;  // not reached by the converter's five bytes; start afresh
  bytes_[used_] = byte;
  notes_[used_] = Notes{};
  return notes_[used_++];
}

void ScanMemo::remember(Notes& notes, Stretch s) {
  // Drop the notes that the new one covers, then take a free place or the
  // one that ends earliest (searches move forwards through the input).
  Stretch* slot = nullptr;
  for (auto& n : notes) {
    const bool covered = n.end >= 0 && n.from >= s.from && n.end <= s.end && (!n.found || s.found || n.end < s.end);
    if (n.end < 0 || covered) {
      n.end = -1;
      if (slot == nullptr)
        slot = &n;
    }
  }
  if (slot == nullptr)
    slot = &*std::min_element(notes.begin(), notes.end(), [](const Stretch& a, const Stretch& b) { return a.end < b.end; });
  *slot = s;
}

std::int64_t ScanMemo::next(unsigned char byte, std::int64_t from, std::int64_t limit) {
  if (from >= limit)
    return kNotFound;
  Notes& notes = notes_for(byte);
  std::int64_t pos = from;
  const auto finish = [&](std::int64_t end, bool found) {
    remember(notes, {from, end, found});
    return found && end < limit ? end : kNotFound;
  };

  for (;;) {
    // Jump over a stretch that an earlier search has covered.
    std::int64_t next_known = kNotFound;
    bool jumped = false;
    for (const auto& n : notes) {
      if (n.end < 0)
        continue;
      if (n.from <= pos && (pos < n.end || (n.found && pos == n.end))) {
        if (n.found || n.end == kNotFound)
          return finish(n.end, n.found);
        pos = n.end;
        jumped = true;
        break;
      }
      if (n.from > pos)
        next_known = std::min(next_known, n.from);
    }
    if (pos >= limit)
      return finish(pos, false);
    if (jumped)
      continue;

    // Search the input itself up to the next known stretch or the limit.
    const std::int64_t stop = std::min(limit, next_known);
    in_.seek(pos);
    while (pos < stop) {
      const auto window = in_.ahead();
      if (window.empty())
        return finish(kNotFound, false);
      const auto n = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(window.size()), stop - pos));
      if (const void* hit = std::memchr(window.data(), byte, n))
        return finish(pos + (static_cast<const unsigned char*>(hit) - window.data()), true);
      pos += static_cast<std::int64_t>(n);
      in_.skip(n);
    }
    if (pos >= limit)
      return finish(pos, false);
  }
}

}  // namespace svfsplit
