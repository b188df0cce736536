// The copy loop: which lines are examined and which SDR commands are
// handed to the segmenter; everything else is copied byte for byte.
#include <gtest/gtest.h>

#include <random>

#include "byte_search.hpp"
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

// Every version of the byte-search kernels this processor runs (the plain
// loops other processors run too, SSE2, AVX2) does what their contract
// says, on text where line feeds, "SDR", blanks and the bytes that end a
// field fall at every place of a vector and across the blocks of 64, with
// room for the digits that runs out anywhere.
TEST(Kernels, EveryVersionKeepsTheContract) {
  std::mt19937 rng(11);
  const auto text = [&](std::string_view alphabet, std::size_t n) {
    std::string s(n, ' ');
    for (auto& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
  };
  // What the copy loop examines: the line after a line feed, when "SDR"
  // follows it or fewer than three bytes do.
  const auto line_to_examine = [](const std::string& s) -> std::size_t {
    for (std::size_t lf = s.find('\n'); lf != std::string::npos; lf = s.find('\n', lf + 1)) {
      if (s.size() - lf - 1 < 3 || s.compare(lf + 1, 3, "SDR") == 0)
        return lf + 1;
    }
    return std::string::npos;
  };
  std::vector<std::string> lines;
  for (std::size_t n = 0; n < 300; n += 1 + n / 8) lines.push_back(text("\nSDRX", n));
  for (int i = 0; i < 200; ++i) lines.push_back(text("\nSSSDDRR\r ab", rng() % 400));
  for (std::size_t n = 0; n < 140; ++n) {
    for (const char* end : {"\n", "\nS", "\nSD", "\nSDR", "\nSDRX"}) lines.push_back(std::string(n, 'x') + end);
  }
  for (const auto& version : kernel_versions()) {
    for (const std::string& s : lines) {
      // Copied after a lead, so that the text starts at every place of a vector.
      std::string buffer(rng() % 64, '-');
      const std::size_t lead = buffer.size();
      buffer += s;
      const auto* p = reinterpret_cast<const unsigned char*>(buffer.data()) + lead;
      const auto* found = version.find_line_to_examine(p, p + s.size());
      const std::size_t expected = line_to_examine(s);
      ASSERT_EQ(found == nullptr ? std::string::npos : static_cast<std::size_t>(found - p), expected)
          << version.name << ": " << s;
    }
  }

  // Gathering: the bytes before the first ')', '(' or ';' that are not
  // blanks, as far as the room takes them.
  std::vector<std::string> fields;
  for (int i = 0; i < 400; ++i) {
    const std::string digits = text("0123456789ABCDEFabcdef", 1 + rng() % 150);
    std::string field;
    for (std::size_t at = 0; at < digits.size(); at += 1 + rng() % 70)
      field += digits.substr(at, 1 + rng() % 70) + text(" \t\r\n\v\f", rng() % 4);
    if (rng() % 8 == 0)
      field.insert(rng() % field.size(), 1, "!\x01\x80'\x1f"[rng() % 5]);  // odd digits
    lines.push_back(field + text(")(;", 1) + text("0)", rng() % 20));
  }
  for (const auto& version : kernel_versions()) {
    for (const std::string& s : lines) {
      for (const std::size_t room :
           {std::size_t{0}, std::size_t{1}, std::size_t{64}, std::size_t{127}, std::size_t{129}, std::size_t{1000}}) {
        std::string expected;
        std::size_t hit = 0;
        for (; hit < s.size() && s[hit] != ')' && s[hit] != '(' && s[hit] != ';'; ++hit) {
          if (!is_blank(static_cast<unsigned char>(s[hit])))
            expected += s[hit];
        }
        const bool overflows = expected.size() > room;
        expected.resize(std::min(expected.size(), room));
        std::string buffer(rng() % 64, '-');
        const std::size_t lead = buffer.size();
        buffer += s;
        const auto* p = reinterpret_cast<const unsigned char*>(buffer.data()) + lead;
        std::string out(room + 1, '=');
        char* o = out.data();
        std::uint64_t examined = 0;
        bool overflowed = false;
        const auto* found = version.gather_field_digits(p, s.size(), examined, o, out.data() + room, overflowed);
        const std::string what = std::string(version.name) + ", room " + std::to_string(room) + ": " + s;
        ASSERT_EQ(found == nullptr ? s.size() : static_cast<std::size_t>(found - p), hit) << what;
        ASSERT_EQ(examined, std::min(hit + 1, s.size())) << what;
        ASSERT_EQ(overflowed, overflows) << what;
        ASSERT_EQ(std::string(out.data(), o), expected) << what;
        ASSERT_EQ(out[room], '=') << what;  // nothing written past the room
      }
    }
  }
}

}  // namespace
}  // namespace svfsplit::test
