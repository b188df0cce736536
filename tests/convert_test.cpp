// The copy loop: which lines are examined and which SDR commands are
// handed to the segmenter; everything else is copied byte for byte.
#include <gtest/gtest.h>

#include "helpers.hpp"

namespace svfsplit::test {
namespace {

struct CopyCase {
  const char* name;
  std::string input;
  std::string expected;  // empty: the input itself
  std::uint64_t unsplit = 0;
};

// A long command that splits into a known pair of lines.
const std::string kLong300 = "SDR 300 TDI (" + hex_digits(75) + ");";
const std::string kLong300Split =
    "SDRS 256 TDI (" + hex_digits(75).substr(11) + ") ;\nSDR 44 TDI (" + hex_digits(75).substr(0, 11) + ") ;\n";

std::vector<CopyCase> copy_cases() {
  return {
      {"plain text with LF", "STATE RESET;\nRUNTEST 10 TCK;\n", ""},
      {"plain text with CR LF", "STATE RESET;\r\nRUNTEST 10 TCK;\r\n", ""},
      {"empty input", "", ""},
      {"256 bits are copied", "X\nSDR 256 TDI (" + hex_digits(64) + ");\n", ""},
      {"257 bits are split", "X\nSDR 257 TDI (" + hex_digits(65) + ");\nY\n",
       "X\nSDRS 256 TDI (" + hex_digits(65).substr(1) + ") ;\nSDR 1 TDI (" + hex_digits(65).substr(0, 1) + ") ;\nY\n"},
      {"the first line is never examined", kLong300 + "\n", ""},
      {"lower case is not SDR", "X\nsdr 300 TDI (" + hex_digits(75) + ");\n", ""},
      {"indented SDR is not examined", "X\n  " + kLong300 + "\n", ""},
      {"two spaces give length 0", "X\nSDR  300 TDI (" + hex_digits(75) + ");\n", ""},
      {"the separator is never examined", "X\nSDR1300 TDI (" + hex_digits(75) + ");\n", "X\n" + kLong300Split},
      {"a line feed as separator starts no recognition", "X\nSDR\n" + kLong300 + "\n", ""},
      {"an empty line before SDR", "X\n\n" + kLong300 + "\n", "X\n\n" + kLong300Split},
      {"empty CR LF lines before SDR", "X\r\n\r\n\r\n" + kLong300 + "\r\n", "X\r\n\r\n\r\n" + kLong300Split},
      {"one- and two-byte lines before SDR", "X\nA\nAB\nSD\n" + kLong300 + "\n", "X\nA\nAB\nSD\n" + kLong300Split},
      {"a line feed ends the length", "X\nSDR 12\n" + kLong300 + "\n", "X\nSDR 12\n" + kLong300Split},
      {"the last line is short", "X\r\nS", ""},
      {"the last line is two letters", "X\nSD", ""},
      {"the input ends in the separator", "X\nSDR", ""},
      {"the input ends in the length", "X\nSDR 12", ""},
      {"a long length at the end of input", "X\nSDR 300", "", 1},
      {"59 digits are still a length", "X\nSDR " + std::string(56, '0') + "300 TDI (" + hex_digits(75) + ");\n",
       "X\n" + kLong300Split},
      {"60 digits are not a length", "X\nSDR " + std::string(57, '0') + "300 TDI (" + hex_digits(75) + ");\n", ""},
      {"a length above 32 bits is copied", "X\nSDR 4294967553 TDI (" + hex_digits(75) + ");\n", ""},
      {"a length of 2^32 is copied", "X\nSDR 4294967296 TDI (1);\n", ""},
      {"eleven digits wrap nothing", "X\nSDR 10000000300 TDI (1);\n", ""},
      {"binary bytes pass through", std::string("X\n\0\xff\nSDR 12 \x80\n", 14), ""},
  };
}

TEST(CopyLoop, CopiesAndHandsOverAsExpected) {
  for (const auto& c : copy_cases()) {
    const std::string& expected = c.expected.empty() ? c.input : c.expected;
    for (const auto window : kWindows) {
      const auto result = convert_text(c.input, window);
      ASSERT_EQ(result.output, expected) << c.name << ", window " << window;
      ASSERT_EQ(result.report.unsplit_count, c.unsplit) << c.name << ", window " << window;
    }
  }
}

TEST(CopyLoop, OutputBufferSizeDoesNotMatter) {
  const std::string input = "A\r\n" + kLong300 + "\r\nB\n" + kLong300 + "\nC";
  const auto reference = convert_text(input).output;
  for (const std::size_t buffer : {1, 2, 7, 64})
    EXPECT_EQ(convert_text(input, Input::kDefaultWindow, buffer).output, reference) << buffer;
}

}  // namespace
}  // namespace svfsplit::test
