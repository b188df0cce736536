// Buffers that the kernel copies into or out of, placed on a page boundary:
// its copy can be several times slower when the two sides are a few bytes
// out of step.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

namespace svfsplit {

inline constexpr std::size_t kPage = 4096;

struct PageBufferFree {
  void operator()(unsigned char* p) const { ::operator delete[](p, std::align_val_t{kPage}); }
};

using PageBuffer = std::unique_ptr<unsigned char[], PageBufferFree>;

// `n` bytes, not cleared, starting on a page boundary.
inline PageBuffer page_buffer(std::size_t n) {
  return PageBuffer(static_cast<unsigned char*>(::operator new[](n, std::align_val_t{kPage})));
}

}  // namespace svfsplit
