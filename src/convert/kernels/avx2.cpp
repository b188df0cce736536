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

struct Avx2Block {
  __m256i low, high;

  SVFSPLIT_TARGET static Avx2Block load(const void* p) {
    const auto* q = static_cast<const __m256i*>(p);
    return {_mm256_loadu_si256(q), _mm256_loadu_si256(q + 1)};
  }
  SVFSPLIT_TARGET void store(void* p) const {
    auto* q = static_cast<__m256i*>(p);
    _mm256_storeu_si256(q, low);
    _mm256_storeu_si256(q + 1, high);
  }
  SVFSPLIT_TARGET Avx2Block eq(unsigned char c) const {
    const __m256i cs = _mm256_set1_epi8(static_cast<char>(c));
    return {_mm256_cmpeq_epi8(low, cs), _mm256_cmpeq_epi8(high, cs)};
  }
  // A byte at most c is its minimum with c.
  SVFSPLIT_TARGET Avx2Block le(unsigned char c) const {
    const __m256i cs = _mm256_set1_epi8(static_cast<char>(c));
    return {_mm256_cmpeq_epi8(_mm256_min_epu8(low, cs), low), _mm256_cmpeq_epi8(_mm256_min_epu8(high, cs), high)};
  }
  SVFSPLIT_TARGET Avx2Block operator|(const Avx2Block& o) const {
    return {_mm256_or_si256(low, o.low), _mm256_or_si256(high, o.high)};
  }
  SVFSPLIT_TARGET Avx2Block operator&(const Avx2Block& o) const {
    return {_mm256_and_si256(low, o.low), _mm256_and_si256(high, o.high)};
  }
  SVFSPLIT_TARGET bool any() const {
    const __m256i both = _mm256_or_si256(low, high);
    return _mm256_testz_si256(both, both) == 0;
  }
  SVFSPLIT_TARGET std::uint64_t mask() const {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(low)) |
           std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32;
  }
};

bool runs_here() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
}

}  // namespace

extern const KernelVersion kAvx2Kernels = generic::version_of<Avx2Block>("avx2", runs_here);

}  // namespace svfsplit
#endif
