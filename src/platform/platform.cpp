// The platform layer's code that calls no system: the stop request, the
// clock, and the pieces the test seam hooks into.
#include "platform/platform.hpp"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>

#include "platform/platform_internal.hpp"

namespace svfsplit::platform {

namespace internal {

std::atomic<int> g_stop{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler sets it");
// Whether a request to stop ends the process at once (stop_at_once()).
std::atomic<bool> g_at_once{false};

void note_stop_request(int code) noexcept {
  int none = 0;
  g_stop.compare_exchange_strong(none, code);
  if (g_at_once.load())
    end_by_stop_request();
}

std::size_t part(std::size_t size, int fault) {
  return fault == test_seam::kShort && size > 1 ? size / 2 : size;
}

Error after_close(Error error) {
  if (const int fault = test_seam::fault(Call::kClose); fault > 0)
    error = fault;
  return error == EINTR && !stop_requested() ? 0 : error;
}

std::string extended_length_path(std::string_view full, std::size_t extra) {
  constexpr std::size_t kMaxPath = 260;  // with the terminating null
  const bool device = full.starts_with("\\\\?\\") || full.starts_with("\\\\.\\");
  const bool drive = full.size() >= 3 && full[1] == ':' && (full[2] == '\\' || full[2] == '/');
  const bool share = full.starts_with("\\\\") || full.starts_with("//");
  if (device || !(drive || share) || full.size() + extra < kMaxPath)
    return std::string(full);
  std::string path(full);
  for (char& c : path) c = c == '/' ? '\\' : c;
  return share ? "\\\\?\\UNC\\" + path.substr(2) : "\\\\?\\" + path;
}

}  // namespace internal

void stop_at_once() {
  // Set before the look, so that a request noted meanwhile is seen by one
  // of the two.
  internal::g_at_once.store(true);
  if (internal::g_stop.load() != 0)
    end_by_stop_request();
}

std::string error_text(Error error) {
  return error == kForeignLink   ? "symbolic link owned by another user in a shared folder"
         : error == kInUse       ? "in use by another program"
         : error == kForeignFile ? "special file owned by another user in a shared folder"
                                 : internal::system_error_text(error);
}

std::size_t last_component(std::string_view name, PathStyle style) {
  const auto separator = name.find_last_of(style == PathStyle::kWindows ? "\\/" : "/");
  if (separator != std::string_view::npos)
    return separator + 1;
  const bool drive = style == PathStyle::kWindows && name.size() >= 2 && name[1] == ':' &&
                     ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
  return drive ? 2 : 0;
}

NameChar name_char_at(std::string_view name, std::size_t i) {
  const auto byte = [&](std::size_t k) { return i + k < name.size() ? static_cast<unsigned char>(name[i + k]) : 0u; };
  const unsigned lead = byte(0);
  const std::size_t size = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
  char32_t code = size == 1 ? lead : lead & (0x7fu >> size);
  for (std::size_t k = 1; k < size; ++k) {
    if ((byte(k) & 0xc0) != 0x80)
      return {lead, 1, false};
    code = code << 6 | (byte(k) & 0x3f);
  }
  // No byte that cannot lead, overlong form or code point past U+10FFFF.
  constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if ((lead >= 0x80 && lead < 0xc2) || lead > 0xf4 || code < kLeast[size] || code > 0x10ffff)
    return {lead, 1, false};
  return {code, size, true};
}

bool console_closes_with_the_run(const ConsoleReport& console) {
  return console.processes == 1 && console.input_is_console && console.output_is_console && console.seen;
}

std::optional<std::string> environment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

std::int64_t monotonic_milliseconds() {
  if (const auto reading = test_seam::clock_reading(); reading >= 0)
    return reading;
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace svfsplit::platform
