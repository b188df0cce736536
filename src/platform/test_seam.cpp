#include "platform/test_seam.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/platform.hpp"
#include "platform/platform_internal.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace svfsplit::test_seam {

namespace {

// What fault() is told for a call that is to throw, to pause, or to come
// with a request to stop.
constexpr int kThrow = -2;
constexpr int kPause = -3;
constexpr int kStop = -4;
// The request a "stop" makes: SIGINT's, or Ctrl+C's as the console
// handler notes it.
#if defined(_WIN32)
constexpr int kStopCode = 1;
#else
constexpr int kStopCode = SIGINT;
#endif

struct Fault {
  Call call;
  int nth;
  int error;
  std::string_view text;  // the item as written, for the report
  bool fired = false;
};

constexpr std::array<std::string_view, kCallKinds> kCallNames = {"open",  "create", "status", "resolve", "permissions",
                                                                 "read",  "write",  "close",  "rename",  "remove",
                                                                 "print", "link",   "sync"};

constexpr std::pair<std::string_view, int> kErrors[] = {
    {"EIO", EIO},       {"ENOSPC", ENOSPC}, {"EFBIG", EFBIG},   {"EINTR", EINTR},           {"EAGAIN", EAGAIN},
    {"EACCES", EACCES}, {"EPERM", EPERM},   {"ENOENT", ENOENT}, {"ENOMEM", ENOMEM},         {"EEXIST", EEXIST},
    {"EXDEV", EXDEV},   {"EPIPE", EPIPE},   {"ELOOP", ELOOP},   {"EOPNOTSUPP", EOPNOTSUPP}, {"short", kShort},
    {"throw", kThrow},  {"pause", kPause},  {"stop", kStop},
};

// Parses "call:nth:error,call:nth:error", or ends the process.
std::vector<Fault> parse(std::string_view text) {
  std::vector<Fault> faults;
  while (!text.empty()) {
    const auto comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    // A missing ':' leaves no call, number or error to be found below.
    const auto first = item.find(':');
    const auto second = first == std::string_view::npos ? first : item.find(':', first + 1);
    const auto call = std::ranges::find(kCallNames, item.substr(0, first));
    const auto error = std::ranges::find(kErrors, item.substr(second + 1), &std::pair<std::string_view, int>::first);
    const auto nth = item.substr(first + 1, second - first - 1);
    int n = 0;
    const auto [end, ec] = std::from_chars(nth.data(), nth.data() + nth.size(), n);
    if (call == kCallNames.end() || error == std::end(kErrors) || ec != std::errc() || end != nth.data() + nth.size() ||
        n < 1) {
      std::fprintf(stderr, "svfsplit test seam: SVFSPLIT_FAULTS item '%.*s' is not call:nth:error\n",
                   static_cast<int>(item.size()), item.data());
      std::_Exit(125);
    }
    faults.push_back({static_cast<Call>(call - kCallNames.begin()), n, error->second, item});
  }
  return faults;
}

struct Seam {
  static void write_report();

  // The environment variable `name`, "" when it is not set.
  static std::string env(const char* name) { return platform::environment(name).value_or(""); }

  std::mutex mutex;                                   // the writer thread calls too
  const std::string faults = env("SVFSPLIT_FAULTS");  // which the faults' texts show
  std::vector<Fault> armed = parse(faults);
  std::array<int, kCallKinds> calls{};
  std::array<int, kCallKinds> reached{};
  std::string report_path = env("SVFSPLIT_FAULT_REPORT");
  std::string pause_path = env("SVFSPLIT_PAUSE_FILE");
  std::atomic<std::int64_t> clock_step{std::atoll(env("SVFSPLIT_CLOCK_STEP_MS").c_str())};
  std::atomic<std::int64_t> clock{0};
};

Seam& seam() {
  static Seam instance;
  // Registered once the seam is built, so that it runs before the seam
  // is destroyed.
  [[maybe_unused]] static const bool reporting = !instance.report_path.empty() && std::atexit(Seam::write_report) == 0;
  return instance;
}

void Seam::write_report() {
  Seam& s = seam();
  const std::lock_guard lock(s.mutex);
  std::FILE* f = std::fopen(s.report_path.c_str(), "w");
  if (f == nullptr)
    return;
  for (std::size_t c = 0; c < kCallNames.size(); ++c)
    std::fprintf(f, "calls %s %d\nreached %s %d\n", kCallNames[c].data(), s.calls[c], kCallNames[c].data(),
                 s.reached[c]);
  for (const Fault& fault : s.armed) {
    if (fault.fired)
      std::fprintf(f, "fired %.*s\n", static_cast<int>(fault.text.size()), fault.text.data());
  }
  std::fclose(f);
}

// Creates the file `path`, holding `name`, and waits, for half a minute at
// most, until it is gone or a stop is requested; it is gone then.
void pause(const std::string& path, std::string_view name) {
  // Written aside, so that it shows whole.
  std::FILE* f = std::fopen((path + "~").c_str(), "w");
  if (f == nullptr)
    return;
  std::fputs(std::string(name).c_str(), f);
  std::fclose(f);
  std::rename((path + "~").c_str(), path.c_str());
  for (int waited = 0; waited < 30000 && !platform::stop_requested(); waited += 5) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    f = std::fopen(path.c_str(), "r");
    if (f == nullptr)
      return;
    std::fclose(f);
  }
  std::remove(path.c_str());
}

// Counts a system call of kind `call` as made: the seam stands in for the
// syncs themselves (fdatasync and fsync, FlushFileBuffers on Windows).
void count_reached(Call call) {
  Seam& s = seam();
  const std::lock_guard lock(s.mutex);
  ++s.reached[static_cast<std::size_t>(call)];
}

}  // namespace

int fault(Call call, std::string_view name) {
  Seam& s = seam();
  int error = 0;
  std::unique_lock lock(s.mutex);
  const int n = ++s.calls[static_cast<std::size_t>(call)];
  for (Fault& f : s.armed) {
    if (f.call == call && f.nth == n) {
      f.fired = true;
      error = f.error;
    }
  }
  lock.unlock();
  if (error == kThrow)
    throw std::bad_alloc();
  if (error == kPause)
    pause(s.pause_path, name);
  if (error == kStop)
    platform::internal::note_stop_request(kStopCode);
  return error == kPause || error == kStop ? 0 : error;
}

std::int64_t clock_reading() {
  Seam& s = seam();
  const std::int64_t step = s.clock_step.load();
  return step <= 0 ? -1 : s.clock.fetch_add(step) + step;
}

void set_clock_step(std::int64_t ms) {
  seam().clock_step.store(ms);
}

}  // namespace svfsplit::test_seam

#if defined(_WIN32)
// The flushes of the test build: the program calls FlushFileBuffers
// through its import's address, which the test build holds here, so that
// each call lands in this function, counted as it reaches the system.
static BOOL WINAPI counted_flush(HANDLE file) {
  svfsplit::test_seam::count_reached(svfsplit::test_seam::Call::kSync);
  const auto flush = ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "FlushFileBuffers");
  return reinterpret_cast<BOOL(WINAPI*)(HANDLE)>(reinterpret_cast<void (*)()>(flush))(file);
}
extern "C" {
BOOL(WINAPI* __imp_FlushFileBuffers)(HANDLE) = counted_flush;
}
#else
// The syncs of the test build: the program's calls of fdatasync and fsync
// land here, counted as they reach the system, so that a call left out
// shows in the report.
extern "C" int fdatasync(int fd) {
  svfsplit::test_seam::count_reached(svfsplit::test_seam::Call::kSync);
  return static_cast<int>(::syscall(SYS_fdatasync, fd));
}

extern "C" int fsync(int fd) {
  svfsplit::test_seam::count_reached(svfsplit::test_seam::Call::kSync);
  return static_cast<int>(::syscall(SYS_fsync, fd));
}
#endif
