// The kernels with AVX2 (and BMI2, which every processor with AVX2 but a
// few has), where the processor has them: a block is two 32-byte vectors.
// Only the functions marked are compiled for them, so that none of it
// reaches code that runs on processors without them.
#if defined(__SSE2__)
#include <immintrin.h>

#include <cstdint>

#define SVFSPLIT_TARGET __attribute__((target("avx2,bmi,bmi2")))
#include "convert/kernels/generic.hpp"

namespace svfsplit {
namespace {

struct Avx2 {
  using Vector = __m256i;
  static constexpr int kBytes = 32;

  SVFSPLIT_TARGET static __m256i load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
  SVFSPLIT_TARGET static void store(void* p, __m256i v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }
  SVFSPLIT_TARGET static __m256i eq(__m256i v, unsigned char c) {
    return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(c)));
  }
  // A byte at most c is its minimum with c.
  SVFSPLIT_TARGET static __m256i le(__m256i v, unsigned char c) {
    return _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(static_cast<char>(c))), v);
  }
  SVFSPLIT_TARGET static bool any(__m256i v) { return _mm256_testz_si256(v, v) == 0; }
  SVFSPLIT_TARGET static std::uint32_t bits(__m256i v) { return static_cast<std::uint32_t>(_mm256_movemask_epi8(v)); }
};

bool runs_here() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
}

}  // namespace

extern const KernelVersion kAvx2Kernels = generic::version_of<Avx2>("avx2", runs_here);

}  // namespace svfsplit
#endif
