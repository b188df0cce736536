#include "output.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace svfsplit {

// The second thread: writes one block at a time, handed over by the
// thread that fills the buffers.
class Output::Background {
 public:
  explicit Background(Output& out) : out_(out), thread_([this] { run(); }) {}

  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  ~Background() {
    {
      const std::lock_guard lock(mutex_);
      quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  // Waits until the block handed over last has been written.
  void wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return block_ == nullptr; });
  }

  // Hands over a block; the writer must be idle (see wait()).
  void hand(const char* data, std::size_t n) {
    {
      const std::lock_guard lock(mutex_);
      block_ = data;
      size_ = n;
    }
    changed_.notify_all();
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return block_ != nullptr || quit_; });
      if (block_ == nullptr)
        return;
      lock.unlock();
      out_.send(block_, size_);
      lock.lock();
      block_ = nullptr;
      changed_.notify_all();
    }
  }

  Output& out_;
  std::mutex mutex_;
  std::condition_variable changed_;
  const char* block_ = nullptr;  // being written, or nullptr
  std::size_t size_ = 0;
  bool quit_ = false;
  std::thread thread_;  // last: it starts once the rest is ready
};

namespace {

// The unit of the writes for a buffer of `capacity` bytes: the page, or 64
// bytes, as long as it leaves the buffer three quarters for itself.
std::size_t write_unit(std::size_t capacity) {
  for (const std::size_t unit : {kPage, std::size_t{64}}) {
    if (capacity >= 4 * unit)
      return unit;
  }
  return 1;
}

}  // namespace

Output::Output(const platform::File& file, Writer writer, std::size_t buffer)
    : file_(&file),
      capacity_(std::max<std::size_t>(buffer, 1)),
      unit_(write_unit(capacity_)),
      buf_(page_buffer(capacity_)) {
  if (writer != Writer::kSecondThread)
    return;
  try {
    spare_ = page_buffer(capacity_);
  } catch (const std::bad_alloc&) {
    // No room for a second buffer: write from this thread.
  }
}

// The second thread starts with the first full buffer, once the run has
// allocated everything else it needs: the thread's stack is the last thing
// reserved, and a memory limit that leaves no room for it still lets the
// run write from this thread.
void Output::start_second_thread() {
  try {
    background_ = std::make_unique<Background>(*this);
  } catch (const std::exception&) {
    spare_.reset();
  }
}

Output::Output(std::string& sink, std::size_t buffer)
    : sink_(&sink),
      capacity_(std::max<std::size_t>(buffer, 1)),
      unit_(write_unit(capacity_)),
      buf_(page_buffer(capacity_)) {}

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
  while (n > 0) {
    std::size_t done = 0;
    // An interrupted write comes back only when the run is to stop.
    if (const platform::Error error = platform::write(*file_, data, n, done)) {
      error_.store(error, std::memory_order_release);
      return;
    }
    if (done == 0) {
      error_.store(EIO, std::memory_order_release);
      return;
    }
    data += done;
    n -= done;
    written_ += static_cast<std::int64_t>(done);
    // A signal during a write that blocks returns what was written so far:
    // the rest must not block the run again once it is to stop.
    if (n > 0 && platform::stop_requested()) {
      error_.store(EINTR, std::memory_order_release);
      return;
    }
  }
  if (write_back_ && written_ - written_back_ >= kWriteBackStep) {
    platform::start_writeback(*file_, written_back_, written_ - written_back_);
    written_back_ = written_;
  }
}

void Output::drain() {
  if (used_ == 0)
    return;
  // Whole units go out, and the rest starts the next buffer.
  const std::size_t whole = used_ >= unit_ ? used_ - used_ % unit_ : used_;
  const std::size_t tail = used_ - whole;
  if (spare_ != nullptr && background_ == nullptr)
    start_second_thread();
  if (background_ != nullptr) {
    background_->wait();
    std::swap(buf_, spare_);
    std::memcpy(buf_.get(), spare_.get() + whole, tail);
    background_->hand(reinterpret_cast<const char*>(spare_.get()), whole);
  } else {
    send(reinterpret_cast<const char*>(buf_.get()), whole);
    std::memmove(buf_.get(), buf_.get() + whole, tail);
  }
  used_ = tail;
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
    background_->wait();
  send(reinterpret_cast<const char*>(buf_.get()), used_);
  used_ = 0;
  return !failed();
}

}  // namespace svfsplit
