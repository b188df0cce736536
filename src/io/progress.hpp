// The line on standard error that shows how far a long run has got, on a
// terminal only: "svfsplit: 1.2 GB of 4.8 GB (25%), 310 MB/s".
#pragma once

#include <cstdint>
#include <string>

namespace svfsplit {

// The line for `done` bytes of `total` after `elapsed_ms`, at most 79
// columns.
std::string progress_line(std::int64_t done, std::int64_t total, std::int64_t elapsed_ms);

class Progress {
 public:
  // The line first shows once a run has lasted this long, and moves at
  // most this often.
  static constexpr std::int64_t kDelayMs = 1000;
  static constexpr std::int64_t kIntervalMs = 250;

  // `total` is the input's size.
  explicit Progress(std::int64_t total);
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  // Clears the line, if one was shown.
  ~Progress();

  // The conversion has got to input offset `done`. Reads the clock, so the
  // converter calls it now and then: every MiB of input, or every few
  // thousand segment lines.
  void at(std::int64_t done);

 private:
  std::int64_t total_;
  std::int64_t start_ms_;
  std::int64_t shown_ms_ = -1;  // when the line last moved; -1: not shown
  std::size_t shown_width_ = 0;
};

}  // namespace svfsplit
