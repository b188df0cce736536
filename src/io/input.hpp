// Seekable, windowed reading of the input file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "io/page_buffer.hpp"
#include "platform/platform.hpp"

namespace svfsplit {

// The value get() returns at the end of the input (or after a read error).
inline constexpr int kEnd = -1;

// Where the input's bytes come from: a file read at absolute offsets, or
// a block of memory (tests, the fuzzer). Several windows may read one
// source; none of them moves a shared file position. The first read error
// is kept and ends the input for every reader.
class Source {
 public:
  static Source file(const platform::File& file) { return Source(&file, nullptr, 0); }
  static Source memory(std::span<const unsigned char> bytes) {
    return Source(nullptr, bytes.data(), static_cast<std::int64_t>(bytes.size()));
  }

  // Reads up to `n` bytes at `offset`; returns how many were read, 0 at the
  // end of the input or once an error has been recorded.
  std::size_t read_at(std::int64_t offset, unsigned char* buf, std::size_t n) const;

  // The first failed read's error, or 0.
  platform::Error error() const { return error_; }

 private:
  Source(const platform::File* file, const unsigned char* data, std::int64_t size)
      : file_(file), data_(data), size_(size) {}

  const platform::File* file_;
  const unsigned char* data_;
  std::int64_t size_;
  mutable platform::Error error_ = 0;
};

// A cursor over a Source with a fixed window of the input in memory, so
// that reading forwards or backwards, and seeking within the window, costs
// no system call. Offsets are 64-bit throughout. The window's memory starts
// on a page boundary, and the byte at file offset X lies at an address
// congruent to X modulo 64, so that the kernel copies into it at full
// speed.
class Input {
 public:
  static constexpr std::size_t kDefaultWindow = 1024 * 1024;

  explicit Input(const Source& source, std::size_t window = kDefaultWindow);

  // The byte at tell(), advancing past it; kEnd at the end of the input.
  // For a few bytes: long stretches are read through ahead().
  int get() {
    const auto bytes = ahead();
    if (bytes.empty())
      return kEnd;
    ++pos_;
    return bytes[0];
  }

  std::int64_t tell() const { return pos_; }
  void seek(std::int64_t offset) { pos_ = offset; }
  void skip(std::size_t n) { pos_ += static_cast<std::int64_t>(n); }

  // The bytes from tell() to the end of the window, loading a window that
  // starts at tell() when needed. Empty only at the end of the input.
  std::span<const unsigned char> ahead() {
    if (pos_ >= start_ && pos_ < start_ + static_cast<std::int64_t>(len_)) {
      const auto from = static_cast<std::size_t>(pos_ - start_);
      return {held_ + from, len_ - from};
    }
    return ahead_slow();
  }

  // ahead(), with the window first moved to start at tell() when it holds
  // tell() but not as many bytes after it as it could: what it holds from
  // there is kept, and more read after it (the rest of the window, or a
  // load's worth while windows are lent), so that a command that starts
  // near its end can be read whole from memory.
  std::span<const unsigned char> ahead_in_full();

  // The bytes from the start of the window up to tell(), loading a window
  // that ends at tell() (and starts no earlier than `floor`) when needed.
  // Empty only at `floor` (or when the bytes before tell() can no longer be
  // read).
  std::span<const unsigned char> behind(std::int64_t floor = 0);

  // The bytes of the current window before `offset`, without loading
  // anything; empty when the window does not hold the byte at offset - 1.
  std::span<const unsigned char> held_before(std::int64_t offset) const {
    if (offset <= start_ || offset > start_ + static_cast<std::int64_t>(len_))
      return {};
    return {held_, static_cast<std::size_t>(offset - start_)};
  }

  const Source& source() const { return *source_; }
  std::size_t window_size() const { return window_; }

  // Lets the window's bytes be lent to the writing thread, under lease():
  // the window then moves among `count` buffers, and a buffer is filled
  // again only once the writes it was lent to are done. Windows are then
  // loaded a quarter of their size at a time, or 256 KiB when that is less
  // (ahead_in_full() too reads no more than that after what it keeps), so
  // that those that take turns, and what is read from them, stay in the
  // processor's caches.
  void lend_windows(std::size_t count);
  // The lease of the window's bytes, or nullptr when they are not lent.
  Lease* lease() { return slots_ != nullptr ? &slots_[slot_].lease : nullptr; }

 private:
  // Where the byte at offset `start` goes in buf_.
  static constexpr std::size_t kStep = 64;
  static std::size_t place_of(std::int64_t start) { return static_cast<std::size_t>(start) % kStep; }

  // Moves the window to start at `start`.
  void place(std::int64_t start) {
    start_ = start;
    held_ = base_ + place_of(start);
  }

  struct Slot {
    PageBuffer buf;
    Lease lease;
  };

  void make_writable();
  std::span<const unsigned char> ahead_slow();
  void load(std::int64_t start, std::size_t n);
  void read_after(std::size_t kept, std::size_t wanted);

  const Source* source_;
  std::size_t window_;
  std::size_t load_size_;          // of the windows ahead() loads
  PageBuffer buf_;                 // not cleared: only what is read is looked at
  unsigned char* base_;            // the buffer of the window: buf_, or a slot's
  unsigned char* held_;            // where the byte at start_ lies in base_
  std::unique_ptr<Slot[]> slots_;  // when windows are lent, with buf_ in the first
  std::size_t slot_count_ = 0;
  std::size_t slot_ = 0;    // the window's
  std::int64_t start_ = 0;  // offset of held_[0]
  std::size_t len_ = 0;     // valid bytes from held_ on
  std::int64_t pos_ = 0;
  std::int64_t end_ = -1;  // offset of the end of the input, once met
};

}  // namespace svfsplit
