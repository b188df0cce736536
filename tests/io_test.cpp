// The windowed input against a plain reading of the same bytes, and the
// buffered output's blocks and errors.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "convert/convert.hpp"
#include "helpers.hpp"
#include "io/input.hpp"
#include "io/output.hpp"

namespace svfsplit {
namespace {

// Windows whose edges fall anywhere, across 64-byte steps and pages; the
// bytes at offset X lie at an address congruent to X modulo 64.
TEST(Input, MatchesPlainReadingUnderRandomSeeks) {
  std::mt19937 rng(7);
  std::string data(9000, '\0');
  for (auto& c : data) c = static_cast<char>(rng());
  const Source source = Source::memory({reinterpret_cast<const unsigned char*>(data.data()), data.size()});
  const auto size = static_cast<std::int64_t>(data.size());
  for (const std::size_t window : {1, 2, 3, 16, 63, 64, 65, 100, 4095, 4096, 4097}) {
    Input in(source, window);
    std::int64_t pos = 0;  // the reference position
    for (int step = 0; step < 20000; ++step) {
      switch (rng() % 5) {
        case 0:  // seek anywhere, past the end included
          pos = static_cast<std::int64_t>(rng() % (data.size() + 20));
          in.seek(pos);
          break;
        case 1:  // a short hop backwards, as the digit readers make
          pos = std::max<std::int64_t>(0, pos - static_cast<std::int64_t>(rng() % 5));
          in.seek(pos);
          break;
        case 2: {
          const auto run = rng() % 2 ? in.ahead() : in.ahead_in_full();
          const auto expected = pos < size ? static_cast<std::size_t>(size - pos) : 0;
          ASSERT_LE(run.size(), expected);
          ASSERT_EQ(run.empty(), expected == 0) << "window " << window << " at " << pos;
          if (!run.empty()) {
            ASSERT_EQ(std::string(run.begin(), run.end()), data.substr(static_cast<std::size_t>(pos), run.size()));
            ASSERT_EQ(reinterpret_cast<std::uintptr_t>(run.data()) % 64, static_cast<std::uintptr_t>(pos) % 64);
          }
          break;
        }
        case 3: {
          if (pos > size)
            break;
          const auto floor = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(pos + 1));
          const auto run = in.behind(floor);
          ASSERT_EQ(run.empty(), pos == floor) << "window " << window << " at " << pos;
          ASSERT_LE(run.size(), static_cast<std::size_t>(pos));
          ASSERT_EQ(std::string(run.begin(), run.end()),
                    data.substr(static_cast<std::size_t>(pos) - run.size(), run.size()));
          break;
        }
        default: {
          const int c = in.get();
          const int expected = pos < size ? static_cast<unsigned char>(data[static_cast<std::size_t>(pos)]) : kEnd;
          ASSERT_EQ(c, expected) << "window " << window << " at " << pos;
          if (c != kEnd)
            ++pos;
          break;
        }
      }
      ASSERT_EQ(in.tell(), pos);
    }
  }
}

#if !defined(_WIN32)
// Offsets past 4 GiB, which a 32-bit system (armhf) must carry in 64 bits:
// commands placed beyond 4 GiB in a sparse file, converted from there
// through the main window and through the field readers, give the bytes
// they give in memory. (NTFS files are not sparse unless asked: Windows
// would write 5 GiB of zeros.)
TEST(Input, OffsetsPastFourGiB) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("svfsplit-sparse-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  const std::int64_t at = (std::int64_t{5} << 30) + 4093;  // across a page and a 64-byte step
  std::string text = "\nSDR 9000 TDI (";
  for (int line = 0; line < 36; ++line) text += test::hex_digits(64, line) + "\r\n\t";
  text += ") TDO (" + test::hex_digits(2250, 1) + ")\r\n MASK (" + test::hex_digits(2250, 2) + ");\r\nRUNTEST;\r\n";
  ASSERT_TRUE(std::ofstream(path, std::ios::binary).seekp(at) << text);  // sparse before `at`
  platform::File file;
  ASSERT_EQ(platform::open_input(path.string(), file), 0);
  for (const std::size_t window : {std::size_t{100}, std::size_t{4096}, Input::kDefaultWindow}) {
    const Source source = Source::file(file);
    Input in(source, window);
    in.seek(at);
    std::string converted;
    Output out(converted);
    EXPECT_EQ(convert_stream(in, out).unsplit_count, 0u) << window;
    out.flush();
    EXPECT_TRUE(source.error() == 0 && converted == test::convert_text(text).output) << window;
  }
  platform::close(file);
  std::filesystem::remove(path);
}
#endif

TEST(Input, ReadErrorEndsTheInputAndIsKept) {
  platform::File file;
  if (platform::open_input("/proc/self/mem", file) != 0)
    GTEST_SKIP() << "no /proc/self/mem";
  const Source source = Source::file(file);
  Input in(source, 64);
  EXPECT_EQ(in.get(), kEnd);
  EXPECT_NE(source.error(), 0);
}

enum class Sink { kString, kFile, kFileFromSecondThread };

// Writes numbered lines, some built in place, through `out`.
void write_lines(Output& out) {
  for (int i = 0; i < 500; ++i) {
    const std::string head = "SDRS 256 TDI (" + std::to_string(i) + ") ;\nx";
    out.write(head.data(), head.size());
    const auto filler = static_cast<std::size_t>(i % 7) * 40;
    if (char* room = out.room(filler)) {
      std::memset(room, 'y', filler);
      out.added(filler);
    } else {
      out.write(std::string(filler, 'y').data(), filler);
    }
  }
}

// Small buffers hand blocks over to the second thread constantly.
TEST(Output, KeepsEveryByteWhateverTheBufferSize) {
  std::string expected;
  for (int i = 0; i < 500; ++i)
    expected +=
        "SDRS 256 TDI (" + std::to_string(i) + ") ;\nx" + std::string(static_cast<std::size_t>(i % 7) * 40, 'y');
  for (const Sink sink : {Sink::kString, Sink::kFile, Sink::kFileFromSecondThread}) {
    for (const std::size_t buffer : {1, 2, 5, 64, 4096, 1 << 20}) {
      if (sink == Sink::kFileFromSecondThread && buffer < 5)
        continue;  // a block handed over per byte or two: slow, and nothing new
      std::string written;
      const auto folder_name = std::filesystem::temp_directory_path();
      const std::string name = "svfsplit-output-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed());
      platform::Folder folder;
      platform::File file;
      if (sink != Sink::kString) {
        ASSERT_EQ(platform::open_folder((folder_name / "").string(), folder), 0);
        ASSERT_EQ(platform::create_temporary(folder, name + ".tmp", file), 0);
      }
      {
        const auto writer =
            sink == Sink::kFileFromSecondThread ? Output::Writer::kSecondThread : Output::Writer::kThisThread;
        auto out = sink == Sink::kString ? std::make_unique<Output>(written, buffer)
                                         : std::make_unique<Output>(file, writer, buffer);
        write_lines(*out);
        ASSERT_TRUE(out->flush());
      }
      if (sink != Sink::kString) {
        ASSERT_EQ(platform::replace(folder, file, name + ".tmp", name), 0);
        written = test::read_file(folder_name / name);
        // A name that is taken is never given to another temporary file.
        platform::File again;
        platform::Error error = platform::create_temporary(folder, name, again);
        if (error == 0)
          error = platform::replace(folder, again, name, name + ".other");
        EXPECT_EQ(error, EEXIST);
        EXPECT_EQ(test::read_file(folder_name / name), written);
        if (again.is_open())
          platform::discard(folder, again, name);  // nameless: closed only
        platform::discard(folder, file, name);
      }
      EXPECT_EQ(written, expected) << "buffer " << buffer << ", sink " << static_cast<int>(sink);
    }
  }
}

TEST(Output, RecordsTheFirstWriteError) {
  platform::Folder dev;
  platform::File file;
  if (platform::open_folder("/dev/", dev) != 0 || platform::open_existing_output(dev, "full", file) != 0)
    GTEST_SKIP() << "no /dev/full";
  for (const auto writer : {Output::Writer::kThisThread, Output::Writer::kSecondThread}) {
    Output out(file, writer, 16);
    out.write(std::string(100, 'x').data(), 100);
    EXPECT_FALSE(out.flush());
    EXPECT_EQ(out.error(), ENOSPC);
    EXPECT_TRUE(out.failed());
  }
}

}  // namespace
}  // namespace svfsplit
