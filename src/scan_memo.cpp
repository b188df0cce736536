#include "scan_memo.hpp"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace svfsplit {

const unsigned char* find_first_of(const unsigned char* p, std::size_t n, const ByteSet& set, std::uint64_t& examined) {
  const unsigned char* hit = nullptr;
  if (set.count == 1) {
    hit = static_cast<const unsigned char*>(std::memchr(p, set.bytes[0], n));
  } else {
    // One pass that compares each byte with every member of the set.
    const unsigned char* q = p;
    const unsigned char* const end = p + n;
#if defined(__SSE2__)
    const __m128i a = _mm_set1_epi8(static_cast<char>(set.bytes[0]));
    const __m128i b = _mm_set1_epi8(static_cast<char>(set.bytes[1]));
    const __m128i c = _mm_set1_epi8(static_cast<char>(set.bytes[2]));
    for (; end - q >= 16 && hit == nullptr; q += 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
      const __m128i eq = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, a), _mm_cmpeq_epi8(x, b)), _mm_cmpeq_epi8(x, c));
      if (const int mask = _mm_movemask_epi8(eq))
        hit = q + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    for (; q != end && hit == nullptr; ++q) {
      if (*q == set.bytes[0] || *q == set.bytes[1] || *q == set.bytes[2])
        hit = q;
    }
  }
  examined += hit == nullptr ? n : static_cast<std::size_t>(hit - p) + 1;
  return hit;
}

const unsigned char* gather_field_digits(const unsigned char* p, std::size_t n, std::uint64_t& examined,
                                         char*& out) {
  const auto ends_field = [](unsigned char x) { return x == ')' || x == '(' || x == ';'; };
  char* o = out;  // a local: stores through a char pointer could alias `out`
  const unsigned char* q = p;
  const unsigned char* const end = p + n;
  const unsigned char* hit = nullptr;
  while (q != end) {
#if defined(__SSE2__)
    // Sixteen bytes at a time, stored whole. A block stops at the first
    // byte at or below ')', which covers every blank, '(' and ')', or at a
    // ';'; the copy's tail from there on is overwritten next. The copy
    // never gets ahead of q, so it stays in [out, out + n).
    const __m128i paren = _mm_set1_epi8(')');
    const __m128i semicolon = _mm_set1_epi8(';');
    while (end - q >= 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
      const __m128i stop = _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(x, paren), x), _mm_cmpeq_epi8(x, semicolon));
      const auto mask = static_cast<unsigned>(_mm_movemask_epi8(stop));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), x);
      if (mask == 0) {
        q += 16;
        o += 16;
        continue;
      }
      const int run = __builtin_ctz(mask);
      q += run;
      o += run;
      break;
    }
    if (q == end)
      break;
#endif
    // A stop: the field's end, a digit after all, or a run of blanks (a
    // line end and the next line's indent, say) passed over in one go.
    if (ends_field(*q)) {
      hit = q;
      break;
    }
    if (!is_blank(*q)) {
      *o++ = static_cast<char>(*q++);
      continue;
    }
    while (++q != end && is_blank(*q)) {
    }
  }
  out = o;
  examined += hit == nullptr ? n : static_cast<std::size_t>(hit - p) + 1;
  return hit;
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

Hit ScanMemo::next(const ByteSet& set, std::int64_t from, DigitSink* sink) {
  Notes& notes = notes_for(set);
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
        if (sink != nullptr && pos != n.end)
          sink->whole = false;  // the bytes up to the hit are not read again
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
      const auto n = static_cast<std::size_t>(
          std::min<std::int64_t>(static_cast<std::int64_t>(window.size()), next_known - pos));
      const bool keep = sink != nullptr && sink->whole && set == kFieldBytes &&
                        n <= static_cast<std::size_t>(sink->limit - sink->next);
      if (sink != nullptr && !keep)
        sink->whole = false;
      const unsigned char* hit = keep ? gather_field_digits(window.data(), n, searched_, sink->next)
                                      : find_first_of(window.data(), n, set, searched_);
      if (hit != nullptr)
        return finish(pos + (hit - window.data()), *hit);
      pos += static_cast<std::int64_t>(n);
      in_.skip(n);
    }
  }
}

}  // namespace svfsplit
