// Running the real binary, as a user would, and what it left behind.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace svfsplit::test {

namespace fs = std::filesystem;

struct ProgramRun {
  int status = -1;  // exit status, or -1 when ended by a signal
  int signal = 0;
  std::string out;  // with CR LF read as LF, as on POSIX systems
  std::string err;
  std::string out_bytes;  // as written
};

struct ProgramOptions {
  // The shipped binary, or the test build with the platform seam.
  std::string binary = SVFSPLIT_BINARY;
  // Set in the child's environment (the test build reads SVFSPLIT_*).
  std::vector<std::pair<std::string, std::string>> environment;

  // Streams the program starts without: none at all on Windows.
  bool stdin_closed = false;
  bool stderr_closed = false;
  enum class Stdout { kPipe, kFull, kClosedPipe, kClosed, kFilledPipe } stdout_kind = Stdout::kPipe;
  // Ends the run once `signal_when` holds (polled), or after `delay`: by
  // this signal on POSIX systems, by TerminateProcess on Windows.
  int signal = 0;
  std::function<bool()> signal_when;
  std::chrono::milliseconds delay{0};

  // The rest works on POSIX systems only (and kPipe, kClosedPipe and kClosed above).
  std::uint64_t file_size_limit = 0;  // bytes; 0: none
  std::uint64_t memory_limit = 0;     // address space, bytes; 0: none
  bool stderr_terminal = false;       // a pseudo-terminal, instead of a pipe
  int ignored_signal = 0;             // ignored from the start, as nohup does
  int umask = -1;                     // the child's umask; -1: the test's own
  bool as_unprivileged = false;       // run as "nobody" when the tests run as root
  bool own_user_namespace = false;    // in a user namespace without ids (exits with 126 where none can be made)
};

ProgramRun run_program(const fs::path& dir, const std::vector<std::string>& args, const ProgramOptions& options = {});

#if defined(_WIN32)
// Starts a program beside the test and leaves it running; wait_for() waits
// for its end and gives its exit status.
std::uintptr_t start_program(const fs::path& dir, const std::string& binary, const std::vector<std::string>& args);
int wait_for(std::uintptr_t process);
#endif

// Whether the tests run with the privileges that bypass file permissions.
bool running_as_root();
// Whether run_program can drop those privileges for `as_unprivileged`.
bool can_run_unprivileged();

// The names in `dir` that start with '.': temporary files left behind.
std::vector<std::string> hidden_entries(const fs::path& dir);

// The size of the first temporary file in `dir`, 0 when there is none.
std::uintmax_t temporary_size(const fs::path& dir);

}  // namespace svfsplit::test
