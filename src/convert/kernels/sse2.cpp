// The kernels with SSE2, which every x86-64 processor has: a block is four
// 16-byte vectors.
#if defined(__SSE2__)
#include <emmintrin.h>

#include <cstdint>

#include "convert/kernels/generic.hpp"

namespace svfsplit {
namespace {

struct Sse2 {
  using Vector = __m128i;
  static constexpr int kBytes = 16;

  static __m128i load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
  static void store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
  static __m128i eq(__m128i v, unsigned char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(c))); }
  // A byte at most c is its minimum with c.
  static __m128i le(__m128i v, unsigned char c) {
    return _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(static_cast<char>(c))), v);
  }
  static bool any(__m128i v) { return _mm_movemask_epi8(v) != 0; }
  static std::uint16_t bits(__m128i v) { return static_cast<std::uint16_t>(_mm_movemask_epi8(v)); }
};

}  // namespace

extern const KernelVersion kSse2Kernels = generic::version_of<Sse2>("sse2", generic::runs_everywhere);

}  // namespace svfsplit
#endif
