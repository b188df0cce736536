// Buffered writing of the output file.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <memory>
#include <string_view>

namespace svfsplit {

// Collects bytes in a large buffer and writes them in blocks, either to a
// file descriptor or, for tests and the fuzzer, to a string. The first
// write error is kept; everything after it is dropped.
class Output {
 public:
  static constexpr std::size_t kDefaultBuffer = 128 * 1024;

  explicit Output(int fd, std::size_t buffer = kDefaultBuffer);
  explicit Output(std::string& sink, std::size_t buffer = kDefaultBuffer);
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void put(char c) {
    if (used_ == capacity_)
      drain();
    buf_[used_++] = c;
  }

  void write(const void* data, std::size_t n) {
    if (n <= capacity_ - used_) {
      if (n != 0)
        std::memcpy(buf_.get() + used_, data, n);
      used_ += n;
      return;
    }
    write_slow(static_cast<const char*>(data), n);
  }
  void write(std::string_view text) { write(text.data(), text.size()); }

  // Writes out what is buffered; returns false once any write has failed.
  bool flush();

  bool failed() const { return error_ != 0; }
  // The errno of the first failed write, or 0.
  int error() const { return error_; }

 private:
  void drain();
  void write_slow(const char* data, std::size_t n);
  void send(const char* data, std::size_t n);

  int fd_ = -1;
  std::string* sink_ = nullptr;
  std::size_t capacity_;
  std::unique_ptr<char[]> buf_;
  std::size_t used_ = 0;
  int error_ = 0;
};

}  // namespace svfsplit
