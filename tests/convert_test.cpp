// The copy loop: which lines are examined and which SDR commands are
// handed to the segmenter; everything else is copied byte for byte.
#include <gtest/gtest.h>

#include <random>

#include "convert/kernels/kernels.hpp"
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
      {"the first line is never split, but reported", kLong300 + "\n", "", 1},
      {"nor after a UTF-8 byte-order mark", "\xef\xbb\xbf" + kLong300 + "\n", "", 1},
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
      {"a ';' where '(' is due ends the command", "X\nSDR 300 TDI ;" + hex_digits(75) + ") ;\n", "", 1},
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

// Each version of the kernels the program has, by name, in tests of its
// own: one that this processor cannot run is reported skipped, by name,
// but fails under qemu, whose processor runs every version of the build.
class EveryVersion : public ::testing::TestWithParam<const KernelVersion*> {
 protected:
  void SetUp() override {
#if defined(SVFSPLIT_EMULATOR)
    ASSERT_TRUE(GetParam()->runs_here()) << "qemu's processor cannot run " << GetParam()->name;
#endif
    if (!GetParam()->runs_here())
      GTEST_SKIP() << "this processor cannot run " << GetParam()->name;
  }
};
INSTANTIATE_TEST_SUITE_P(Kernels, EveryVersion, ::testing::ValuesIn(kernel_versions()),
                         [](const auto& version) { return std::string(version.param->name); });

// Each version does what a plain loop over the bytes does, on text where
// line feeds, "SDR", blanks and stops fall at every place of a block,
// starting at every place of a vector, with room for the digits that runs
// out anywhere.
TEST_P(EveryVersion, KeepsTheContract) {
  const KernelVersion* const version = GetParam();
  std::mt19937 rng(11);
  const auto text = [&](std::string_view alphabet, std::size_t n) {
    std::string s(n, ' ');
    for (auto& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
  };
  std::vector<std::string> texts;
  for (std::size_t n = 0; n < 140; ++n) {
    // '\x8A' and '\xBB' differ from a line feed and a ';' in the top bit only.
    texts.push_back(text("\nSDRX\x8A", 2 * n) + text("\nSSDR\r a;\xBB", n));
    for (const char* end : {"\n", "\nS", "\nSD", "\nSDR"}) texts.push_back(std::string(n, 'x') + end);
    texts.push_back(std::string(n, '7') + text(" \n", 1) + text(")(;", 1) +
                    std::string(140, '7'));  // a stop after a blank
    // A byte from 0x80 up alone in a block of a field: a digit.
    texts.push_back(hex_digits(70) + static_cast<char>(0x80 + n % 128) + hex_digits(300) + ")");
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
  const auto first_of = [](std::string_view s, std::string_view set) {
    std::size_t at = 0;
    while (at < s.size() && set.find(s[at]) == std::string_view::npos) ++at;
    return at < s.size() ? at : std::string::npos;
  };
  for (const std::string& s : texts) {
    const std::string buffer = std::string(rng() % 64, '-') + s;  // s at every place of a vector
    const auto* p = reinterpret_cast<const unsigned char*>(buffer.data()) + (buffer.size() - s.size());
    const std::string what = version->name + (": " + s);
    const auto at = [&](const unsigned char* found) {
      return found == nullptr ? std::string::npos : static_cast<std::size_t>(found - p);
    };
    // The line after a line feed that "SDR", or fewer than three bytes, follow.
    std::size_t line = 0;
    while (line < s.size() && (s[line] != '\n' || (s.size() - line > 3 && s.compare(line + 1, 3, "SDR") != 0))) ++line;
    ASSERT_EQ(at(version->find_line_to_examine(p, p + s.size())), line < s.size() ? line + 1 : std::string::npos)
        << what;
    for (const ByteSet set : {ByteSet("T;"), ByteSet(";"), kStops}) {
      const std::string_view bytes(reinterpret_cast<const char*>(set.bytes.data()), 3);
      ASSERT_EQ(at(version->find_first_of(p, s.size(), set)), first_of(s, bytes)) << what;
    }
    // The bytes before the first stop that are not blanks, as far as
    // the room takes them.
    const std::size_t stop = first_of(s, ")(;");
    std::string digits;
    for (std::size_t i = 0; i < std::min(stop, s.size()); ++i) {
      if (s[i] != ' ' && (s[i] < '\t' || s[i] > '\r'))
        digits += s[i];
    }
    for (const std::size_t room : {0, 1, 64, 127, 129, 1000}) {
      std::string out(room + 1, '=');
      char* o = out.data();
      bool overflowed = false;
      ASSERT_EQ(at(version->gather_digits(p, s.size(), o, out.data() + room, overflowed)), stop) << room << what;
      ASSERT_EQ(overflowed, digits.size() > room) << room << what;
      ASSERT_EQ(std::string(out.data(), o), digits.substr(0, room)) << room << what;
      ASSERT_EQ(out[room], '=') << room << what;  // nothing written past the room
    }
  }
}

// Each version lays out the same lines: each text in its place, the slices
// taken backward from the ends of their digits, and nothing past the last line.
TEST_P(EveryVersion, LaysOutTheSameLines) {
  const KernelVersion* const version = GetParam();
  const std::array<std::string_view, 4> texts = {"SDRS 256 TDI (", ") TDO (", ") X (", ") ;\n"};
  const std::array<std::string, 3> digits = {hex_digits(64 * 3), hex_digits(64 * 3 + 5, 1), hex_digits(64 * 4, 2)};
  const std::array<const char*, 3> ends = {digits[0].data() + digits[0].size(), digits[1].data() + digits[1].size(),
                                           digits[2].data() + digits[2].size()};
  const std::array frames = {LineFrame(std::array{texts[0], texts[3]}),
                             LineFrame(std::array{texts[0], texts[1], texts[3]}),
                             LineFrame(std::array{texts[0], texts[1], texts[2], texts[3]})};
  for (const LineFrame& frame : frames) {
    for (std::size_t count = 0; count <= 3; ++count) {
      std::string expected;
      for (std::size_t line = 1; line <= count; ++line) {
        for (int i = 0; i < frame.slices; ++i)
          expected += std::string(texts[i]) + digits[i].substr(digits[i].size() - 64 * line, 64);
        expected += texts[3];
      }
      std::string out(count * frame.line_size() + 16, '=');
      const char* end = version->lay_out_digit_lines(out.data(), frame, ends, count);
      EXPECT_EQ(out, expected + std::string(16, '=')) << version->name << " " << frame.slices << " " << count;
      EXPECT_EQ(end - out.data(), static_cast<std::ptrdiff_t>(expected.size()));
    }
  }
}

}  // namespace
}  // namespace svfsplit::test
