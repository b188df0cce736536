// The kernels in portable C++, for any processor: a block is eight 64-bit
// words compared eight bytes at a time, the first byte in each word's
// lowest bits whatever the processor's byte order. In a comparison's
// result, a byte's top bit tells.
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "convert/kernels/generic.hpp"

namespace svfsplit {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kTops = 0x8080808080808080;
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7F;

// The top bit of each byte of v that is below n (at most 128): a byte
// below 128 with its top bit set, less n, keeps its top bit unless it was
// below n; no byte borrows from the next.
constexpr std::uint64_t below(std::uint64_t v, unsigned n) {
  return ~(((v & kLow7) | kTops) - n * kOnes) & ~v & kTops;
}

struct PortableBlock {
  std::array<std::uint64_t, 8> words;

  template <class F>
  PortableBlock each(F f) const {
    PortableBlock x;
    for (std::size_t i = 0; i < 8; ++i) x.words[i] = f(words[i], i);
    return x;
  }

  static PortableBlock load(const void* p) {
    PortableBlock x{};
    const auto* bytes = static_cast<const unsigned char*>(p);
    if constexpr (std::endian::native == std::endian::little)
      std::memcpy(x.words.data(), p, 64);
    else
      for (std::size_t i = 0; i < 64; ++i) x.words[i / 8] |= std::uint64_t{bytes[i]} << 8 * (i % 8);
    return x;
  }
  void store(void* p) const {
    auto* bytes = static_cast<unsigned char*>(p);
    if constexpr (std::endian::native == std::endian::little)
      std::memcpy(p, words.data(), 64);
    else
      for (std::size_t i = 0; i < 64; ++i) bytes[i] = static_cast<unsigned char>(words[i / 8] >> 8 * (i % 8));
  }
  // A byte equal to c is one that is 0 once xored with it.
  PortableBlock eq(unsigned char c) const {
    return each([c](std::uint64_t v, std::size_t) {
      const std::uint64_t x = v ^ (c * kOnes);
      return ~(((x & kLow7) + kLow7) | x | kLow7);
    });
  }
  // For c below 128, which every use keeps to.
  PortableBlock le(unsigned char c) const {
    return each([c](std::uint64_t v, std::size_t) { return below(v, c + 1u); });
  }
  PortableBlock operator|(const PortableBlock& o) const {
    return each([&o](std::uint64_t v, std::size_t i) { return v | o.words[i]; });
  }
  PortableBlock operator&(const PortableBlock& o) const {
    return each([&o](std::uint64_t v, std::size_t i) { return v & o.words[i]; });
  }
  bool any() const {
    std::uint64_t all = 0;
    for (const std::uint64_t v : words) all |= v;
    return all != 0;
  }
  // Each word's top bits, moved to bits 56 to 63 by one product (no two of
  // its terms meet), in byte order.
  std::uint64_t mask() const {
    std::uint64_t m = 0;
    for (std::size_t i = 0; i < 8; ++i) m |= (((words[i] & kTops) >> 7) * 0x0102040810204080 >> 56) << 8 * i;
    return m;
  }
};

}  // namespace

extern const KernelVersion kPortableKernels = generic::version_of<PortableBlock>("portable", generic::runs_everywhere);

}  // namespace svfsplit
