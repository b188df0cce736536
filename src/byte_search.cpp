#include "byte_search.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace svfsplit {

namespace {

// The index of the lowest set bit of a 16-lane mask.
int first_lane(int mask) {
  return std::countr_zero(static_cast<unsigned>(mask));
}

}  // namespace

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
        hit = q + first_lane(mask);
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

const unsigned char* gather_field_digits(const unsigned char* p, std::size_t n, std::uint64_t& examined, char*& out,
                                         const char* limit, bool& overflowed) {
  const auto ends_field = [](unsigned char x) { return x == ')' || x == '(' || x == ';'; };
  char* o = out;  // a local: stores through a char pointer could alias `out`
  const unsigned char* q = p;
  const unsigned char* const end = p + n;
  const unsigned char* hit = nullptr;
  while (q != end) {
#if defined(__SSE2__)
    // Sixteen bytes at a time, stored whole while there is room for them.
    // A block stops at the first byte at or below ')', which covers every
    // blank, '(' and ')', or at a ';'; the copy's tail from there on is
    // overwritten next.
    const __m128i paren = _mm_set1_epi8(')');
    const __m128i semicolon = _mm_set1_epi8(';');
    const auto blocks = static_cast<std::size_t>(std::min(end - q, limit - o)) / 16;
    for (const unsigned char* const last = q + blocks * 16; q != last; q += 16, o += 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
      const __m128i stop = _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(x, paren), x), _mm_cmpeq_epi8(x, semicolon));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), x);
      if (const int mask = _mm_movemask_epi8(stop)) {
        const int run = first_lane(mask);
        q += run;
        o += run;
        break;
      }
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
      if (o == limit) {
        // No more room: the rest is only searched.
        overflowed = true;
        out = o;
        examined += static_cast<std::size_t>(q - p);
        return find_first_of(q, static_cast<std::size_t>(end - q), kFieldEndBytes, examined);
      }
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

int digits_before(const unsigned char* p, const unsigned char* low, int need) {
  int run = 0;
#if defined(__SSE2__)
  for (; run < need && p - run - low >= 16; run += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - run - 16));
    const __m128i low_bytes = _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(' ')), x);
    // The highest lane at or below ' ' ends the run of digits before p.
    if (const auto mask = static_cast<std::uint16_t>(_mm_movemask_epi8(low_bytes)))
      return std::min(run + std::countl_zero(mask), need);
  }
#endif
  while (run < need && p - run > low && p[-run - 1] > ' ') ++run;
  return std::min(run, need);
}

}  // namespace svfsplit
