// The progress line: what it says, when it shows and moves, and that it
// shows on a terminal only. The clock is the test build's, stepped by
// hand: nothing here depends on timing.
#include "io/progress.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "cli.hpp"
#include "platform/test_seam.hpp"

namespace svfsplit::test {
namespace {

TEST(Progress, LineSaysHowFarAndHowFast) {
  struct Row {
    std::int64_t done, total, elapsed_ms;
    const char* line;
  };
  const std::int64_t huge = std::int64_t{1} << 62;
  const Row rows[] = {
      {1'200'000'000, 4'800'000'000, 3871, "svfsplit: 1.2 GB of 4.8 GB (25%), 310.0 MB/s"},
      {0, 0, 0, "svfsplit: 0 B of 0 B (100%), 0 B/s"},
      {999, 1000, 1000, "svfsplit: 999 B of 1.0 kB (99%), 999 B/s"},
      {huge - 1, huge, 1000, "svfsplit: 4611.7 PB of 4611.7 PB (99%), 4611.7 PB/s"},
      {1000, 1000, 1000, "svfsplit: 1.0 kB of 1.0 kB (100%), 1.0 kB/s"},
      {7000, 5000, 2000, "svfsplit: 5.0 kB of 5.0 kB (100%), 2.5 kB/s"},  // never past the size
      {-5, 5000, 2000, "svfsplit: 0 B of 5.0 kB (0%), 0 B/s"},
      {huge, huge, 1, "svfsplit: 4611.7 PB of 4611.7 PB (100%), 4611686.0 PB/s"},
  };
  for (const Row& row : rows) {
    const std::string line = progress_line(row.done, row.total, row.elapsed_ms);
    EXPECT_EQ(line, row.line);
    EXPECT_LT(line.size(), 80u);
  }
}

#if !defined(_WIN32)
// Nothing for the first second; then a line that moves at most every
// 250 ms, written over in place, and cleared at the end.
TEST(Progress, ShowsAfterASecondAndMovesAtMostFourTimesASecond) {
  test_seam::set_clock_step(100);
  ::testing::internal::CaptureStderr();
  {
    Progress progress(10'000'000);  // reads the clock once: 100 ms
    for (int i = 1; i <= 20; ++i)   // 200 ms to 2.1 s
      progress.at(i * 100'000);
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  test_seam::set_clock_step(0);
  // Shown at 1.1 s (1.0 s in), then at 1.4, 1.7 and 2.0 s.
  const std::string kFirst = "\rsvfsplit: 1.0 MB of 10.0 MB (10%), 1.0 MB/s";
  ASSERT_EQ(err.rfind(kFirst, 0), 0u) << err;
  std::size_t lines = 0;
  for (const char c : err) lines += c == '\r' ? 1 : 0;
  EXPECT_EQ(lines, 4u + 2u) << err;  // four lines, and the clearing's two
  EXPECT_NE(err.find("\rsvfsplit: 1.9 MB of 10.0 MB (19%), 1.0 MB/s"), std::string::npos) << err;
  std::string cleared(kFirst.size() + 1, ' ');
  cleared.front() = '\r';
  cleared.back() = '\r';
  EXPECT_EQ(err.substr(err.size() - cleared.size()), cleared);
}

// The binary, under a pseudo-terminal and not: standard output and the
// output file are the same either way.
TEST_F(Cli, ProgressShowsOnATerminalOnly) {
  const std::string input = "X\r\nSDR 40000000 TDI (1);\r\nRUNTEST 1 TCK;\r\n";
  write_file(dir_ / "a.svf", input);
  const std::string converted = convert_text(input).output;
  for (const bool terminal : {true, false}) {
    ProgramOptions options;
    options.binary = SVFSPLIT_SEAM_BINARY;
    options.environment = {{"SVFSPLIT_CLOCK_STEP_MS", "300"}};
    options.stderr_terminal = terminal;
    const auto r = run_program(dir_, {"svfsplit", "a.svf"}, options);
    EXPECT_EQ(r.status, 0) << terminal;
    EXPECT_EQ(r.out, kProcessing + kDone) << terminal;
    EXPECT_TRUE(holds(dir_ / "a.gvf", converted)) << terminal;
    if (!terminal) {
      EXPECT_EQ(r.err, "");
      continue;
    }
    EXPECT_EQ(r.err.rfind("\rsvfsplit: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.back(), '\r') << r.err;  // cleared
    // It moves inside the one long command, and never goes back.
    std::vector<int> shares;
    for (auto at = r.err.find(" of 42 B ("); at != std::string::npos; at = r.err.find(" of 42 B (", at + 1))
      shares.push_back(std::stoi(r.err.substr(at + 10)));
    ASSERT_GE(shares.size(), 2u) << r.err;
    EXPECT_TRUE(std::is_sorted(shares.begin(), shares.end())) << r.err;
    EXPECT_LT(shares.front(), shares.back()) << r.err;
  }
}
#endif

}  // namespace
}  // namespace svfsplit::test
