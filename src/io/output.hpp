// Buffered writing of the output file.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "io/page_buffer.hpp"
#include "platform/platform.hpp"

namespace svfsplit {

// Collects bytes in a large buffer and writes them in blocks, either to a
// file or, for tests and the fuzzer, to a string. The first
// write error is kept; everything after it is dropped.
//
// A file may be written from a second thread: while one block is being
// written, the next one is filled, so that the conversion and the kernel's
// writing overlap. The blocks go out in order all the same. It pays: with
// the writes made from the converting thread, new outputs of the
// benchmark's inputs A and B took 1.31 and 1.33 times dd, against 0.95 and
// 1.00 with it. The bytes are first put in a small buffer that stays in
// this thread's caches, and copied from there into the block: stored
// straight into a block, every line of it that the writing thread read
// last would have to be fetched back from that thread's core first
// (without it, new outputs of A and B took 1.30 and 1.20 times as long, in
// alternating pairs on an idle machine). The threads sleep at once when
// they wait: spinning a while first no longer paid (0.84 and 0.97 times
// as long without it).
//
// The buffers start on a page boundary, and every write but the last is of
// whole pages (whole steps of 64 bytes for small buffers): a whole block,
// or, from this thread, what the buffer holds with its tail carried to the
// start of the buffer. Each write then starts at a file offset and an
// address that are both multiples of the page, and the kernel copies at
// full speed.
//
// Long stretches of the input that go out unchanged can be lent to the
// second thread instead of copied (lend()), and are written straight from
// the input's window, in their turn.
class Output {
 public:
  static constexpr std::size_t kDefaultBuffer = 512 * 1024;
  // The buffer that bytes are put in before they go to a block, at most.
  static constexpr std::size_t kFillBuffer = 32 * 1024;

  enum class Writer { kThisThread, kSecondThread };

  // `buffer` is the size of the blocks written. With kSecondThread, falls
  // back to this thread when no second one can be started (it starts with
  // the first full block). Only a file whose writes always finish (a regular file)
  // should be given to a second thread: a signal that interrupts a blocked
  // write reaches whichever thread it likes.
  explicit Output(const platform::File& file, Writer writer = Writer::kThisThread, std::size_t buffer = kDefaultBuffer)
      : Output(&file, nullptr, buffer, writer) {}
  explicit Output(std::string& sink, std::size_t buffer = kDefaultBuffer, Writer writer = Writer::kThisThread)
      : Output(nullptr, &sink, buffer, writer) {}
  // Waits for the block being written; what is still buffered is dropped
  // unless flush() was called.
  ~Output();

  void write(const void* data, std::size_t n) {
    if (n <= capacity_ - used_) {
      if (n != 0)
        std::memcpy(&at(used_), data, n);
      used_ += n;
      return;
    }
    write_slow(static_cast<const char*>(data), n);
  }

  // Room for `n` bytes straight in the buffer, written out first if need
  // be; nullptr when the buffer is smaller than that. What is put there
  // counts once added().
  char* room(std::size_t n) {
    if (n > capacity_ - used_)
      drain();
    return n > capacity_ - used_ ? nullptr : &at(used_);
  }
  void added(std::size_t n) { used_ += n; }

  // Has the second thread write the `n` bytes at `data` after what is
  // buffered, straight from there, `lease` counting the write until it is
  // done. False, with nothing taken, when they must be copied instead:
  // there is no second thread, or they would not lie at an address in step
  // with their place in the file, modulo 64.
  bool lend(const unsigned char* data, std::size_t n, Lease& lease);

  // Writes out what is buffered and waits until it is written; returns
  // false once any write has failed.
  bool flush();

  // Has the file's writing to the disk started every few MiB, as the
  // blocks go out, so that a sync at the end has little left to wait for.
  // The file must have been empty.
  void write_back_as_it_goes() { write_back_ = true; }

  bool failed() const { return error() != 0; }
  // The first failed write's error, or 0.
  platform::Error error() const { return error_.load(std::memory_order_acquire); }

 private:
  class Background;

  char& at(std::size_t i) { return reinterpret_cast<char*>(buf_.get())[i]; }
  Output(const platform::File* file, std::string* sink, std::size_t buffer, Writer writer);
  void drain();
  void stage();
  void hand_block();
  bool second_thread();
  void write_slow(const char* data, std::size_t n);
  void send(const char* data, std::size_t n);

  const platform::File* file_ = nullptr;
  std::string* sink_ = nullptr;
  std::size_t capacity_ = 0;  // of buf_
  std::size_t unit_ = 1;      // of the writes but the last
  PageBuffer buf_;            // being filled
  // With a second thread: the block being filled from buf_, and those
  // handed over before it, being written or waiting to be, so that either
  // thread can run ahead of the other for a while.
  static constexpr std::size_t kSpares = 2;
  PageBuffer block_;
  std::array<PageBuffer, kSpares> spares_;
  std::array<std::uint64_t, kSpares> tickets_{};  // of their writes
  std::size_t next_spare_ = 0;                    // the one handed over first
  std::size_t block_size_ = 0;
  std::size_t block_used_ = 0;
  std::size_t first_ = 0;  // of the bytes in buf_, which end at used_
  std::size_t used_ = 0;
  std::uint64_t before_ = 0;  // bytes that went out before the block's and buf_'s
  std::atomic<int> error_{0};
  // Bytes written to the file, and how many of them are on their way to
  // the disk; the writer's alone.
  bool write_back_ = false;
  std::int64_t written_ = 0;
  std::int64_t written_back_ = 0;
  std::unique_ptr<Background> background_;  // last: it stops before the rest goes
};

}  // namespace svfsplit
