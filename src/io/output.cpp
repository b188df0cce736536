#include "io/output.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

namespace svfsplit {

// The second thread: writes the blocks handed over by the thread that
// fills the buffers, in the order they came; a few may wait their turn.
class Output::Background {
 public:
  explicit Background(Output& out) : out_(out), thread_([this] { run(); }) {}

  // Waits for the block being written; those still waiting are dropped,
  // and their leases given back.
  ~Background() {
    {
      const std::lock_guard lock(mutex_);
      quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  // Hands over a block, to be written after those handed before; waits
  // while too many wait. Returns the block's ticket (see wait()).
  std::uint64_t hand(const char* data, std::size_t n, Lease* lease) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return handed_ - done_ < kWaiting; });
    waiting_[handed_ % kWaiting] = {data, n, lease};
    const std::uint64_t ticket = ++handed_;
    lock.unlock();
    changed_.notify_all();
    return ticket;
  }

  // Waits until the block of `ticket`, and all before it, are written.
  void wait(std::uint64_t ticket) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this, ticket] { return done_ >= ticket; });
  }
  // Only the thread that hands blocks over changes handed_.
  void wait_for_all() { wait(handed_); }

 private:
  struct Block {
    const char* data = nullptr;
    std::size_t size = 0;
    Lease* lease = nullptr;
  };
  static constexpr std::uint64_t kWaiting = 4;
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return done_ != handed_ || quit_; });
      if (done_ == handed_)
        return;
      const Block block = waiting_[done_ % kWaiting];
      if (!quit_) {
        lock.unlock();
        out_.send(block.data, block.size);
        lock.lock();
      }
      if (block.lease != nullptr)
        block.lease->give_back();
      ++done_;
      changed_.notify_all();
    }
  }

  Output& out_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::array<Block, kWaiting> waiting_{};
  std::uint64_t handed_ = 0;  // blocks handed over
  std::uint64_t done_ = 0;    // blocks written, or dropped
  bool quit_ = false;
  std::thread thread_;  // last: it starts once the rest is ready
};

Output::Output(const platform::File* file, std::string* sink, std::size_t buffer, Writer writer)
    : file_(file), sink_(sink) {
  buffer = std::max<std::size_t>(buffer, 1);
  // The unit of the writes: the page, or else 64 bytes, as long as it
  // leaves the buffer three quarters for itself.
  unit_ = buffer >= 4 * kPage ? kPage : buffer >= 4 * 64 ? 64 : 1;
  if (writer == Writer::kSecondThread) {
    try {
      block_ = page_buffer(buffer);
      for (auto& spare : spares_) spare = page_buffer(buffer);
      block_size_ = buffer;
    } catch (const std::bad_alloc&) {
      // No room for the blocks: write from this thread.
      block_.reset();
      for (auto& spare : spares_) spare.reset();
    }
  }
  capacity_ = block_ != nullptr ? std::min(buffer, kFillBuffer) : buffer;
  buf_ = page_buffer(capacity_);
}

// Whether a second thread writes the blocks. It starts with the first full
// block (or the first bytes lent), once the run has allocated everything
// else it needs: the thread's stack is the last thing reserved, and a
// memory limit that leaves no room for it still lets the run write from
// this thread.
bool Output::second_thread() {
  if (spares_[0] != nullptr && background_ == nullptr) {
    try {
      background_ = std::make_unique<Background>(*this);
    } catch (const std::exception&) {
      for (auto& spare : spares_) spare.reset();
    }
  }
  return background_ != nullptr;
}

Output::~Output() = default;

// How much is written between two starts of writing back to the disk.
constexpr std::int64_t kWriteBackStep = 8 << 20;

void Output::send(const char* data, std::size_t n) {
  if (failed())
    return;
  if (sink_ != nullptr) {
    sink_->append(data, n);
    return;
  }
  platform::Error error = 0;
  while (n > 0 && error == 0) {
    std::size_t done = 0;  // 0 when the write failed
    // An interrupted write comes back only when the run is to stop.
    error = platform::write(*file_, data, n, done);
    if (error == 0 && done == 0)
      error = EIO;
    data += done;
    n -= done;
    written_ += static_cast<std::int64_t>(done);
    // A signal during a write that blocks returns what was written so far:
    // the rest must not block the run again once it is to stop.
    if (error == 0 && n > 0 && platform::stop_requested())
      error = EINTR;
  }
  if (error != 0)
    error_.store(error, std::memory_order_release);
  else if (write_back_ && written_ - written_back_ >= kWriteBackStep) {
    platform::start_writeback(*file_, written_back_, written_ - written_back_);
    written_back_ = written_;
  }
}

void Output::drain() {
  if (used_ == first_)
    return;
  if (block_ != nullptr) {
    stage();
    return;
  }
  // Whole units go out, and the rest starts the buffer again.
  const std::size_t whole = used_ >= unit_ ? used_ - used_ % unit_ : used_;
  send(reinterpret_cast<const char*>(buf_.get()), whole);
  std::memmove(buf_.get(), buf_.get() + whole, used_ - whole);
  before_ += whole;
  used_ -= whole;
}

// Moves what the buffer holds into the block, handing
// over every block that fills: whole blocks, whose writes but the last
// are then of whole units.
void Output::stage() {
  for (std::size_t done = first_; done < used_;) {
    const std::size_t part = std::min(used_ - done, block_size_ - block_used_);
    std::memcpy(block_.get() + block_used_, &at(done), part);
    block_used_ += part;
    done += part;
    if (block_used_ == block_size_)
      hand_block();
  }
  // The next bytes start in step with their place in the block, modulo 64:
  // a copy between addresses out of step takes ARMv6's memcpy 5 times as
  // many instructions.
  used_ = first_ = block_used_ % 64;
}

// Hands the block to the second thread and goes on in the spare one, once
// that one is written; without a second thread, writes it from this one.
void Output::hand_block() {
  if (block_used_ == 0)
    return;
  if (second_thread()) {
    // The spare handed over first is filled next, once it is written.
    PageBuffer& spare = spares_[next_spare_];
    background_->wait(tickets_[next_spare_]);
    std::swap(block_, spare);
    tickets_[next_spare_] = background_->hand(reinterpret_cast<const char*>(spare.get()), block_used_, nullptr);
    next_spare_ = (next_spare_ + 1) % kSpares;
  } else {
    send(reinterpret_cast<const char*>(block_.get()), block_used_);
  }
  before_ += block_used_;
  block_used_ = 0;
}

bool Output::lend(const unsigned char* data, std::size_t n, Lease& lease) {
  const std::uint64_t place = before_ + block_used_ + used_ - first_;
  if (failed() || (reinterpret_cast<std::uintptr_t>(data) - place) % 64 != 0 || !second_thread())
    return false;
  stage();
  hand_block();
  lease.take();
  background_->hand(reinterpret_cast<const char*>(data), n, &lease);
  before_ += n;
  return true;
}

void Output::write_slow(const char* data, std::size_t n) {
  // Top up the buffer, send it, and go on with the rest in whole buffers.
  while (n > 0) {
    if (used_ == capacity_)
      drain();
    const std::size_t part = std::min(n, capacity_ - used_);
    std::memcpy(&at(used_), data, part);
    used_ += part;
    data += part;
    n -= part;
  }
}

bool Output::flush() {
  // The blocks handed over are written first, then the rest, whatever its
  // size, from this thread.
  if (background_ != nullptr)
    background_->wait_for_all();
  if (block_used_ > 0)
    send(reinterpret_cast<const char*>(block_.get()), block_used_);
  before_ += block_used_;
  block_used_ = 0;
  send(&at(first_), used_ - first_);
  before_ += used_ - first_;
  used_ = first_ = 0;
  return !failed();
}

}  // namespace svfsplit
