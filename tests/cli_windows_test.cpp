// svfsplit.exe among other Windows programs: files held open by another
// process, a scanner that opens new files as they appear, long paths and
// attributes. Under Wine in CI; skipped elsewhere.
#include "cli.hpp"

#if !defined(_WIN32)

namespace svfsplit::test {
TEST(CliWindows, SkippedElsewhere) {
  GTEST_SKIP() << "files held by another Windows program, Windows paths and attributes";
}
}  // namespace svfsplit::test

#else

#include <windows.h>

#include <atomic>
#include <thread>

#include "platform/platform_internal.hpp"

namespace svfsplit::test {
namespace {

// A long command: the run lasts long enough for a scanner to see its file.
const std::string kLongInput = "X\r\nSDR 4500000 TDI (1) TDO (2);\r\nRUNTEST 1 TCK;\r\n";

class CliWindows : public Cli {
 protected:
  // Starts the holder on `path` and waits until it says it is ready.
  std::uintptr_t hold(const std::string& mode, const fs::path& path, int ms) {
    const fs::path ready = dir_ / "ready.txt";
    fs::remove(ready);
    const auto holder = start_program(dir_, SVFSPLIT_HOLDER_BINARY,
                                      {"holder", mode, path.string(), std::to_string(ms), ready.string()});
    for (int i = 0; i < 2000 && read_file(ready).empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(read_file(ready).empty()) << mode;
    return holder;
  }
};

// A file held open with each sharing: a run that the holder would block
// fails at once, before converting, and says why; the old output stays. A
// holder that takes the output only once the run has checked it (here, at
// the rename) gets it moved aside if it allows that, else the run fails
// and names it. A scanner that opens the temporary file as soon as it
// appears, without allowing its deletion, is refused: the file stays the
// run's, which renames it whole. Nothing is left behind.
TEST_F(CliWindows, OtherProgramsHoldingFiles) {
  struct Row {
    const char* held;  // "." : the folder, watched
    const char* sharing;
    bool late;        // from the rename on
    std::string err;  // empty: the run converts
  };
  const std::string output_in_use = "svfsplit: cannot create \"a.gvf\": in use by another program\n";
  const std::string input_in_use = "svfsplit: cannot open \"a.svf\": in use by another program\n";
  const std::string output_held = "svfsplit: cannot replace \"a.gvf\": in use by another program\n";
  const Row rows[] = {
      {"a.gvf", "none", false, output_in_use},
      {"a.gvf", "read", false, output_in_use},
      {"a.gvf", "readwrite", false, output_in_use},
      {"a.gvf", "all", false, ""},
      {"a.svf", "none", false, input_in_use},
      {"a.svf", "read", false, ""},
      {"a.svf", "write", false, input_in_use},
      {".", "watch", false, ""},
      {"a.gvf", "read", true, output_held},
      {"a.gvf", "readwrite", true, output_held},
      {"a.gvf", "all", true, ""},
      {"a.gvf", "map", true, output_held},  // a mapped file cannot be deleted
      {"a.gvf", "lock", true, ""},
      {"a.gvf", "readonly", true, "svfsplit: cannot replace \"a.gvf\": Permission denied\n"},
  };
  for (const Row& row : rows) {
    const std::string what = std::string(row.held) + " held, sharing " + row.sharing + (row.late ? ", late" : "");
    const bool watching = row.sharing == std::string("watch");
    const std::string& input = watching ? kLongInput : kBoardInput;
    write_file(dir_ / "a.svf", input);
    write_file(dir_ / "a.gvf", kPrevious);
    ProgramOptions options;
    std::uintptr_t holder = 0;
    std::thread late;
    // While the holder forbids deletion, no rename is tried (and fails);
    // while one that allows it holds the output, none but the one after
    // the move aside.
    const char* calls =
        row.err == output_held && row.sharing[0] == 'r' ? "rename:2:EXDEV,rename:1" : "rename:3:EXDEV,rename:1";
    if (row.late)
      late = act_before(calls, dir_, options, [&] { holder = hold(row.sharing, dir_ / row.held, 2500); });
    else
      holder = hold(row.sharing, dir_ / row.held, watching ? 20000 : 1000);
    const auto r = run_program(dir_, {"svfsplit", "a.svf"}, options);
    if (late.joinable())
      late.join();
    wait_for(holder);
    EXPECT_EQ(r.err, row.err) << what;
    if (watching) {
      EXPECT_EQ(read_file(dir_ / "ready.txt"), "watching refused");
    }
    if (row.err.empty()) {
      EXPECT_EQ(r.status, 0) << what;
      EXPECT_TRUE(holds(dir_ / "a.gvf", convert_text(input).output)) << what;
    } else {
      EXPECT_EQ(r.status, 1) << what;
      const std::string reason = row.err.substr(row.err.find("\": ") + 3);
      EXPECT_EQ(r.out, row.late ? kProcessing + "Could not write a.gvf: " + reason : "Could not open file\n") << what;
      EXPECT_TRUE(holds(dir_ / "a.gvf", kPrevious)) << what;
    }
    EXPECT_EQ(hidden_entries(dir_), std::vector<std::string>{}) << what;
  }
}

// Ended from outside in mid-run (Task Manager's "End task", taskkill /F),
// or while its rename waits for a program that holds the old output, the
// run leaves the old output and no temporary file: the file is deleted
// with the process's last handle on it.
TEST_F(CliWindows, EndTaskLeavesNothingBehind) {
  write_file(dir_ / "a.gvf", kPrevious);
  const std::pair<int, bool> rows[] = {{30, false}, {300, false}, {1000, false}, {300, true}, {1000, true}};
  for (const auto& [ms, waiting] : rows) {
    write_file(dir_ / "a.svf", waiting ? kBoardInput : "X\r\nSDR 4294967295 TDI (0);\r\n");
    ProgramOptions options;
    options.signal = 1;
    options.delay = std::chrono::milliseconds(waiting ? 0 : ms);
    std::uintptr_t holder = 0;
    std::atomic<std::chrono::steady_clock::time_point> deadline{std::chrono::steady_clock::time_point::max()};
    std::thread late;
    if (waiting) {  // ended `ms` after a holder took the old output
      const auto wait = std::chrono::milliseconds(ms);
      late = act_before("rename:1", dir_, options, [&, wait] {
        holder = hold("read", dir_ / "a.gvf", 2500);
        deadline = std::chrono::steady_clock::now() + wait;
      });
      options.signal_when = [&] { return std::chrono::steady_clock::now() > deadline.load(); };
    }
    EXPECT_EQ(run_program(dir_, {"svfsplit", "a.svf"}, options).status, 1) << ms;
    if (waiting) {
      late.join();
      wait_for(holder);
    }
    EXPECT_TRUE(holds(dir_ / "a.gvf", kPrevious)) << ms;
    EXPECT_EQ(hidden_entries(dir_), std::vector<std::string>{}) << ms;
  }
}

// Windows errors keep their meaning: errno's word where it has one, the
// system's own text otherwise.
TEST(WindowsErrors, KeepTheirMeaning) {
  const auto text = [](DWORD code) { return platform::error_text(platform::internal::windows_error(code)); };
  EXPECT_EQ(text(ERROR_FILE_NOT_FOUND), "No such file or directory");
  EXPECT_EQ(text(ERROR_USER_MAPPED_FILE), "in use by another program");
  EXPECT_NE(text(ERROR_NETWORK_ACCESS_DENIED).find("etwork"), std::string::npos);
}

// Paths of 250, 300 and 1,100 characters, in nested folders, convert; so
// does the last one by its short (8.3) name, which replaces the long name's
// output.
TEST_F(CliWindows, LongPathsConvertByLongAndShortNames) {
  const std::pair<std::size_t, bool> rows[] = {{250, false}, {300, false}, {1100, false}, {1100, true}};
  for (const auto& [size, short_name] : rows) {
    fs::path folder = dir_;
    while ((folder / "").string().size() + 150 < size) folder /= std::string(100, 'd');
    const std::string rest(size - (folder / "").string().size() - 4, 'n');
    const fs::path input = folder / (rest + ".svf");
    ASSERT_EQ(input.string().size(), size);
    fs::create_directories(folder);
    write_file(input, kBoardInput);
    write_file(folder / (rest + ".gvf"), kPrevious);
    WIN32_FIND_DATAW found{};
    ::FindClose(::FindFirstFileW(platform::utf16("\\\\?\\" + input.string()).c_str(), &found));
    const auto r =
        run_program(dir_, {"svfsplit", short_name ? (folder / found.cAlternateFileName).string() : input.string()});
    EXPECT_EQ(r.out, kProcessing + kDone) << size;
    EXPECT_EQ(r.err, "") << size;
    EXPECT_TRUE(holds(folder / (rest + ".gvf"), convert_text(kBoardInput).output)) << size;
    EXPECT_TRUE(hidden_entries(folder).empty()) << size;
  }
}

// The new output keeps the hidden, system and archive attributes of the
// file it replaces.
TEST_F(CliWindows, AttributesAreKept) {
  const DWORD rows[] = {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE,
                        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, FILE_ATTRIBUTE_ARCHIVE};
  write_file(dir_ / "a.svf", kBoardInput);
  const std::wstring output = (dir_ / "a.gvf").wstring();
  // Wine marks every file it writes archived: only the other two show.
  constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  for (const DWORD attributes : rows) {
    ::SetFileAttributesW(output.c_str(), FILE_ATTRIBUTE_NORMAL);
    write_file(dir_ / "a.gvf", kPrevious);
    ASSERT_TRUE(::SetFileAttributesW(output.c_str(), attributes));
    const auto r = run_program(dir_, {"svfsplit", "a.svf"});
    EXPECT_EQ(r.status, 0) << attributes;
    EXPECT_EQ(::GetFileAttributesW(output.c_str()) & kKept, attributes & kKept) << attributes;
    EXPECT_TRUE(holds(dir_ / "a.gvf", convert_text(kBoardInput).output)) << attributes;
  }
  ::SetFileAttributesW(output.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
}  // namespace svfsplit::test

#endif
