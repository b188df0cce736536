// The program end to end: the real binary on temporary files, its
// standard output, exit status, and what it leaves on disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "driver.hpp"
#include "helpers.hpp"

namespace svfsplit::test {
namespace {

namespace fs = std::filesystem;

const std::string kProcessing = "Processing SDR command...\n";
const std::string kDone = "\nConversion successfully completed!!!\n";

void write_file(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

struct Run {
  int status = -1;  // exit status, or -1 when ended by a signal
  int signal = 0;
  std::string out;
};

struct RunOptions {
  rlim_t file_size_limit = RLIM_INFINITY;
  rlim_t memory_limit = RLIM_INFINITY;  // address space
  bool stdout_full = false;
  int signal = 0;  // sent once the output file has grown, or after a delay
  fs::path watch;  // the file whose growth triggers the signal
  std::chrono::milliseconds delay{0};
};

RunOptions size_limit(rlim_t bytes) {
  RunOptions o;
  o.file_size_limit = bytes;
  return o;
}

RunOptions stdout_full() {
  RunOptions o;
  o.stdout_full = true;
  return o;
}

RunOptions signal_when_growing(int sig, fs::path watch) {
  RunOptions o;
  o.signal = sig;
  o.watch = std::move(watch);
  return o;
}

// Runs the binary in `dir` with `args` (argv[0] included).
Run run(const fs::path& dir, const std::vector<std::string>& args, const RunOptions& options = {}) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0)
    return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    if (options.stdout_full) {
      const int full = ::open("/dev/full", O_WRONLY);
      ::dup2(full, 1);
    } else {
      ::dup2(pipe_fds[1], 1);
    }
    if (::chdir(dir.c_str()) != 0)
      ::_exit(127);
    if (options.file_size_limit != RLIM_INFINITY) {
      const rlimit limit{options.file_size_limit, options.file_size_limit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.memory_limit != RLIM_INFINITY) {
      const rlimit limit{options.memory_limit, options.memory_limit};
      ::setrlimit(RLIMIT_AS, &limit);
    }
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(SVFSPLIT_BINARY, argv.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  std::atomic<bool> ended{false};
  std::thread watchdog;
  if (options.signal != 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::error_code ec;
    if (options.watch.empty())
      std::this_thread::sleep_for(options.delay);
    while (!options.watch.empty() && std::chrono::steady_clock::now() < deadline &&
           !(fs::exists(options.watch, ec) && fs::file_size(options.watch, ec) > 0))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ::kill(pid, options.signal);
    // A run that ignores the signal is killed (and shows as such) rather
    // than left to hang the test.
    watchdog = std::thread([pid, &ended] {
      for (int i = 0; i < 1000 && !ended; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (!ended)
        ::kill(pid, SIGKILL);
    });
  }
  Run result;
  char buf[4096];
  for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;) result.out.append(buf, static_cast<std::size_t>(n));
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ended = true;
  if (watchdog.joinable())
    watchdog.join();
  if (WIFEXITED(status))
    result.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    result.signal = WTERMSIG(status);
  return result;
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("svfsplit-cli-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::size_t entries() const { return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {})); }

  fs::path dir_;
};

const std::string kBoardInput = "! board\r\nSIR 8 TDI (03);\r\nSDR 300 TDI (" + hex_digits(75) + ")\r\n TDO (" +
                                hex_digits(75, 1) + ")\r\n MASK (" + hex_digits(75, 2) + ");\r\nRUNTEST 1 TCK;\r\n";

TEST(OutputName, LandsBesideTheInput) {
  const std::pair<const char*, const char*> rows[] = {
      {"file.svf", "file.gvf"},
      {"a.b.svf", "a.gvf"},
      {"file.", "file.gvf"},
      {"file.SVF", "file.gvf"},
      {"file", "file.gvf"},
      {"./data/file.svf", "./data/file.gvf"},
      {"../x.svf", "../x.gvf"},
      {"dir.d/file.svf", "dir.d/file.gvf"},
      {"dir.d/file", "dir.d/file.gvf"},
      {"/abs/x.y/z.svf", "/abs/x.y/z.gvf"},
      {".hidden", ".gvf"},
      {"x.gvf", "x.gvf"},
  };
  for (const auto& [input, output] : rows) EXPECT_EQ(derive_output_name(input), output) << input;
  const std::string long_name(5000, 'n');
  EXPECT_EQ(derive_output_name(long_name + ".svf"), long_name + ".gvf");
}

TEST_F(Cli, WrongArgumentCountPrintsUsageOnly) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"svfsplit"}, {"./my-tool", "a.svf", "b.svf"}}) {
    const auto r = run(dir_, args);
    EXPECT_EQ(r.out, "Usage: " + args[0] + " original_filename (e.g.: file.svf)\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(entries(), 0u);
  }
}

TEST_F(Cli, HelpAndVersion) {
  const auto help = run(dir_, {"svfsplit", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: svfsplit original_filename (e.g.: file.svf)\n", 0), 0u);
  const auto version = run(dir_, {"svfsplit", "--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("svfsplit ", 0), 0u);
  EXPECT_EQ(entries(), 0u);
}

TEST_F(Cli, InputThatCannotBeOpenedCreatesNothing) {
  fs::create_directory(dir_ / "folder.svf");
  ASSERT_EQ(::mkfifo((dir_ / "pipe.svf").c_str(), 0600), 0);
  for (const char* name : {"missing.svf", "folder.svf", "pipe.svf", "/dev/null"}) {
    const auto r = run(dir_, {"svfsplit", name});
    EXPECT_EQ(r.out, "Could not open file\n") << name;
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(entries(), 2u) << name;
  }
}

TEST_F(Cli, OutputThatCannotBeOpened) {
  write_file(dir_ / "a.svf", kBoardInput);
  fs::create_directory(dir_ / "a.gvf");
  const auto r = run(dir_, {"svfsplit", "a.svf"});
  EXPECT_EQ(r.out, "Could not open file\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(Cli, RefusesToOverwriteTheInput) {
  struct Row {
    const char* input;
    const char* link_kind;  // how a.gvf reaches the input
  };
  for (const Row row : {Row{"x.gvf", "none"}, Row{"a.svf", "symbolic"}, Row{"a.svf", "hard"}}) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    write_file(dir_ / row.input, kBoardInput);
    if (std::string(row.link_kind) == "symbolic")
      fs::create_symlink("a.svf", dir_ / "a.gvf");
    if (std::string(row.link_kind) == "hard")
      fs::create_hard_link(dir_ / "a.svf", dir_ / "a.gvf");
    const auto r = run(dir_, {"svfsplit", row.input});
    const std::string output = row.input == std::string("x.gvf") ? "x.gvf" : "a.gvf";
    EXPECT_EQ(r.out, "Could not write " + output + ": it is the input file\n") << row.link_kind;
    EXPECT_EQ(r.status, 1) << row.link_kind;
    EXPECT_EQ(read_file(dir_ / row.input), kBoardInput) << row.link_kind;
  }
}

TEST_F(Cli, ConvertsAndReportsSuccess) {
  fs::create_directory(dir_ / "data.d");
  write_file(dir_ / "data.d" / "board.svf", kBoardInput);
  // An older, longer output is replaced whole.
  write_file(dir_ / "data.d" / "board.gvf", std::string(100000, 'x'));
  const auto r = run(dir_, {"svfsplit", "data.d/board.svf"});
  EXPECT_EQ(r.out, kProcessing + kDone);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(dir_ / "data.d" / "board.gvf"), convert_text(kBoardInput).output);
  EXPECT_NE(read_file(dir_ / "data.d" / "board.gvf"), kBoardInput);
}

TEST_F(Cli, UnsplitCommandsAreReportedWithStatus3) {
  std::string input = "X\n";
  for (int i = 0; i < 12; ++i) input += "SDR 300;\n";
  write_file(dir_ / "a.svf", input);
  const auto r = run(dir_, {"svfsplit", "a.svf"});
  std::string expected = kProcessing;
  for (int i = 0; i < 10; ++i)
    expected += "Warning: line " + std::to_string(i + 2) + ": SDR of 300 bits copied unsplit\n";
  expected += "Warning: 2 more SDR commands copied unsplit\n" + kDone;
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(read_file(dir_ / "a.gvf"), input);
}

// A long command with a one-digit field writes far more than it reads:
// the file-size limits below fall before, inside and after its segments.
const std::string kBigOutputInput = "X\nSDR 1000000 TDI (1) TDO (2);\nRUNTEST 1 TCK;\n";

TEST_F(Cli, FullDiskRemovesTheOutput) {
  write_file(dir_ / "a.svf", kBigOutputInput);
  for (const rlim_t limit : {rlim_t{1}, rlim_t{1024}, rlim_t{65536}, rlim_t{100000}}) {
    const auto r = run(dir_, {"svfsplit", "a.svf"}, size_limit(limit));
    EXPECT_EQ(r.out, kProcessing + "Could not write a.gvf: File too large\n") << limit;
    EXPECT_EQ(r.status, 1) << limit;
    EXPECT_FALSE(fs::exists(dir_ / "a.gvf")) << limit;
    EXPECT_EQ(read_file(dir_ / "a.svf"), kBigOutputInput);
  }
}

// Each limit either leaves room for the run, or fails it cleanly: the
// process may not even start, but it never crashes or keeps a partial file.
TEST_F(Cli, LackOfMemoryFailsTheRunCleanly) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's own memory needs no limit";
#endif
  write_file(dir_ / "a.svf", kBoardInput);
  const std::string converted = convert_text(kBoardInput).output;
  int succeeded = 0;
  int refused = 0;
  for (rlim_t mib = 2; mib <= 64; ++mib) {
    RunOptions options;
    options.memory_limit = mib << 20;
    const auto r = run(dir_, {"svfsplit", "a.svf"}, options);
    ASSERT_EQ(r.signal, 0) << mib << " MiB";
    if (r.status == 0) {
      ++succeeded;
      EXPECT_EQ(read_file(dir_ / "a.gvf"), converted) << mib << " MiB";
    } else if (r.status == 1) {
      ++refused;
      EXPECT_EQ(r.out, kProcessing + "Could not write a.gvf: Cannot allocate memory\n") << mib << " MiB";
      EXPECT_FALSE(fs::exists(dir_ / "a.gvf")) << mib << " MiB";
    } else {
      EXPECT_EQ(r.status, 127) << mib << " MiB: not started";
    }
    fs::remove(dir_ / "a.gvf");
  }
  EXPECT_GT(succeeded, 0);
  EXPECT_GT(refused, 0);
}

TEST_F(Cli, FullDeviceThroughALinkIsLeftAlone) {
  if (!fs::exists("/dev/full"))
    GTEST_SKIP() << "no /dev/full";
  write_file(dir_ / "a.svf", kBoardInput);
  fs::create_symlink("/dev/full", dir_ / "a.gvf");
  const auto r = run(dir_, {"svfsplit", "a.svf"});
  EXPECT_EQ(r.out, kProcessing + "Could not write a.gvf: No space left on device\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(fs::is_symlink(dir_ / "a.gvf"));
  EXPECT_TRUE(fs::exists("/dev/full"));
}

TEST_F(Cli, ReadErrorIsReported) {
  if (!fs::exists("/proc/self/mem"))
    GTEST_SKIP() << "no /proc/self/mem";
  fs::create_symlink("/proc/self/mem", dir_ / "mem.svf");
  const auto r = run(dir_, {"svfsplit", "mem.svf"});
  EXPECT_EQ(r.out, kProcessing + "Could not read mem.svf: Input/output error\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(fs::exists(dir_ / "mem.gvf"));
}

TEST_F(Cli, UnwritableStandardOutputFailsTheRun) {
  write_file(dir_ / "a.svf", kBoardInput);
  // The conversion itself succeeded: its output is complete and kept.
  EXPECT_EQ(run(dir_, {"svfsplit", "a.svf"}, stdout_full()).status, 1);
  EXPECT_EQ(read_file(dir_ / "a.gvf"), convert_text(kBoardInput).output);
  EXPECT_EQ(read_file(dir_ / "a.svf"), kBoardInput);
  // A failed run keeps its own status.
  EXPECT_EQ(run(dir_, {"svfsplit", "missing.svf"}, stdout_full()).status, 1);
  EXPECT_FALSE(fs::exists(dir_ / "missing.gvf"));
  EXPECT_EQ(run(dir_, {"svfsplit"}, stdout_full()).status, 2);
}

// Interrupted, the run removes its partial output and ends by the signal.
TEST_F(Cli, SignalRemovesThePartialOutput) {
  // About 1.3 GB of segment lines: the signal always comes first.
  write_file(dir_ / "a.svf", "X\nSDR 4294967295 TDI (0);\n");
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    const auto r = run(dir_, {"svfsplit", "a.svf"}, signal_when_growing(sig, dir_ / "a.gvf"));
    EXPECT_EQ(r.signal, sig);
    EXPECT_EQ(r.out, kProcessing);
    EXPECT_FALSE(fs::exists(dir_ / "a.gvf")) << sig;
  }
}

// An output that blocks (a FIFO whose reader has stopped reading) must not
// keep an interrupt from ending the run; the FIFO is left in place.
TEST_F(Cli, SignalEndsARunBlockedOnItsOutput) {
  write_file(dir_ / "a.svf", "X\nSDR 4294967295 TDI (0);\n");
  ASSERT_EQ(::mkfifo((dir_ / "a.gvf").c_str(), 0600), 0);
  const int reader = ::open((dir_ / "a.gvf").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  RunOptions options;
  options.signal = SIGINT;
  options.delay = std::chrono::milliseconds(300);
  const auto r = run(dir_, {"svfsplit", "a.svf"}, options);
  ::close(reader);
  EXPECT_EQ(r.signal, SIGINT);
  EXPECT_EQ(r.out, kProcessing);
  EXPECT_TRUE(fs::is_fifo(dir_ / "a.gvf"));
}

}  // namespace
}  // namespace svfsplit::test
