// The converter against a plain statement of its rules, on random text
// made of the pieces that matter: keywords, lengths, parentheses,
// semicolons, digits, blanks and line ends.
#include "reference.hpp"

#include <gtest/gtest.h>

#include <random>

#include "helpers.hpp"

namespace svfsplit::test {
namespace {

class TextMaker {
 public:
  explicit TextMaker(std::uint32_t seed) : rng_(seed) {}

  // Lines of plain text, short and long SDR commands, mostly well formed,
  // then bent here and there: a byte dropped, a piece inserted.
  std::string text() {
    std::string s;
    const int lines = static_cast<int>(pick(1, 8));
    for (int i = 0; i < lines; ++i) s += pick(0, 2) == 0 ? plain_line() : command();
    for (int bends = static_cast<int>(pick(0, 3)); bends > 0 && !s.empty(); --bends) {
      const std::size_t at = pick(0, static_cast<std::uint32_t>(s.size() - 1));
      if (pick(0, 1))
        s.erase(at, 1);
      else
        s.insert(at, piece());
    }
    return s;
  }

 private:
  std::uint32_t pick(std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng_);
  }

  std::string eol() { return pick(0, 2) ? "\n" : "\r\n"; }

  std::string piece() {
    static const std::string kPieces[] = {"\n",   "\r\n", "SDR ", " ", "\t", "\v", "(",
                                          ")",    ";",    "T",    "M", "S",  "0",  std::string(1, '\0'),
                                          "\n\n", "TDO ", "MASK "};
    return kPieces[pick(0, static_cast<std::uint32_t>(std::size(kPieces) - 1))];
  }

  std::string plain_line() {
    static const std::string kLines[] = {
        "",   "RUNTEST 10 TCK;", "SIR 8 TDI (02);",    "! comment",   "S",
        "SD", "sdr 300;",        "SDR 16 TDI (ABCD);", "STATE IDLE;", "  SDR 300 TDI (1);"};
    return kLines[pick(0, static_cast<std::uint32_t>(std::size(kLines) - 1))] + eol();
  }

  std::string hex(std::uint32_t length) {
    const std::uint32_t exact = (length + 3) / 4;
    const std::uint32_t n = pick(0, 4) == 0 ? pick(0, exact + 10) : exact;
    std::string s;
    for (std::uint32_t i = 0; i < n; ++i) {
      if (pick(0, 40) == 0)
        s += pick(0, 1) ? eol() + "\t" : std::string(" ");
      s += "0123456789abcdefABCDEF"[pick(0, 21)];
    }
    return s;
  }

  std::string command() {
    static const char* kSeparators[] = {" ", " ", " ", "1", "\t", "\n", "x"};
    static const char* kLengths[] = {"257", "300", "301", "509", "512", "513", "1000", "256", "0300"};
    const std::string length = kLengths[pick(0, std::size(kLengths) - 1)];
    std::string s = std::string("SDR") + kSeparators[pick(0, std::size(kSeparators) - 1)] + length;
    const auto bits = static_cast<std::uint32_t>(std::stoul(length));
    static const char* kKeywords[] = {"TDI", "TDO", "MASK", "SMASK"};
    const int fields = static_cast<int>(pick(1, 4));
    for (int f = 0; f < fields; ++f) {
      const char* keyword = pick(0, 5) == 0 ? kKeywords[pick(0, 3)] : kKeywords[f];
      s += std::string(pick(0, 4) ? " " : "") + keyword + (pick(0, 1) ? " (" : "(") + hex(bits) + ")";
      if (pick(0, 5) == 0)
        s += eol() + "\t";
    }
    if (pick(0, 9))
      s += pick(0, 2) ? ";" : " ;";
    if (pick(0, 4) == 0)
      s += pick(0, 1) ? " " : "\t";
    return s + eol();
  }

  std::mt19937 rng_;
};

TEST(Reference, ConverterFollowsTheRules) {
  std::mt19937 rng(2026);
  TextMaker maker(7);
  int split = 0, unsplit = 0;
  for (int round = 0; round < 20000; ++round) {
    const std::string input = maker.text();
    const auto expected = reference_convert(input);
    const auto window = kWindows[rng() % std::size(kWindows)];
    const auto result = convert_text(input, window, 1 + rng() % 64);
    ASSERT_EQ(result.output, expected.output) << "input: " << testing::PrintToString(input) << ", window " << window;
    ASSERT_EQ(result.report.unsplit_count, expected.unsplit) << testing::PrintToString(input);
    split += expected.output.find("SDRS 256") != std::string::npos;
    unsplit += expected.unsplit > 0;
  }
  // The random text must reach both outcomes often, or it proves little.
  EXPECT_GT(split, 500);
  EXPECT_GT(unsplit, 500);
}

// Commands whose digits outgrow the room the converter keeps them in (as
// much as the main window holds): the fields that do not fit are read
// backwards instead, within one command.
TEST(Reference, CommandsLongerThanTheWindow) {
  struct Row {
    std::uint32_t bits;
    int fields;
  };
  for (const Row row : {Row{1600000, 3}, Row{5000001, 2}}) {
    std::string input = "! long\r\nSDR " + std::to_string(row.bits);
    const char* keywords[] = {" TDI (", " TDO (", " MASK ("};
    for (int f = 0; f < row.fields; ++f) {
      const std::string digits = hex_digits((row.bits + 3) / 4, static_cast<unsigned>(f));
      input += keywords[f];
      for (std::size_t i = 0; i < digits.size(); i += 80) input += digits.substr(i, 80) + "\r\n";
      input += ")";
    }
    input += ";\r\nRUNTEST 1 TCK;\r\n";
    const auto result = convert_text(input);
    EXPECT_EQ(result.report.unsplit_count, 0u) << row.bits;
    EXPECT_TRUE(result.output == reference_convert(input).output) << row.bits;
  }
}

}  // namespace
}  // namespace svfsplit::test
