// The kernels in portable C++, for any processor: a block is eight 64-bit
// words compared eight bytes at a time, the first byte in each word's
// lowest bits whatever the processor's byte order. In a comparison's
// result, a byte's top bit tells.
#include <bit>
#include <cstdint>
#include <cstring>

#include "convert/kernels/generic.hpp"

namespace svfsplit {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kTops = 0x8080808080808080;
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7F;

struct Words {
  using Vector = std::uint64_t;
  static constexpr int kBytes = 8;

  // Its bytes in byte order from the lowest bits: as they are, or
  // reversed (which is its own inverse).
  static std::uint64_t in_order(std::uint64_t v) {
    if constexpr (std::endian::native == std::endian::little)
      return v;
    std::uint64_t r = 0;
    for (int i = 0; i < 8; ++i) r = r << 8 | (v >> 8 * i & 0xFF);
    return r;
  }
  static std::uint64_t load(const void* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return in_order(v);
  }
  static void store(void* p, std::uint64_t v) {
    v = in_order(v);
    std::memcpy(p, &v, 8);
  }
  // A byte equal to c is one that is 0 once xored with it.
  static std::uint64_t eq(std::uint64_t v, unsigned char c) {
    const std::uint64_t x = v ^ (c * kOnes);
    return ~(((x & kLow7) + kLow7) | x | kLow7);
  }
  // For c below 127, which every use keeps to: a byte below 128 with its
  // top bit set, less c + 1, keeps its top bit unless it was at most c; no
  // byte borrows from the next.
  static std::uint64_t le(std::uint64_t v, unsigned char c) {
    return ~(((v & kLow7) | kTops) - (c + 1u) * kOnes) & ~v & kTops;
  }
  static bool any(std::uint64_t v) { return v != 0; }
  // The top bits, moved to bits 56 to 63 by one product (no two of its
  // terms meet), in byte order.
  static std::uint8_t bits(std::uint64_t v) {
    return static_cast<std::uint8_t>(((v & kTops) >> 7) * 0x0102040810204080 >> 56);
  }
};

}  // namespace

extern const KernelVersion kPortableKernels = generic::version_of<Words>("portable", generic::runs_everywhere);

}  // namespace svfsplit
