#include "io/input.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace svfsplit {

// The most that ahead() loads at a time into windows that are lent.
constexpr std::size_t kLentLoad = 256 * 1024;

std::size_t Source::read_at(std::int64_t offset, unsigned char* buf, std::size_t n) const {
  if (error_ != 0 || offset < 0)
    return 0;
  std::size_t done = 0;
  if (file_ == nullptr && offset < size_) {
    done = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(n), size_ - offset));
    std::memcpy(buf, data_ + offset, done);
  }
  while (file_ != nullptr && done < n) {
    std::size_t got = 0;
    if (const platform::Error error =
            platform::read_at(*file_, offset + static_cast<std::int64_t>(done), buf + done, n - done, got)) {
      error_ = error;
      return 0;
    }
    if (got == 0)
      break;
    done += got;
  }
  return done;
}

Input::Input(const Source& source, std::size_t window)
    : source_(&source),
      window_(std::max<std::size_t>(window, 1)),
      load_size_(window_),
      buf_(page_buffer(window_ + kStep)),
      base_(buf_.get()),
      held_(base_) {}

void Input::lend_windows(std::size_t count) {
  slots_ = std::make_unique<Slot[]>(std::max<std::size_t>(count, 1));
  slot_count_ = std::max<std::size_t>(count, 1);
  slots_[0].buf = std::move(buf_);
  slot_ = 0;
  load_size_ = std::clamp<std::size_t>(window_ / 4, 1, kLentLoad);
}

// Before the window's buffer is written to: while some of it is lent, the
// window moves on to the next buffer, once that one is back. A buffer is
// allocated when first used; where there is no room for it, the buffers
// there are take turns. The window's bytes stay where they were until it
// is placed again.
void Input::make_writable() {
  if (slots_ == nullptr || !slots_[slot_].lease.lent())
    return;
  std::size_t next = (slot_ + 1) % slot_count_;
  if (slots_[next].buf == nullptr) {
    try {
      slots_[next].buf = page_buffer(window_ + kStep);
    } catch (const std::bad_alloc&) {
      slot_count_ = next;
      next = 0;
    }
  }
  slot_ = next;
  slots_[slot_].lease.wait_until_returned();
  base_ = slots_[slot_].buf.get();
}

// Fills the window with up to `n` bytes from `start`.
void Input::load(std::int64_t start, std::size_t n) {
  make_writable();
  place(start);
  read_after(0, n);
}

// Reads up to `wanted` bytes into the window after its first `kept` ones,
// noting the end of the input when the read falls short of them.
void Input::read_after(std::size_t kept, std::size_t wanted) {
  const std::int64_t from = start_ + static_cast<std::int64_t>(kept);
  const std::size_t got = source_->read_at(from, held_ + kept, wanted);
  len_ = kept + got;
  if (got < wanted && source_->error() == 0)
    end_ = from + static_cast<std::int64_t>(got);
}

// ahead() where the window does not hold tell(): a window that starts there.
std::span<const unsigned char> Input::ahead_slow() {
  if (pos_ < 0 || (end_ >= 0 && pos_ >= end_) || source_->error() != 0)
    return {};
  load(pos_, load_size_);
  return {held_, len_};
}

std::span<const unsigned char> Input::ahead_in_full() {
  const std::int64_t window_end = start_ + static_cast<std::int64_t>(len_);
  const bool holds_the_end = end_ >= 0 && window_end >= end_;
  if (pos_ > start_ && pos_ < window_end && !holds_the_end) {
    const auto kept = static_cast<std::size_t>(window_end - pos_);
    const unsigned char* const from = held_ + (pos_ - start_);
    make_writable();
    std::memmove(base_ + place_of(pos_), from, kept);
    place(pos_);
    read_after(kept, std::min(window_ - kept, load_size_));
  }
  return ahead();
}

std::span<const unsigned char> Input::behind(std::int64_t floor) {
  floor = std::max<std::int64_t>(floor, 0);
  if (pos_ <= floor)
    return {};
  const std::int64_t window_end = start_ + static_cast<std::int64_t>(len_);
  if (pos_ <= start_ || pos_ > window_end) {
    if (source_->error() != 0)
      return {};
    const std::int64_t start = std::max(floor, pos_ - static_cast<std::int64_t>(window_));
    load(start, static_cast<std::size_t>(pos_ - start));
    if (start_ + static_cast<std::int64_t>(len_) < pos_)
      return {};
  }
  const std::int64_t from = std::max(start_, floor);
  return {held_ + (from - start_), static_cast<std::size_t>(pos_ - from)};
}

}  // namespace svfsplit
