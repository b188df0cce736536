// The kernels with SSE2, which every x86-64 processor has: a block is four
// 16-byte vectors.
#if defined(__SSE2__)
#include <emmintrin.h>

#include <cstdint>

#include "convert/kernels/generic.hpp"

namespace svfsplit {
namespace {

struct Sse2Block {
  __m128i v[4];

  template <class F>
  Sse2Block each(F f) const {
    return {{f(v[0]), f(v[1]), f(v[2]), f(v[3])}};
  }

  static Sse2Block load(const void* p) {
    const auto* q = static_cast<const __m128i*>(p);
    return {{_mm_loadu_si128(q), _mm_loadu_si128(q + 1), _mm_loadu_si128(q + 2), _mm_loadu_si128(q + 3)}};
  }
  void store(void* p) const {
    auto* q = static_cast<__m128i*>(p);
    for (int i = 0; i < 4; ++i) _mm_storeu_si128(q + i, v[i]);
  }
  Sse2Block eq(unsigned char c) const {
    const __m128i cs = _mm_set1_epi8(static_cast<char>(c));
    return each([cs](__m128i x) { return _mm_cmpeq_epi8(x, cs); });
  }
  // A byte at most c is its minimum with c.
  Sse2Block le(unsigned char c) const {
    const __m128i cs = _mm_set1_epi8(static_cast<char>(c));
    return each([cs](__m128i x) { return _mm_cmpeq_epi8(_mm_min_epu8(x, cs), x); });
  }
  Sse2Block operator|(const Sse2Block& o) const {
    Sse2Block x;
    for (int i = 0; i < 4; ++i) x.v[i] = _mm_or_si128(v[i], o.v[i]);
    return x;
  }
  Sse2Block operator&(const Sse2Block& o) const {
    Sse2Block x;
    for (int i = 0; i < 4; ++i) x.v[i] = _mm_and_si128(v[i], o.v[i]);
    return x;
  }
  bool any() const { return _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(v[0], v[1]), _mm_or_si128(v[2], v[3]))) != 0; }
  std::uint64_t mask() const {
    std::uint64_t m = 0;
    for (int i = 0; i < 4; ++i) m |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(v[i]))} << 16 * i;
    return m;
  }
};

}  // namespace

extern const KernelVersion kSse2Kernels = generic::version_of<Sse2Block>("sse2", generic::runs_everywhere);

}  // namespace svfsplit
#endif
