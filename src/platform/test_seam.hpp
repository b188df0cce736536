// The seam through which tests make the platform layer fail, and drive
// its clock. It exists only in the test build (SVFSPLIT_TEST_SEAM); the
// shipped program has no hooks and reads no environment variable.
//
// The test build reads, once, from its environment:
//   SVFSPLIT_FAULTS="write:3:ENOSPC,close:1:EIO"  fails the 3rd write and
//       the 1st close; "short" in place of an error makes a read or write
//       do part of its work, as the system may, "throw" makes the call
//       throw std::bad_alloc, "stop" requests a stop as Ctrl+C does, just
//       before the call runs, and "pause" makes it wait, before it runs,
//       while the file SVFSPLIT_PAUSE_FILE, which it creates (with the name
//       of the file the call makes, if any), exists and no stop is
//       requested: the test changes what the call will find meanwhile, then
//       removes the file. An item that does not parse ends the process with
//       status 125 and a message: a misspelt fault must not pass for a run
//       without faults.
//   SVFSPLIT_FAULT_REPORT=PATH  at exit, writes to PATH how many calls of
//       each kind were made ("calls write 4"), how many of them reached
//       the system where that is counted ("reached sync 2"), and each fault
//       that fired ("fired write:3:ENOSPC").
//   SVFSPLIT_CLOCK_STEP_MS=N  the clock advances N ms at each reading.
#pragma once

#include <cstdint>
#include <string_view>

namespace svfsplit::test_seam {

enum class Call {
  kOpen,  // open_input, open_existing_output
  kCreate,
  kStatus,
  kResolve,
  kPermissions,
  kRead,
  kWrite,
  kClose,
  kRename,
  kRemove,
  kPrint,
  kLink,  // a temporary file given its name
  kSync,
};
inline constexpr int kCallKinds = 13;

// What fault() returns for a call that is to do only part of its work.
inline constexpr int kShort = -1;

#if defined(SVFSPLIT_TEST_SEAM)
// The error this call is to fail with, kShort, or 0 to run normally.
int fault(Call call, std::string_view name = {});
// The clock reading, or -1 to read the system's.
std::int64_t clock_reading();
// Makes the clock advance `ms` at each reading from now on; 0: the system's.
void set_clock_step(std::int64_t ms);
#else
constexpr int fault(Call, std::string_view = {}) {
  return 0;
}
constexpr std::int64_t clock_reading() {
  return -1;
}
#endif

}  // namespace svfsplit::test_seam
