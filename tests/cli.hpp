// What the end-to-end tests share: the program's fixed lines, inputs, and
// a scratch folder per test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "helpers.hpp"
#include "program.hpp"

namespace svfsplit::test {

inline const std::string kProcessing = "Processing SDR command...\n";
inline const std::string kDone = "\nConversion successfully completed!!!\n";
inline const std::string kPrevious = "the previous output\n";

inline const std::string kBoardInput = "! board\r\nSIR 8 TDI (03);\r\nSDR 300 TDI (" + hex_digits(75) + ")\r\n TDO (" +
                                       hex_digits(75, 1) + ")\r\n MASK (" + hex_digits(75, 2) +
                                       ");\r\nRUNTEST 1 TCK;\r\n";

// A message whose names are plain, quoted as this system quotes them:
// 'a.gvf' on POSIX systems, "a.gvf" on Windows.
inline std::string native_quotes(std::string message) {
  for (char& c : message) c = c == '\'' && fs::path::preferred_separator == '\\' ? '"' : c;
  return message;
}

// Whether the file at `path` holds `expected`, byte for byte. A failure
// tells the sizes, the hashes and the first offset where they differ, not
// the bytes: an output may be a gigabyte long.
inline ::testing::AssertionResult holds(const fs::path& path, const std::string& expected) {
  const std::string bytes = read_file(path);
  if (bytes == expected)
    return ::testing::AssertionSuccess();
  const auto differ = std::mismatch(bytes.begin(), bytes.end(), expected.begin(), expected.end()).first - bytes.begin();
  const std::hash<std::string> hash;
  return ::testing::AssertionFailure() << path.filename() << " holds " << bytes.size() << " bytes (hash " << hash(bytes)
                                       << "), not " << expected.size() << " (hash " << hash(expected)
                                       << "): they differ from byte " << differ << " on";
}

inline void write_file(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Has the test build of the program wait just before its call `call`
// ("rename:1"), does `act` meanwhile on a thread of its own, then lets the
// run go on: the thread to join once the run is over.
inline std::thread act_before(const std::string& call, const fs::path& dir, ProgramOptions& options,
                              std::function<void()> act) {
  const fs::path pause = dir / "paused";
  options.binary = SVFSPLIT_SEAM_BINARY;
  options.environment = {{"SVFSPLIT_FAULTS", call + ":pause"}, {"SVFSPLIT_PAUSE_FILE", pause.string()}};
  return std::thread([pause, act = std::move(act)] {
    for (int i = 0; i < 4000 && !fs::exists(pause); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    act();
    // On Windows the program may have the file open for a moment, as it
    // looks whether it is still there: the removal is tried again.
    std::error_code error;
    for (int i = 0; i < 400 && (fs::remove(pause, error), error); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
}

// A fresh folder for each test, removed afterwards.
class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance();
    dir_ = fs::temp_directory_path() /
           ("svfsplit-" + std::to_string(test->random_seed()) + "-" + test->current_test_info()->test_suite_name() +
            "-" + test->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
  }

  std::size_t entries() const { return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {})); }

  fs::path dir_;
};

}  // namespace svfsplit::test
