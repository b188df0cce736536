#include "io/progress.hpp"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "platform/platform.hpp"

namespace svfsplit {

namespace {

// A size in bytes with one decimal, in decimal units as dd and zstd show them.
std::string size_text(double bytes) {
  static constexpr const char* kUnits[] = {"B", "kB", "MB", "GB", "TB", "PB"};
  std::size_t unit = 0;
  for (; bytes >= 1000 && unit + 1 < std::size(kUnits); ++unit) bytes /= 1000;
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

}  // namespace

std::string progress_line(std::int64_t done, std::int64_t total, std::int64_t elapsed_ms) {
  total = std::max<std::int64_t>(total, 0);
  done = std::clamp<std::int64_t>(done, 0, total);
  // In floating point, since done * 100 may not fit; 100% only when done.
  const int percent =
      done == total ? 100
                    : static_cast<int>(std::min(99.0, static_cast<double>(done) * 100 / static_cast<double>(total)));
  const double rate = elapsed_ms > 0 ? static_cast<double>(done) * 1000 / static_cast<double>(elapsed_ms) : 0;
  return "svfsplit: " + size_text(static_cast<double>(done)) + " of " + size_text(static_cast<double>(total)) + " (" +
         std::to_string(percent) + "%), " + size_text(rate) + "/s";
}

Progress::Progress(std::int64_t total) : total_(total), start_ms_(platform::monotonic_milliseconds()) {}

void Progress::at(std::int64_t done) {
  const std::int64_t now = platform::monotonic_milliseconds();
  if (now - start_ms_ < kDelayMs || (shown_ms_ >= 0 && now - shown_ms_ < kIntervalMs))
    return;
  shown_ms_ = now;
  const std::string line = progress_line(done, total_, now - start_ms_);
  // Blanks over what is left of a longer line before it.
  const std::size_t blanks = shown_width_ > line.size() ? shown_width_ - line.size() : 0;
  shown_width_ = line.size();
  (void)platform::print(platform::Stream::kError, '\r' + line + std::string(blanks, ' '));
}

Progress::~Progress() {
  if (shown_ms_ >= 0)
    (void)platform::print(platform::Stream::kError, '\r' + std::string(shown_width_, ' ') + '\r');
}

}  // namespace svfsplit
