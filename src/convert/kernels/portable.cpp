// The kernels in portable C++, for any processor: a block is 64 bytes
// compared one by one.
#include <array>
#include <cstdint>
#include <cstring>

#include "convert/kernels/generic.hpp"

namespace svfsplit {
namespace {

struct PortableBlock {
  std::array<unsigned char, 64> bytes;

  static PortableBlock load(const void* p) {
    PortableBlock x;
    std::memcpy(x.bytes.data(), p, 64);
    return x;
  }
  void store(void* p) const { std::memcpy(p, bytes.data(), 64); }

  // The block of f(i) for each place i.
  template <class F>
  static PortableBlock of(F f) {
    PortableBlock x;
    for (std::size_t i = 0; i < 64; ++i) x.bytes[i] = static_cast<unsigned char>(f(i));
    return x;
  }
  PortableBlock eq(unsigned char c) const { return in(c, c); }
  PortableBlock in(unsigned char low, unsigned char high) const {
    return of([&](std::size_t i) { return bytes[i] >= low && bytes[i] <= high ? 0xFF : 0; });
  }
  PortableBlock operator|(const PortableBlock& o) const {
    return of([&](std::size_t i) { return bytes[i] | o.bytes[i]; });
  }
  PortableBlock operator&(const PortableBlock& o) const {
    return of([&](std::size_t i) { return bytes[i] & o.bytes[i]; });
  }
  bool any() const { return mask() != 0; }
  std::uint64_t mask() const {
    std::uint64_t m = 0;
    for (std::size_t i = 0; i < 64; ++i) m |= std::uint64_t{bytes[i] != 0} << i;
    return m;
  }
};

bool always() {
  return true;
}

}  // namespace

extern const KernelVersion kPortableKernels = generic::version_of<PortableBlock>("portable", always);

}  // namespace svfsplit
