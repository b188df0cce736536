#include "output.hpp"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

#include "stop.hpp"

namespace svfsplit {

Output::Output(int fd, std::size_t buffer)
    : fd_(fd),
      capacity_(std::max<std::size_t>(buffer, 1)),
      buf_(std::make_unique_for_overwrite<char[]>(capacity_)) {}

Output::Output(std::string& sink, std::size_t buffer)
    : sink_(&sink),
      capacity_(std::max<std::size_t>(buffer, 1)),
      buf_(std::make_unique_for_overwrite<char[]>(capacity_)) {}

void Output::send(const char* data, std::size_t n) {
  if (error_ != 0)
    return;
  if (sink_ != nullptr) {
    sink_->append(data, n);
    return;
  }
  while (n > 0) {
    const ssize_t done = ::write(fd_, data, n);
    if (done < 0) {
      // A signal that asks the run to stop must not leave it blocked here.
      if (errno == EINTR && !stop_requested())
        continue;
      error_ = errno;
      return;
    }
    if (done == 0) {
      error_ = EIO;
      return;
    }
    data += done;
    n -= static_cast<std::size_t>(done);
  }
}

void Output::drain() {
  send(buf_.get(), used_);
  used_ = 0;
}

void Output::write_slow(const char* data, std::size_t n) {
  // Top up the buffer, send it, and pass a large remainder straight through.
  const std::size_t room = capacity_ - used_;
  std::copy_n(data, room, buf_.get() + used_);
  used_ += room;
  data += room;
  n -= room;
  drain();
  if (n >= capacity_) {
    send(data, n);
    return;
  }
  std::copy_n(data, n, buf_.get());
  used_ = n;
}

bool Output::flush() {
  drain();
  return error_ == 0;
}

}  // namespace svfsplit
