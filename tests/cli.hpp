// What the end-to-end tests share: the program's fixed lines, inputs, and
// a scratch folder per test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "helpers.hpp"
#include "program.hpp"

namespace svfsplit::test {

inline const std::string kProcessing = "Processing SDR command...\n";
inline const std::string kDone = "\nConversion successfully completed!!!\n";
inline const std::string kPrevious = "the previous output\n";

inline const std::string kBoardInput = "! board\r\nSIR 8 TDI (03);\r\nSDR 300 TDI (" + hex_digits(75) + ")\r\n TDO (" +
                                       hex_digits(75, 1) + ")\r\n MASK (" + hex_digits(75, 2) +
                                       ");\r\nRUNTEST 1 TCK;\r\n";

inline void write_file(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
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
