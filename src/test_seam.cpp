#include "test_seam.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace svfsplit::test_seam {

namespace {

struct Fault {
  Call call;
  int nth;
  int error;
};

constexpr std::array<std::string_view, kCallKinds> kCallNames = {
    "open", "create", "status", "resolve", "permissions", "read", "write", "close", "rename", "remove", "print"};

constexpr std::pair<std::string_view, int> kErrors[] = {
    {"EIO", EIO},       {"ENOSPC", ENOSPC}, {"EFBIG", EFBIG},   {"EINTR", EINTR},   {"EAGAIN", EAGAIN},
    {"EACCES", EACCES}, {"EPERM", EPERM},   {"ENOENT", ENOENT}, {"ENOMEM", ENOMEM}, {"EEXIST", EEXIST},
    {"EXDEV", EXDEV},   {"EPIPE", EPIPE},   {"short", kShort},
};

// Parses "call:nth:error" items separated by ','; bad items are ignored.
std::vector<Fault> parse(std::string_view text) {
  std::vector<Fault> faults;
  while (!text.empty()) {
    const auto comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    const auto first = item.find(':');
    const auto second = item.find(':', first == std::string_view::npos ? first : first + 1);
    if (second == std::string_view::npos)
      continue;
    const auto name = item.substr(0, first);
    const int nth = std::atoi(std::string(item.substr(first + 1, second - first - 1)).c_str());
    const auto error = item.substr(second + 1);
    for (std::size_t c = 0; c < kCallNames.size(); ++c) {
      if (kCallNames[c] != name)
        continue;
      for (const auto& [error_name, code] : kErrors) {
        if (error_name == error)
          faults.push_back({static_cast<Call>(c), nth, code});
      }
    }
  }
  return faults;
}

struct Seam {
  Seam() {
    if (const char* faults = std::getenv("SVFSPLIT_FAULTS"))
      armed = parse(faults);
    if (const char* step = std::getenv("SVFSPLIT_CLOCK_STEP_MS"))
      clock_step = std::atoll(step);
  }

  std::mutex mutex;  // the writer thread calls too
  std::vector<Fault> armed;
  std::array<int, kCallKinds> calls{};
  std::atomic<std::int64_t> clock_step{0};
  std::atomic<std::int64_t> clock{0};
};

Seam& seam() {
  static Seam instance;
  return instance;
}

}  // namespace

int fault(Call call) {
  Seam& s = seam();
  const std::lock_guard lock(s.mutex);
  const int n = ++s.calls[static_cast<std::size_t>(call)];
  for (const Fault& f : s.armed) {
    if (f.call == call && f.nth == n)
      return f.error;
  }
  return 0;
}

void arm(Call call, int nth, int error) {
  Seam& s = seam();
  const std::lock_guard lock(s.mutex);
  const int done = s.calls[static_cast<std::size_t>(call)];
  s.armed.push_back({call, done + nth, error});
}

std::int64_t clock_reading() {
  Seam& s = seam();
  const std::int64_t step = s.clock_step.load();
  if (step <= 0)
    return -1;
  return s.clock.fetch_add(step) + step;
}

void set_clock_step(std::int64_t ms) {
  seam().clock_step.store(ms);
}

}  // namespace svfsplit::test_seam
