// A long command placed beyond 4 GiB in a sparse file converts correctly:
// no offset on the way is narrower than 64 bits. Slow (it reads 4 GiB of
// zeros), so it is labelled "slow" and left out of the default test run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <thread>

#include "helpers.hpp"

namespace svfsplit::test {
namespace {

TEST(LargeOffset, LongCommandBeyondFourGiB) {
  const auto path = std::filesystem::temp_directory_path() / ("svfsplit-sparse-" + std::to_string(::getpid()));
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  const std::int64_t gap = (std::int64_t{4} << 30) + 12345;
  const std::string tail =
      "\nSDR 300 TDI (" + hex_digits(75) + ")\r\n TDO (" + hex_digits(75, 1) + ");\r\nRUNTEST 1 TCK;\r\n";
  ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), gap), static_cast<ssize_t>(tail.size()));

  // The output goes through a pipe; only its length and its end are kept.
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  std::uint64_t received = 0;
  std::string last;
  std::thread reader([&] {
    std::vector<char> buf(1 << 20);
    for (ssize_t n; (n = ::read(pipe_fds[0], buf.data(), buf.size())) > 0;) {
      received += static_cast<std::uint64_t>(n);
      last.append(buf.data(), static_cast<std::size_t>(n));
      if (last.size() > 8192)
        last.erase(0, last.size() - 4096);
    }
  });
  platform::File input, output;
  ASSERT_EQ(platform::open_input(path.string(), input), 0);
  ASSERT_EQ(platform::open_existing_output("/dev/fd/" + std::to_string(pipe_fds[1]), output), 0);
  ::close(pipe_fds[1]);
  const Source source = Source::file(input);
  std::optional<ConvertReport> report;
  {
    Input in(source);
    Output out(output);
    report = convert_stream(in, out);
    EXPECT_TRUE(out.flush());
  }
  platform::close(output);
  reader.join();
  ::close(pipe_fds[0]);
  ::close(fd);
  std::filesystem::remove(path);

  EXPECT_EQ(source.error(), 0);
  EXPECT_EQ(report->unsplit_count, 0u);
  const std::string expected_tail = convert_text("X" + tail).output.substr(1);
  EXPECT_EQ(received, static_cast<std::uint64_t>(gap) + expected_tail.size());
  ASSERT_GE(last.size(), expected_tail.size());
  EXPECT_EQ(last.substr(last.size() - expected_tail.size()), expected_tail);
  EXPECT_NE(expected_tail.find("SDRS 256 TDI ("), std::string::npos);
}

}  // namespace
}  // namespace svfsplit::test
