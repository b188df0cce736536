#include "convert/kernels/byte_search.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__SSE2__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define SVFSPLIT_AVX2 1
#endif

namespace svfsplit {

namespace {

constexpr bool ends_field(unsigned char b) {
  return b == ')' || b == '(' || b == ';';
}

// What may stop a run of digits: every byte at or below ')', which covers
// the blanks, '(' and ')', and ';'. The vector loops stop at these and
// leave the byte to the plain step below.
constexpr bool may_stop(unsigned char b) {
  return b <= ')' || b == ';';
}

// The text scan, a byte at a time after each line feed.
const unsigned char* find_line_plain(const unsigned char* p, const unsigned char* end) {
  while (p != end) {
    const auto* lf = static_cast<const unsigned char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (lf == nullptr)
      return nullptr;
    p = lf + 1;
    if (end - p < 3 || (p[0] == 'S' && p[1] == 'D' && p[2] == 'R'))
      return p;
  }
  return nullptr;
}

// The candidates of a vector scan: bit i of `mask` set where a line feed at
// p + i is followed by 'S'. Returns the first that "DR" follows.
inline const unsigned char* first_sdr(const unsigned char* p, std::uint64_t mask) {
  for (; mask != 0; mask &= mask - 1) {
    const unsigned char* lf = p + std::countr_zero(mask);
    if (lf[2] == 'D' && lf[3] == 'R')
      return lf + 1;
  }
  return nullptr;
}

// The digits gathering, for every version: `run` copies bytes that are
// surely digits from q to o and stops at one that may not be, or where the
// input or the room ends; the byte there is taken here.
template <class Run>
const unsigned char* gather(const unsigned char* p, std::size_t n, std::uint64_t& examined, char*& out,
                            const char* limit, bool& overflowed, const Run& run) {
  char* o = out;  // a local: stores through a char pointer could alias `out`
  const unsigned char* q = p;
  const unsigned char* const end = p + n;
  const unsigned char* hit = nullptr;
  while (q != end) {
    run(q, end, o, limit);
    if (q == end)
      break;
    // The field's end, a digit after all, or a run of blanks (a line end
    // and the next line's indent, say) passed over in one go.
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

// How many bytes first_of_either() looks at: a vector's, or a word's.
#if defined(__SSE2__)
constexpr std::ptrdiff_t kLook = 16;
#else
constexpr std::ptrdiff_t kLook = 8;
#endif

// The index of the first of the kLook bytes at `p` that is `a` or `b`, or
// kLook. Without vectors, a byte that is equal is one that is zero after
// the bytes are xored with it; the test is exact for every byte, so that
// either end may come first.
inline int first_of_either(const unsigned char* p, unsigned char a, unsigned char b) {
#if defined(__SSE2__)
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(a))),
                                    _mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(b))));
  return std::countr_zero(static_cast<unsigned>(_mm_movemask_epi8(hits)) | 1u << kLook);
#else
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  constexpr std::uint64_t kEach = 0x0101010101010101ull;
  std::uint64_t x = 0;
  std::memcpy(&x, p, 8);
  const auto zero_bytes = [](std::uint64_t v) { return ~(((v & kLow7) + kLow7) | v | kLow7); };
  const std::uint64_t hits = zero_bytes(x ^ (a * kEach)) | zero_bytes(x ^ (b * kEach));
  if (hits == 0)
    return 8;
  return (std::endian::native == std::endian::little ? std::countr_zero(hits) : std::countl_zero(hits)) / 8;
#endif
}

// gather_usual_fields() for every version, `gather` taking each field.
template <class Gather>
inline __attribute__((always_inline)) bool gather_usual_with(const unsigned char* p, const unsigned char* end,
                                                             std::span<const FieldShape> shapes, char* out,
                                                             const char* limit, LineShape& seen, UsualFields& found,
                                                             const Gather& gather) {
  std::uint64_t examined = 0;
  int count = 0;
  for (const auto& [keyword, next] : shapes) {
    // The keyword's bytes hold no '(' or ';', and its '(' follows them.
    if (end - p >= kLook ? first_of_either(p, '(', ';') != keyword || p[keyword] != '('
                         : end - p < 5 || holds_open_or_semicolon(p, keyword) || p[keyword] != '(')
      return false;
    p += keyword + 1;
    ++examined;  // the '(', as a search finds it
    bool overflowed = false;
    const unsigned char* const close =
        gather(p, static_cast<std::size_t>(end - p), examined, out, limit, overflowed, seen);
    if (close == nullptr || overflowed || *close != ')')
      return false;
    found.ends[static_cast<std::size_t>(count++)] = out;
    p = close + 1;
    if (end - p >= kLook) {
      const int at = first_of_either(p, next, ';');
      if (at >= 8)
        return false;
      p += at;
    } else {
      const unsigned char* const near = p + std::min<std::ptrdiff_t>(end - p, 8);
      while (p != near && *p != next && *p != ';') ++p;
      if (p == near)
        return false;
    }
    examined += static_cast<std::uint64_t>(p - close);
    if (*p == ';') {
      found.count = count;
      found.semicolon = p;
      found.examined = examined;
      return true;
    }
    ++p;
  }
  return false;
}

void run_plain(const unsigned char*& q, const unsigned char* end, char*& o, const char* limit) {
  while (q != end && o != limit && !may_stop(*q)) *o++ = static_cast<char>(*q++);
}

const unsigned char* gather_plain(const unsigned char* p, std::size_t n, std::uint64_t& examined, char*& out,
                                  const char* limit, bool& overflowed, LineShape&) {
  return gather(p, n, examined, out, limit, overflowed, run_plain);
}

bool gather_usual_plain(const unsigned char* p, const unsigned char* end, std::span<const FieldShape> shapes, char* out,
                        const char* limit, LineShape& seen, UsualFields& found) {
  return gather_usual_with(p, end, shapes, out, limit, seen, found, gather_plain);
}

#if defined(__SSE2__)

// The index of the lowest set bit of a 16-lane mask.
int first_lane(int mask) {
  return std::countr_zero(static_cast<unsigned>(mask));
}

// The bytes of `x` that may stop a run of digits, as a vector mask.
inline __m128i stops(__m128i x) {
  const __m128i paren = _mm_set1_epi8(')');
  const __m128i semicolon = _mm_set1_epi8(';');
  return _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(x, paren), x), _mm_cmpeq_epi8(x, semicolon));
}

const unsigned char* find_line_sse2(const unsigned char* p, const unsigned char* end) {
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i s = _mm_set1_epi8('S');
  // Each block of 32 looks at 3 bytes past itself.
  for (; end - p >= 35; p += 32) {
    const auto pair = [&](const unsigned char* at) {
      const __m128i a = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), lf);
      const __m128i b = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 1)), s);
      return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_and_si128(a, b)));
    };
    const std::uint64_t mask = pair(p) | pair(p + 16) << 16;
    if (mask != 0) {
      if (const auto* line = first_sdr(p, mask))
        return line;
    }
  }
  return find_line_plain(p, end);
}

// Sixteen bytes at a time, stored whole while there is room for them; the
// copy's tail from the stop on is written over next.
void run_sse2(const unsigned char*& q, const unsigned char* end, char*& o, const char* limit) {
  const auto blocks = static_cast<std::size_t>(std::min(end - q, limit - o)) / 16;
  for (const unsigned char* const last = q + blocks * 16; q != last; q += 16, o += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), x);
    if (const int mask = _mm_movemask_epi8(stops(x))) {
      const int run = first_lane(mask);
      q += run;
      o += run;
      return;
    }
  }
  run_plain(q, end, o, limit);
}

const unsigned char* gather_sse2(const unsigned char* p, std::size_t n, std::uint64_t& examined, char*& out,
                                 const char* limit, bool& overflowed, LineShape&) {
  return gather(p, n, examined, out, limit, overflowed, run_sse2);
}

bool gather_usual_sse2(const unsigned char* p, const unsigned char* end, std::span<const FieldShape> shapes, char* out,
                       const char* limit, LineShape& seen, UsualFields& found) {
  return gather_usual_with(p, end, shapes, out, limit, seen, found, gather_sse2);
}

#endif

#if defined(SVFSPLIT_AVX2)

#define SVFSPLIT_USES_AVX2 __attribute__((target("avx2")))

SVFSPLIT_USES_AVX2 inline __m256i load32(const unsigned char* at) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

SVFSPLIT_USES_AVX2 inline void store32(char* at, __m256i x) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), x);
}

SVFSPLIT_USES_AVX2 inline std::uint64_t mask64(__m256i low, __m256i high) {
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(low)) |
         std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32;
}

// Where a line feed at `p` + i is followed by 'S', for i in [0, 32).
SVFSPLIT_USES_AVX2 inline __m256i lf_s32(const unsigned char* p) {
  return _mm256_and_si256(_mm256_cmpeq_epi8(load32(p), _mm256_set1_epi8('\n')),
                          _mm256_cmpeq_epi8(load32(p + 1), _mm256_set1_epi8('S')));
}

SVFSPLIT_USES_AVX2 const unsigned char* find_line_avx2(const unsigned char* p, const unsigned char* end) {
  // Each block looks at 3 bytes past itself. The first 64 bytes are looked
  // at closer at once, since the text between commands is often shorter;
  // then blocks of 128 go by with one test, and the 64 bytes with a
  // candidate are looked at closer.
  for (;;) {
    if (end - p < 67)
      return find_line_sse2(p, end);
    const __m256i low = lf_s32(p);
    const __m256i high = lf_s32(p + 32);
    const __m256i any = _mm256_or_si256(low, high);
    if (!_mm256_testz_si256(any, any)) {
      if (const auto* line = first_sdr(p, mask64(low, high)))
        return line;
    }
    p += 64;
    if (end - p < 131)
      continue;
    for (auto blocks = static_cast<std::size_t>(end - p - 3) / 128; blocks != 0; --blocks, p += 128) {
      const __m256i block =
          _mm256_or_si256(_mm256_or_si256(lf_s32(p), lf_s32(p + 32)), _mm256_or_si256(lf_s32(p + 64), lf_s32(p + 96)));
      if (!_mm256_testz_si256(block, block))
        break;
    }
  }
}

// Which bytes are blanks.
constexpr auto kBlank = [] {
  std::array<bool, 256> blank{};
  for (int b = 0; b < 256; ++b) blank[static_cast<std::size_t>(b)] = is_blank(static_cast<unsigned char>(b));
  return blank;
}();

// The bytes of `x` that may stop a run of digits, as a vector mask.
// Signed: bytes from 0x80 on count as stops too, and take the plain step.
SVFSPLIT_USES_AVX2 inline __m256i stops32(__m256i x) {
  return _mm256_or_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(')' + 1), x), _mm256_cmpeq_epi8(x, _mm256_set1_epi8(';')));
}

// The blanks of `x`, as a vector mask: ' ', and '\t' to '\r'.
SVFSPLIT_USES_AVX2 inline __m256i blanks32(__m256i x) {
  const __m256i from_tab = _mm256_sub_epi8(x, _mm256_set1_epi8('\t'));
  const __m256i tab_to_cr = _mm256_cmpeq_epi8(_mm256_min_epu8(from_tab, _mm256_set1_epi8('\r' - '\t')), from_tab);
  return _mm256_or_si256(tab_to_cr, _mm256_cmpeq_epi8(x, _mm256_set1_epi8(' ')));
}

// The stops seen in the bytes of many blocks, gathered to be tested once:
// their signed minimum, and where a ';' was.
struct StopMarks {
  __m256i least;
  __m256i semicolons;
};

SVFSPLIT_USES_AVX2 inline StopMarks no_stops() {
  return {_mm256_set1_epi8(0x7F), _mm256_setzero_si256()};
}

// The stops of the 64 bytes `low` and `high`.
SVFSPLIT_USES_AVX2 inline StopMarks stops_of(__m256i low, __m256i high) {
  const __m256i semicolon = _mm256_set1_epi8(';');
  return {_mm256_min_epi8(low, high),
          _mm256_or_si256(_mm256_cmpeq_epi8(low, semicolon), _mm256_cmpeq_epi8(high, semicolon))};
}

// Whether any byte marked may stop a run of digits: the signed minimum
// holds every byte at or below ')', and those from 0x80 on.
SVFSPLIT_USES_AVX2 inline bool any_marked(const StopMarks& marks) {
  const __m256i any = _mm256_or_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(')' + 1), marks.least), marks.semicolons);
  return !_mm256_testz_si256(any, any);
}

// Whether any of the 64 bytes `low` and `high` may stop a run of digits.
SVFSPLIT_USES_AVX2 inline bool any_stop(__m256i low, __m256i high) {
  return any_marked(stops_of(low, high));
}

// Copies the 64 bytes at `from` to `to`, marking their stops in `marks`.
SVFSPLIT_USES_AVX2 inline void copy_marking(const unsigned char* from, char* to, StopMarks& marks) {
  const __m256i low = load32(from);
  const __m256i high = load32(from + 32);
  store32(to, low);
  store32(to + 32, high);
  const StopMarks these = stops_of(low, high);
  marks.least = _mm256_min_epi8(marks.least, these.least);
  marks.semicolons = _mm256_or_si256(marks.semicolons, these.semicolons);
}

// Where a copy has got to in the input and in the room.
struct Positions {
  const unsigned char* q;
  char* o;
};

// Stores the 64 bytes at q to o; true when none of them (kAll), or none
// that `digits` marks, may stop a run of digits.
template <bool kAll>
SVFSPLIT_USES_AVX2 inline bool copy_block(const unsigned char* q, char* o, std::uint64_t digits) {
  const __m256i low = load32(q);
  const __m256i high = load32(q + 32);
  store32(o, low);
  store32(o + 32, high);
  if constexpr (kAll) {
    return !any_stop(low, high);
  } else {
    return (mask64(stops32(low), stops32(high)) & digits) == 0;
  }
}

// The blanks after a line of `s`, as compared with s.blanks.
inline std::uint64_t blanks_after(const unsigned char* line, const LineShape& s) {
  std::uint64_t next = 0;
  std::memcpy(&next, line + s.width, 8);
  return next & s.compared;
}

// Lines whose width is whole blocks, copied while their blanks keep to
// the shape, the stops in them only marked, to be tested once after the
// last: `clean` when none of the lines held a stop.
template <int kBlocks>
SVFSPLIT_USES_AVX2 inline Positions copy_whole_lines(const unsigned char* from, char* to, std::size_t lines,
                                                     LineShape s, bool& clean) {
  const std::size_t size = kBlocks > 0 ? kBlocks * 64 : s.width;
  StopMarks marks = no_stops();
  for (; lines != 0; --lines) {
    if (blanks_after(from, s) != s.blanks)
      break;
    for (std::size_t at = 0; at < size; at += 64) copy_marking(from + at, to + at, marks);
    from += s.stride;
    to += s.width;
  }
  clean = !any_marked(marks);
  return {from, to};
}

// Copies up to `lines` lines of `shape`, each taking kBlocks blocks of 64
// (kBlocks 0: as many as the width needs), the last one whole or not;
// stops at the start of the first line that keeps not to the shape.
// Lines of whole blocks are first copied with their stops looked at once
// for them all; only when one of them held a stop are they gone over again
// a line at a time, to stop at that line.
template <int kBlocks, bool kWhole>
SVFSPLIT_USES_AVX2 Positions copy_lines_of(const unsigned char* from, char* to, std::size_t lines, LineShape s) {
  if constexpr (kWhole) {
    bool clean = false;
    if (const Positions at = copy_whole_lines<kBlocks>(from, to, lines, s, clean); clean)
      return at;
  }
  const std::size_t blocks = kBlocks > 0 ? kBlocks : (s.width + 63) / 64;
  const std::uint64_t last = (std::uint64_t{1} << s.width % 64) - 1;  // the last block's digits
  for (; lines != 0; --lines) {
    bool kept = true;
    for (std::size_t at = 0; kept && at + 64 < blocks * 64; at += 64) kept = copy_block<true>(from + at, to + at, 0);
    const std::size_t at = blocks * 64 - 64;
    if (!kept || !copy_block<kWhole>(from + at, to + at, last))
      break;
    if (blanks_after(from, s) != s.blanks)
      break;
    from += s.stride;
    to += s.width;
  }
  return {from, to};
}

// The digits of a field usually come in lines of one width, each ended by
// the same few blanks (a line end and an indent). Once a run of blanks
// has shown the width and the blanks, whole lines are copied while they
// keep to them: the width checked for stops a block at a time, the blanks
// compared in one load. Stops at the start of a line that does not, for
// the block loop to take; no load or store reaches 64 bytes past the
// lines copied and the line after them.
SVFSPLIT_USES_AVX2 inline __attribute__((always_inline)) Positions copy_lines(const unsigned char* q,
                                                                              const unsigned char* end, char* o,
                                                                              const char* limit,
                                                                              const LineShape& shape) {
  const std::size_t width = shape.width;
  // As many lines as the input and the room surely take, in one division:
  // a line takes no more room than input.
  const auto lines = static_cast<std::size_t>(std::min<std::ptrdiff_t>(end - q, limit - o) - 64) / shape.stride;
  const bool whole = width % 64 == 0;
  if (width <= 64)
    return whole ? copy_lines_of<1, true>(q, o, lines, shape) : copy_lines_of<1, false>(q, o, lines, shape);
  if (width <= 128)
    return whole ? copy_lines_of<2, true>(q, o, lines, shape) : copy_lines_of<2, false>(q, o, lines, shape);
  return whole ? copy_lines_of<0, true>(q, o, lines, shape) : copy_lines_of<0, false>(q, o, lines, shape);
}

// Sixty-four bytes at a time, stored whole; a block whose only stops are
// one run of blanks is stored again from the run's end, over the run, so
// that the lines of a field, each ended by a line end and an indent, go by
// without stopping; the lines after such a run go by whole while they keep
// to its width and blanks.
SVFSPLIT_USES_AVX2 void run_avx2(const unsigned char*& q_at, const unsigned char* end, char*& o_at, const char* limit,
                                 LineShape& seen) {
  if (end - q_at < 128 || limit - o_at < 128) {
    run_sse2(q_at, end, o_at, limit);
    return;
  }
  // Locals: stores through a char pointer could alias what the references
  // name, which would then be loaded again at every block.
  const unsigned char* q = q_at;
  char* o = o_at;
  // The lines of a field are most often of the shape of the field before.
  if (seen.width > 0) {
    const Positions at = copy_lines(q, end, o, limit, seen);
    q = at.q;
    o = at.o;
  }
  // Each block may read and write up to 128 bytes from where it starts.
  const unsigned char* const last_q = end - 128;
  const char* const last_o = limit - 128;
  const unsigned char* line = q;  // where the run of digits before q began
  while (q <= last_q && o <= last_o) {
    const __m256i low = load32(q);
    const __m256i high = load32(q + 32);
    store32(o, low);
    store32(o + 32, high);
    if (!any_stop(low, high)) {
      q += 64;
      o += 64;
      continue;
    }
    const __m256i low_stops = stops32(low);
    const __m256i high_stops = stops32(high);
    const std::uint64_t mask = mask64(low_stops, high_stops);
    const int first = std::countr_zero(mask);
    if (!kBlank[q[first]]) {
      q_at = q + first;  // a stop that is no blank
      o_at = o + first;
      return;
    }
    int after = first;
    if (const std::uint64_t rest = mask >> first; (rest | 2) == 3) {
      // The usual: one or two stops in a row (a line end and an indent),
      // then none to the block's end.
      after += 1 + static_cast<int>(rest >> 1);
      if (after == 64 || !kBlank[q[after - 1]])
        after = first;
    }
    if (after == first) {
      const std::uint64_t blanks = mask64(blanks32(low), blanks32(high));
      after = first + std::countr_one(blanks >> first);
      if (after == 64 || (mask >> after) != 0) {
        q += after;  // more to look at in this block, or blanks that go on
        o += first;
        line = q;
        continue;
      }
    }
    if (const auto width = static_cast<std::size_t>(q + first - line); width > 0 && after - first <= 8) {
      const auto blank_count = static_cast<std::size_t>(after - first);
      seen = {width, width + blank_count, 0,
              blank_count == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << 8 * blank_count) - 1};
      std::memcpy(&seen.blanks, q + first, blank_count);
      const Positions at = copy_lines(q + after, end, o + first, limit, seen);
      q = at.q;
      o = at.o;
      line = q;
      continue;
    }
    store32(o + first, load32(q + after));
    store32(o + first + 32, load32(q + after + 32));
    o += first + 64 - after;
    q += 64;
    line = q - 64 + after;
  }
  q_at = q;
  o_at = o;
  run_sse2(q_at, end, o_at, limit);
}

// Most fields are lines of the shape of the field before, and end with a
// ')' in the 64 bytes after them: such a field is taken with none of the
// block loop's set-up. Anything else goes on where the lines ended.
SVFSPLIT_USES_AVX2 const unsigned char* gather_avx2(const unsigned char* p, std::size_t n, std::uint64_t& examined,
                                                    char*& out, const char* limit, bool& overflowed, LineShape& seen) {
  if (seen.width > 0 && n >= 128 && limit - out >= 128) {
    // The lines copied leave 64 bytes of input and of room after them.
    const Positions at = copy_lines(p, p + n, out, limit, seen);
    const __m256i low = load32(at.q);
    const __m256i high = load32(at.q + 32);
    store32(at.o, low);
    store32(at.o + 32, high);
    const std::uint64_t stop = mask64(stops32(low), stops32(high));
    const int first = std::countr_zero(stop);
    if (stop != 0 && at.q[first] == ')') {
      out = at.o + first;
      examined += static_cast<std::size_t>(at.q + first - p) + 1;
      return at.q + first;
    }
    examined += static_cast<std::size_t>(at.q - p);
    n -= static_cast<std::size_t>(at.q - p);
    p = at.q;
    out = at.o;
  }
  return gather(p, n, examined, out, limit, overflowed,
                [&seen](const unsigned char*& q, const unsigned char* end, char*& o, const char* lim) {
                  run_avx2(q, end, o, lim, seen);
                });
}

// Flattened: the gathering is compiled into it, so that a command's fields
// cost one call and one set-up, not one for each (B: 1.50 to 1.44 of the
// program's own instructions per byte).
SVFSPLIT_USES_AVX2 __attribute__((flatten)) bool gather_usual_avx2(const unsigned char* p, const unsigned char* end,
                                                                   std::span<const FieldShape> shapes, char* out,
                                                                   const char* limit, LineShape& seen,
                                                                   UsualFields& found) {
  return gather_usual_with(p, end, shapes, out, limit, seen, found, gather_avx2);
}

#endif

void copy_plain(char* to, const char* from, std::size_t n) {
  std::memcpy(to, from, n);
}
#if defined(__SSE2__)
// Copies with `stream`, which stores kWidth bytes at an aligned place past
// the caches: eight at a time, then one at a time; the bytes before the
// first and after the last go as usual.
template <std::size_t kWidth, class Stream>
inline __attribute__((always_inline)) void copy_streaming_with(char* to, const char* from, std::size_t n,
                                                               const Stream& stream) {
  const std::size_t head = std::min(n, (kWidth - reinterpret_cast<std::uintptr_t>(to) % kWidth) % kWidth);
  std::memcpy(to, from, head);
  const char* q = from + head;
  const char* const end = from + n;
  char* o = to + head;
  for (; end - q >= 8 * std::ptrdiff_t{kWidth}; q += 8 * kWidth, o += 8 * kWidth) {
    for (std::size_t k = 0; k < 8; ++k) stream(o + k * kWidth, q + k * kWidth);
  }
  for (; end - q >= std::ptrdiff_t{kWidth}; q += kWidth, o += kWidth) stream(o, q);
  std::memcpy(o, q, static_cast<std::size_t>(end - q));
  _mm_sfence();
}
void copy_streaming_sse2(char* to, const char* from, std::size_t n) {
  copy_streaming_with<16>(to, from, n, [](char* o, const char* q) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(o), _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)));
  });
}
#endif
#if defined(SVFSPLIT_AVX2)
SVFSPLIT_USES_AVX2 void copy_streaming_avx2(char* to, const char* from, std::size_t n) {
  copy_streaming_with<32>(to, from, n, [](char* o, const char* q) SVFSPLIT_USES_AVX2 {
    _mm256_stream_si256(reinterpret_cast<__m256i*>(o), load32(reinterpret_cast<const unsigned char*>(q)));
  });
}
#endif
// Lays out the lines of a frame of kRuns runs: `text` stores a text's 16
// bytes, `digits` moves a run's 64. The texts are stored whole, each
// before the digits that are written over their bytes past it; the last
// text, ending where the line does, before the last run's digits.
template <int kRuns, class Text, class Digits>
inline __attribute__((always_inline)) char* lay_out_lines_with(char* p, const LineFrame& frame,
                                                               const std::array<const char*, 3>& ends,
                                                               std::size_t count, const Text& text,
                                                               const Digits& digits) {
  // Locals, which stores through a char pointer cannot reach.
  std::array<const char*, kRuns> from;     // the digits of the line at p
  std::array<std::size_t, kRuns> text_at;  // where the pieces start in a line
  std::array<std::size_t, kRuns> digits_at;
  std::size_t size = 0;
  for (int i = 0; i < kRuns; ++i) {
    text_at[i] = size;
    size += frame.sizes[i];
    from[i] = ends[i] - LineFrame::kDigits;
    digits_at[i] = size;
    size += LineFrame::kDigits;
  }
  size += frame.sizes[kRuns];
  for (std::ptrdiff_t back = 0; count != 0; --count, p += size, back -= LineFrame::kDigits) {
    for (int i = 0; i < kRuns; ++i) {
      text(p + text_at[i], i);
      if (i + 1 == kRuns)
        text(p + size - 16, kRuns);
      digits(p + digits_at[i], from[i] + back);
    }
  }
  return p;
}

template <int kRuns>
char* lay_out_plain_of(char* p, const LineFrame& frame, const std::array<const char*, 3>& ends, std::size_t count) {
  const std::array<std::array<char, 16>, 4> texts = frame.texts;
  return lay_out_lines_with<kRuns>(
      p, frame, ends, count, [&texts](char* to, int i) { std::memcpy(to, texts[i].data(), 16); },
      [](char* to, const char* run) { std::memcpy(to, run, LineFrame::kDigits); });
}

using LayOut = char* (*)(char* p, const LineFrame& frame, const std::array<const char*, 3>& ends, std::size_t count);

// A version's layout: its instance for the frame's number of runs, which
// the version's own function then compiles in.
template <LayOut kOneRun, LayOut kTwoRuns, LayOut kThreeRuns>
inline __attribute__((always_inline)) char* lay_out_by_runs(char* p, const LineFrame& frame,
                                                            const std::array<const char*, 3>& ends, std::size_t count) {
  switch (frame.runs) {
    case 3:
      return kThreeRuns(p, frame, ends, count);
    case 2:
      return kTwoRuns(p, frame, ends, count);
    default:
      return kOneRun(p, frame, ends, count);
  }
}

char* lay_out_plain(char* p, const LineFrame& frame, const std::array<const char*, 3>& ends, std::size_t count) {
  return lay_out_by_runs<lay_out_plain_of<1>, lay_out_plain_of<2>, lay_out_plain_of<3>>(p, frame, ends, count);
}

#if defined(SVFSPLIT_AVX2)
template <int kRuns>
SVFSPLIT_USES_AVX2 char* lay_out_avx2_of(char* p, const LineFrame& frame, const std::array<const char*, 3>& ends,
                                         std::size_t count) {
  __m128i texts[kRuns + 1];
  for (int i = 0; i <= kRuns; ++i) texts[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(frame.texts[i].data()));
  return lay_out_lines_with<kRuns>(
      p, frame, ends, count,
      [&texts](char* to, int i) SVFSPLIT_USES_AVX2 { _mm_storeu_si128(reinterpret_cast<__m128i*>(to), texts[i]); },
      [](char* to, const char* run) SVFSPLIT_USES_AVX2 {
        const auto* q = reinterpret_cast<const unsigned char*>(run);
        store32(to, load32(q));
        store32(to + 32, load32(q + 32));
      });
}

SVFSPLIT_USES_AVX2 char* lay_out_avx2(char* p, const LineFrame& frame, const std::array<const char*, 3>& ends,
                                      std::size_t count) {
  return lay_out_by_runs<lay_out_avx2_of<1>, lay_out_avx2_of<2>, lay_out_avx2_of<3>>(p, frame, ends, count);
}
#endif

constexpr KernelVersion kVersions[] = {
    {"plain", find_line_plain, gather_plain, gather_usual_plain, copy_plain, lay_out_plain},
#if defined(__SSE2__)
    {"SSE2", find_line_sse2, gather_sse2, gather_usual_sse2, copy_streaming_sse2, lay_out_plain},
#endif
#if defined(SVFSPLIT_AVX2)
    {"AVX2", find_line_avx2, gather_avx2, gather_usual_avx2, copy_streaming_avx2, lay_out_avx2},
#endif
};

// The versions this processor runs; the last one is used.
std::span<const KernelVersion> runnable_versions() {
  std::size_t count = std::size(kVersions);
#if defined(SVFSPLIT_AVX2)
  if (!__builtin_cpu_supports("avx2"))
    --count;
#endif
  return {kVersions, count};
}

// Chosen before main() runs.
const KernelVersion& kInUse = runnable_versions().back();

}  // namespace

std::span<const KernelVersion> kernel_versions() {
  return runnable_versions();
}

const unsigned char* find_line_to_examine(const unsigned char* p, const unsigned char* end) {
  return kInUse.find_line_to_examine(p, end);
}

const unsigned char* gather_field_digits(const unsigned char* p, std::size_t n, std::uint64_t& examined, char*& out,
                                         const char* limit, bool& overflowed, LineShape& seen) {
  return kInUse.gather_field_digits(p, n, examined, out, limit, overflowed, seen);
}

bool gather_usual_fields(const unsigned char* p, const unsigned char* end, std::span<const FieldShape> shapes,
                         char* out, const char* limit, LineShape& seen, UsualFields& found) {
  return kInUse.gather_usual_fields(p, end, shapes, out, limit, seen, found);
}

const unsigned char* find_first_of(const unsigned char* p, std::size_t n, const ByteSet& set, std::uint64_t& examined) {
  const unsigned char* hit = nullptr;
  if (set.count == 1) {
    hit = static_cast<const unsigned char*>(std::memchr(p, set.bytes[0], n));
  } else {
    // One pass that compares each byte with every member of the set; what
    // is sought is usually a few bytes away, before any vector is set up.
    const unsigned char* q = p;
    const unsigned char* const end = p + n;
    for (const unsigned char* const near = p + std::min<std::size_t>(n, 16); q != near && hit == nullptr; ++q) {
      if (*q == set.bytes[0] || *q == set.bytes[1] || *q == set.bytes[2])
        hit = q;
    }
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

std::uint64_t count_line_feeds(const unsigned char* p, std::size_t n) {
  std::uint64_t count = 0;
  const unsigned char* const end = p + n;
#if defined(__SSE2__)
  // Each lane counts down by one per line feed for up to 255 blocks, then
  // the lanes are summed.
  const __m128i lf = _mm_set1_epi8('\n');
  while (end - p >= 16) {
    const std::size_t blocks = std::min<std::size_t>(static_cast<std::size_t>(end - p) / 16, 255);
    __m128i lanes = _mm_setzero_si128();
    for (const unsigned char* const last = p + blocks * 16; p != last; p += 16)
      lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), lf));
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    count += static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
             static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
  }
#endif
  return count + static_cast<std::uint64_t>(std::count(p, end, '\n'));
}

void copy_streaming(char* to, const char* from, std::size_t n) {
  kInUse.copy_streaming(to, from, n);
}

char* lay_out_digit_lines(char* p, const LineFrame& frame, const std::array<const char*, 3>& ends, std::size_t count) {
  return kInUse.lay_out_digit_lines(p, frame, ends, count);
}

}  // namespace svfsplit
