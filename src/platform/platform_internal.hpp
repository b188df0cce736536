// What the platform layer's two system files share, written once in
// platform.cpp: the stop request, the test seam's retry loop and the
// short transfers it asks for. Included by the platform layer only.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/platform.hpp"
#include "platform/test_seam.hpp"

namespace svfsplit::platform::internal {

using test_seam::Call;

// The system's reason for an errno-style error.
std::string system_error_text(Error error);

// Records a request to stop under `code` (a signal number, or a console
// event's number plus one) in g_stop, unless one was recorded before.
// Called from signal handlers: async-signal-safe.
void note_stop_request(int code) noexcept;

// Runs a system call until it is not interrupted, or a stop was requested.
// The test seam may fail it first, or (test_seam::kShort) have it do part
// of its work: `call` is given what the seam said and returns 0 or an
// errno-style error. `name` is the file it makes, where a test may want to
// know it.
template <class SystemCall>
Error attempt(Call kind, SystemCall call, std::string_view name = {}) {
  for (;;) {
    const int fault = test_seam::fault(kind, name);
    const Error error = fault > 0 ? fault : call(fault);
    if (error != EINTR || stop_requested())
      return error;
  }
}

// How much of `size` one call transfers: all of it, or half when the test
// seam asks for a short transfer, as the system may make.
std::size_t part(std::size_t size, int fault);

// The result of closing a file, given what the system said: the test
// seam's fault replaces it, and an interruption counts as closed unless the
// run is to stop (the file is gone either way).
Error after_close(Error error);

// Windows names: a full path (as GetFullPathNameW gives it, in UTF-8) in
// the form that lifts the 260-character limit when it, or a temporary name
// up to `extra` characters longer, could pass that limit: "\\?\C:\..." for
// a drive, "\\?\UNC\server\share\..." for a share. Shorter paths, paths
// that are not full and paths already in a device form ("\\?\", "\\.\")
// are kept as they are.
std::string extended_length_path(std::string_view full, std::size_t extra);

#if defined(_WIN32)
// The errno-style code for a Windows error: errno's own where one says the
// same, kInUse, or one that error_text() tells by the system's own text.
Error windows_error(unsigned long code);
#endif

}  // namespace svfsplit::platform::internal
