// The copy loop: which lines are examined and which SDR commands are
// handed to the segmenter; everything else is copied byte for byte.
#include <gtest/gtest.h>

#include <random>

#include "convert/kernels/byte_search.hpp"
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
      {"a ';' in a keyword ends the command", "X\nSDR 300 TDI (" + hex_digits(75) + ") T;O (1);\nRUNTEST 100 TCK;\n",
       "", 1},
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

// Nor whether unchanged text is copied or lent from the windows, three of
// them taking turns, to the writing thread. Text is lent where it lies in
// step with its place in the output: its stretches come after commands
// that leave the output as long as the input, 18 bytes longer (the text
// after them is copied), or 18 bytes shorter.
TEST(CopyLoop, OutputBufferSizeAndLentTextDoNotMatter) {
  const std::string input = "A\r\n" + kLong300 + "\r\nB\n" + kLong300 + "\nC";
  const auto reference = convert_text(input).output;
  for (const std::size_t buffer : {1, 2, 7, 64})
    EXPECT_EQ(convert_text(input, Input::kDefaultWindow, buffer).output, reference) << buffer;
  std::mt19937 rng(3);
  std::string text;
  for (int i = 0; i < 60; ++i) {
    text += std::string(rng() % 9000, "RUNTEST 1 TCK;\n"[i % 15]) + "\nSDR 8 TDI (12);\n";
    text += "SDR 300 TDI (" + std::string(18 * (i % 3), ' ') + hex_digits(75) + ");\n";
  }
  for (const std::size_t window : {64, 1000, 4096, 65536}) {
    for (const std::size_t buffer : {64, 4096})
      ASSERT_TRUE(convert_text(text, window, buffer, true).output == convert_text(text).output) << window << buffer;
  }
}

// Every version of the byte-search kernels this processor runs (the plain
// loops other processors run too, SSE2, AVX2) keeps their contract, on
// text where line feeds, "SDR", blanks and the bytes that end a field fall
// at every place of a vector and across blocks of 64, starting at every
// place of a vector, with room for the digits that runs out anywhere.
TEST(Kernels, EveryVersionKeepsTheContract) {
  std::mt19937 rng(11);
  const auto text = [&](std::string_view alphabet, std::size_t n) {
    std::string s(n, ' ');
    for (auto& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
  };
  std::vector<std::string> texts;
  for (std::size_t n = 0; n < 140; ++n) {
    texts.push_back(text("\nSDRX", 2 * n) + text("\nSSDR\r a", n));
    for (const char* end : {"\n", "\nS", "\nSD", "\nSDR"}) texts.push_back(std::string(n, 'x') + end);
  }
  for (int i = 0; i < 400; ++i) {  // fields: digits broken by blanks, and odd digits
    std::string field;
    for (int run = 0; run < 1 + static_cast<int>(rng() % 8); ++run)
      field += text("0123456789ABCDEFabcdef", rng() % 70) + text(" \t\r\n\v\f", rng() % 4);
    field.insert(rng() % (field.size() + 1), rng() % 8 == 0 ? 1 : 0, "!\x01\x80'\x1f"[rng() % 5]);
    texts.push_back(field + text(")(;", 1) + text("0)", rng() % 20));
  }
  for (int i = 0; i < 300; ++i) {  // lines of one width and blanks, until one is not
    const std::size_t width = i % 3 == 0 ? 64 * (1 + rng() % 3) : 1 + rng() % 200;  // whole blocks, or not
    const std::string blanks = text(" \t\r\n", 1 + rng() % 9);
    std::string field;
    for (int line = 0; line < 6; ++line) field += text("0123456789ABCDEF", width) + blanks;
    // Anywhere, or at the last digit of a line.
    const std::size_t odd =
        rng() % 2 ? rng() % field.size() : (1 + rng() % 5) * (width + blanks.size()) - 1 - blanks.size();
    field.insert(odd, rng() % 2, " \n!(;0"[rng() % 7]);  // or in place of a byte
    field[odd] = " \n!(;0"[rng() % 7];
    texts.push_back(field + text(")(;", 1) + text("0)", rng() % 20));
  }
  for (const auto& version : kernel_versions()) {
    LineShape seen;  // what the texts before showed
    for (const std::string& s : texts) {
      const std::string buffer = std::string(rng() % 64, '-') + s;  // s at every place of a vector
      const auto* p = reinterpret_cast<const unsigned char*>(buffer.data()) + (buffer.size() - s.size());
      const std::string what = version.name + (": " + s);
      // The line after a line feed that "SDR", or fewer than three bytes, follow.
      std::size_t line = s.find('\n');
      while (line != std::string::npos && s.size() - line - 1 >= 3 && s.compare(line + 1, 3, "SDR") != 0)
        line = s.find('\n', line + 1);
      std::string copy(s.size() + 66, '=');  // to every place of a vector, past the caches
      const std::size_t at = rng() % 64;
      version.copy_streaming(copy.data() + at, s.data(), s.size());
      ASSERT_EQ(copy, std::string(at, '=') + s + std::string(66 - at, '=')) << what;
      const auto* found = version.find_line_to_examine(p, p + s.size());
      ASSERT_EQ(found == nullptr ? std::string::npos : static_cast<std::size_t>(found - p - 1), line) << what;
      // The bytes before the first ')', '(' or ';' that are not blanks, as
      // far as the room takes them.
      const std::size_t hit = std::min(s.find_first_of(")(;"), s.size());
      std::string digits;
      for (const char c : s.substr(0, hit)) digits += is_blank(static_cast<unsigned char>(c)) ? "" : std::string(1, c);
      for (const std::size_t room : {0, 1, 64, 127, 129, 1000}) {
        std::string out(room + 1, '=');
        char* o = out.data();
        std::uint64_t examined = 0;
        bool overflowed = false;
        found = version.gather_field_digits(p, s.size(), examined, o, out.data() + room, overflowed, seen);
        ASSERT_EQ(found == nullptr ? s.size() : static_cast<std::size_t>(found - p), hit) << room << what;
        ASSERT_EQ(examined, std::min(hit + 1, s.size())) << room << what;
        ASSERT_EQ(overflowed, digits.size() > room) << room << what;
        ASSERT_EQ(std::string(out.data(), o), digits.substr(0, room)) << room << what;
        ASSERT_EQ(out[room], '=') << room << what;  // nothing written past the room
      }
    }
  }
}

// Every version lays out the same lines: each text in its place, the runs
// of digits taken backward from their ends, and nothing past the last line.
TEST(Kernels, EveryVersionLaysOutTheSameLines) {
  const std::array<std::string_view, 4> texts = {"SDRS 256 TDI (", ") TDO (", ") X (", ") ;\n"};
  const std::array<std::string, 3> runs = {hex_digits(64 * 3), hex_digits(64 * 3 + 5, 1), hex_digits(64 * 4, 2)};
  const std::array<const char*, 3> ends = {runs[0].data() + runs[0].size(), runs[1].data() + runs[1].size(),
                                           runs[2].data() + runs[2].size()};
  const std::array frames = {LineFrame(std::array{texts[0], texts[3]}),
                             LineFrame(std::array{texts[0], texts[1], texts[3]}),
                             LineFrame(std::array{texts[0], texts[1], texts[2], texts[3]})};
  for (const auto& version : kernel_versions()) {
    for (const LineFrame& frame : frames) {
      for (std::size_t count = 0; count <= 3; ++count) {
        std::string expected;
        for (std::size_t line = 1; line <= count; ++line) {
          for (int i = 0; i < frame.runs; ++i)
            expected += std::string(texts[i]) + runs[i].substr(runs[i].size() - 64 * line, 64);
          expected += texts[3];
        }
        std::string out(count * frame.line_size() + 16, '=');
        const char* end = version.lay_out_digit_lines(out.data(), frame, ends, count);
        EXPECT_EQ(out, expected + std::string(16, '=')) << version.name << " " << frame.runs << " " << count;
        EXPECT_EQ(end - out.data(), static_cast<std::ptrdiff_t>(expected.size()));
      }
    }
  }
}

// A keyword's bytes hold a '(' or a ';' only where they are, among the
// bytes looked at; their neighbours, and the same bytes with the top bit
// set, are not them.
TEST(Kernels, KeywordBytesHoldAnOpenOrASemicolon) {
  for (const int size : {3, 4}) {
    for (int at = 0; at < 4; ++at) {
      for (const char c : {'(', ';', ')', ':', '\xA8', '\xBB'}) {
        std::string bytes = "TDI ";
        bytes[static_cast<std::size_t>(at)] = c;
        EXPECT_EQ(holds_open_or_semicolon(reinterpret_cast<const unsigned char*>(bytes.data()), size),
                  at < size && (c == '(' || c == ';'))
            << size << " " << at << " " << c;
      }
    }
  }
}

}  // namespace
}  // namespace svfsplit::test
