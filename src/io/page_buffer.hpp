// Buffers that the kernel copies into or out of, placed on a page boundary:
// its copy can be several times slower when the two sides are a few bytes
// out of step.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
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

// How many writes still read a buffer lent to the writing thread; the
// buffer is not filled again before they are all done.
class Lease {
 public:
  void take() {
    const std::lock_guard lock(mutex_);
    ++count_;
  }
  void give_back() {
    {
      const std::lock_guard lock(mutex_);
      --count_;
    }
    returned_.notify_all();
  }
  bool lent() {
    const std::lock_guard lock(mutex_);
    return count_ != 0;
  }
  void wait_until_returned() {
    std::unique_lock lock(mutex_);
    returned_.wait(lock, [this] { return count_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable returned_;
  int count_ = 0;
};

}  // namespace svfsplit
