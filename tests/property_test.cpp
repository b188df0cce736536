// Generated long commands, and the real SVF files beside the checkout: the
// segment runs of the output, joined back, carry exactly the bits of the
// commands they replace.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "cli.hpp"
#include "convert/kernels/kernels.hpp"
#include "svf_reader.hpp"

namespace svfsplit::test {
namespace {

class CommandWriter {
 public:
  explicit CommandWriter(std::uint32_t seed) : rng_(seed) {}

  // A long SDR with random length, fields, wrapping and line ends.
  std::string command(const std::string& eol) {
    const auto length = pick(257, 6000);
    const auto field_count = pick(1, 3);
    std::string s = "SDR " + std::to_string(length);
    static const char* kNames[] = {"TDI", "TDO", "MASK"};
    for (std::uint32_t f = 0; f < field_count; ++f) {
      s += pick(0, 1) ? " " : "";
      s += kNames[f];
      s += pick(0, 1) ? " (" : "(";
      s += hex(digit_count(length), eol);
      s += ")";
      if (pick(0, 3) == 0)
        s += eol + "\t";
    }
    return s + (pick(0, 1) ? ";" : " ;") + eol;
  }

  std::uint32_t pick(std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng_);
  }

 private:
  // Exact, short (zero-extended) or surplus (leading digits dropped).
  std::size_t digit_count(std::uint32_t length) {
    const std::size_t exact = (length + 3) / 4;
    switch (pick(0, 3)) {
      case 0:
        return pick(0, static_cast<std::uint32_t>(exact - 1));
      case 1:
        return exact + pick(1, 20);
      default:
        return exact;
    }
  }

  // Hex digits, in either case, wrapped at a random width with indented
  // continuation lines.
  std::string hex(std::size_t n, const std::string& eol) {
    static constexpr char kHex[] = "0123456789abcdefABCDEF";
    const std::size_t width = pick(0, 1) ? n + 1 : pick(8, 130);
    const std::string indent = pick(0, 1) ? "\t" : "   ";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0 && i % width == 0)
        s += eol + indent;
      s += kHex[pick(0, 21)];
    }
    return s;
  }

  std::mt19937 rng_;
};

void expect_bits_kept(const std::string& input, const std::string& output, std::size_t expected_long,
                      const std::string& what) {
  const auto wanted = long_commands(read_scan_commands(input));
  std::size_t too_long = 0;
  const auto joined = joined_segments(read_scan_commands(output), too_long);
  EXPECT_EQ(wanted.size(), expected_long) << what;
  EXPECT_EQ(too_long, 0u) << what;
  ASSERT_EQ(joined.size(), wanted.size()) << what;
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    ASSERT_EQ(joined[i].length, wanted[i].length) << what << ", long command " << i;
    ASSERT_TRUE(joined[i] == wanted[i]) << what << ", long command " << i;
  }
}

TEST(Property, SegmentsJoinBackToTheCommand) {
  for (std::uint32_t seed = 1; seed <= 60; ++seed) {
    CommandWriter writer(seed);
    const std::string eol = seed % 2 ? "\r\n" : "\n";
    std::string input = "! generated" + eol + "STATE RESET;" + eol;
    const auto count = writer.pick(1, 6);
    for (std::uint32_t i = 0; i < count; ++i) {
      if (writer.pick(0, 1))
        input += "SIR 8 TDI (02);" + eol + (writer.pick(0, 1) ? eol : "");
      input += writer.command(eol);
    }
    input += "RUNTEST 10 TCK;" + eol;
    const auto result = convert_text(input, writer.pick(0, 1) ? 16 : Input::kDefaultWindow);
    EXPECT_EQ(result.report.unsplit_count, 0u) << "seed " << seed;
    expect_bits_kept(input, result.output, count, "seed " + std::to_string(seed));
  }
}

TEST(Property, RealFilesKeepEveryBit) {
  const fs::path folder = fs::path(SVFSPLIT_SOURCE_DIR) / ".." / "shared" / "real-svf";
  if (!fs::is_directory(folder))
    GTEST_SKIP() << "no real SVF files beside the checkout (" << folder << ")";
  const fs::path scratch = fs::temp_directory_path() /
                           ("svfsplit-real-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  fs::create_directories(scratch);
  std::size_t files = 0, split = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() != ".svf")
      continue;
    const std::string input = read_file(entry.path());
    const auto result = convert_text(input);
    EXPECT_EQ(result.report.unsplit_count, 0u) << entry.path();
    const auto wanted = long_commands(read_scan_commands(input)).size();
    expect_bits_kept(input, result.output, wanted, entry.path().filename().string());
    // The program writes the same bytes with every version of the kernels
    // that the processor runs (the bundled samples are converted with each
    // by the replay of the fuzz target).
    for (const KernelVersion* version : runnable_kernel_versions()) {
      std::ofstream(scratch / "f.svf", std::ios::binary) << input;
      ProgramOptions options;
      options.environment = {{"SVFSPLIT_KERNEL", version->name}};
      EXPECT_EQ(run_program(scratch, {"svfsplit", "f.svf"}, options).status, 0) << version->name << entry.path();
      EXPECT_TRUE(holds(scratch / "f.gvf", result.output)) << version->name << entry.path();
    }
    ++files;
    split += wanted;
  }
  fs::remove_all(scratch);
  std::cout << "[ real files ] " << files << " files, " << split << " long SDR commands split and checked\n";
  EXPECT_GT(files, 0u);
}

}  // namespace
}  // namespace svfsplit::test
