// The kernels with NEON (Advanced SIMD): a block is four 16-byte vectors.
// Every 64-bit ARM processor has it. A 32-bit one may not: there it is used
// where the system says the processor has it, and only the functions
// marked are compiled for it, so that none of it reaches code that runs on
// processors without it.
#if defined(__aarch64__) || defined(__arm__)
#include <arm_neon.h>

// Each function takes in all that it calls: GCC leaves specials() out of
// line for ARM, which costs B 0.27 instructions per byte on arm64, 0.50
// on armhf.
#if defined(__arm__)
#define SVFSPLIT_TARGET __attribute__((target("arch=armv7-a,fpu=neon"), flatten))
#define SVFSPLIT_NEON_HERE platform::processor_has_neon
#else
#define SVFSPLIT_TARGET __attribute__((flatten))
#define SVFSPLIT_NEON_HERE generic::runs_everywhere
#endif
#include "convert/kernels/generic.hpp"
#include "platform/platform.hpp"

namespace svfsplit {
namespace {

struct Neon {
  using Vector = uint8x16_t;
  static constexpr int kBytes = 16;

  SVFSPLIT_TARGET static uint8x16_t load(const void* p) { return vld1q_u8(static_cast<const std::uint8_t*>(p)); }
  SVFSPLIT_TARGET static void store(void* p, uint8x16_t v) { vst1q_u8(static_cast<std::uint8_t*>(p), v); }
  SVFSPLIT_TARGET static uint8x16_t eq(uint8x16_t v, unsigned char c) { return vceqq_u8(v, vdupq_n_u8(c)); }
  SVFSPLIT_TARGET static uint8x16_t le(uint8x16_t v, unsigned char c) { return vcleq_u8(v, vdupq_n_u8(c)); }
  // The largest word, across the vector on 64-bit ARM; 32-bit ARM has
  // only pairwise maximums.
  SVFSPLIT_TARGET static bool any(uint8x16_t v) {
#if defined(__aarch64__)
    return vmaxvq_u32(vreinterpretq_u32_u8(v)) != 0;
#else
    const uint32x2_t two = vpmax_u32(vreinterpret_u32_u8(vget_low_u8(v)), vreinterpret_u32_u8(vget_high_u8(v)));
    return vget_lane_u32(vpmax_u32(two, two), 0) != 0;
#endif
  }
  // NEON has no byte mask: each byte keeps the bit that it stands for in
  // its eight, and pairwise additions sum each eight into a byte (as
  // simdjson does), the block's in one go.
  SVFSPLIT_TARGET static std::uint64_t mask(const uint8x16_t (&v)[4]) {
    const uint8x16_t bits = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
#if defined(__aarch64__)
    const uint8x16_t halves = vpaddq_u8(vpaddq_u8(v[0] & bits, v[1] & bits), vpaddq_u8(v[2] & bits, v[3] & bits));
    return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(halves, halves)), 0);
#else
    uint8x8_t pairs[4];
    for (int i = 0; i < 4; ++i) pairs[i] = vpadd_u8(vget_low_u8(v[i] & bits), vget_high_u8(v[i] & bits));
    const uint8x8_t eights = vpadd_u8(vpadd_u8(pairs[0], pairs[1]), vpadd_u8(pairs[2], pairs[3]));
    return vget_lane_u64(vreinterpret_u64_u8(eights), 0);
#endif
  }
};

}  // namespace

extern const KernelVersion kNeonKernels = generic::version_of<Neon>("neon", SVFSPLIT_NEON_HERE);

}  // namespace svfsplit
#endif
