// A long command placed beyond 4 GiB in a sparse file converts correctly:
// no offset on the way is narrower than 64 bits. Slow (it reads 4 GiB of
// zeros), so it is labelled "slow" and left out of the default test run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
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

  // The output goes through a FIFO; only its length and its end are kept.
  const auto folder_name = std::filesystem::temp_directory_path();
  const std::string fifo = "svfsplit-fifo-" + std::to_string(::getpid());
  ASSERT_EQ(::mkfifo((folder_name / fifo).c_str(), 0600), 0);
  const int reading = ::open((folder_name / fifo).c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reading, 0);
  platform::Folder folder;
  platform::File input, output;
  ASSERT_EQ(platform::open_input(path.string(), input), 0);
  ASSERT_EQ(platform::open_folder((folder_name / "").string(), folder), 0);
  ASSERT_EQ(platform::open_existing_output(folder, fifo, output), 0);
  std::filesystem::remove(folder_name / fifo);
  ASSERT_EQ(::fcntl(reading, F_SETFL, 0), 0);
  std::uint64_t received = 0;
  std::string last;
  std::thread reader([&] {
    std::vector<char> buf(1 << 20);
    for (ssize_t n; (n = ::read(reading, buf.data(), buf.size())) > 0;) {
      received += static_cast<std::uint64_t>(n);
      last.append(buf.data(), static_cast<std::size_t>(n));
      if (last.size() > 8192)
        last.erase(0, last.size() - 4096);
    }
  });
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
  ::close(reading);
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
