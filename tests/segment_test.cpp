// The segment lines written for long SDR commands, byte for byte, and the
// commands that are copied through because they cannot be split.
#include <gtest/gtest.h>

#include "helpers.hpp"
#include "reference.hpp"

// Bytes delivered by the reads of files in this process, counted on their
// way to the C library where it is glibc.
static std::uint64_t g_bytes_read = 0;
#if defined(__GLIBC__)
#include <dlfcn.h>
extern "C" ssize_t pread64(int fd, void* buffer, std::size_t size, off64_t offset) {
  static const auto real =
      reinterpret_cast<ssize_t (*)(int, void*, std::size_t, off64_t)>(::dlsym(RTLD_NEXT, "pread64"));
  const ssize_t got = real(fd, buffer, size, offset);
  g_bytes_read += got > 0 ? static_cast<std::uint64_t>(got) : 0;
  return got;
}
constexpr bool kReadsCounted = true;
#else
constexpr bool kReadsCounted = false;
#endif

namespace svfsplit::test {
namespace {

// convert_text() of `text` written to a file, with how many bytes of it
// were read, where that is counted (0 elsewhere).
std::pair<Converted, std::uint64_t> convert_file(const std::string& text, std::size_t window) {
  const auto path = std::filesystem::temp_directory_path() /
                    (std::string("svfsplit-reads-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::ofstream(path, std::ios::binary) << text;
  platform::File file;
  EXPECT_EQ(platform::open_input(path.string(), file), 0);
  g_bytes_read = 0;
  const Converted result = convert(Source::file(file), window);
  platform::close(file);
  std::filesystem::remove(path);
  return {result, g_bytes_read};
}

// One segment line, as the segmenter writes it.
std::string line(const std::string& head, const std::string& tdi, const std::string& tdo = "",
                 const std::string& mask = "") {
  std::string s = head + " TDI (" + tdi;
  if (!tdo.empty())
    s += ") TDO (" + tdo;
  if (!mask.empty())
    s += ") MASK (" + mask;
  return s + ") ;\n";
}

// Digits [from, from + n) counted from the end of a field (0: the last).
std::string tail(const std::string& field, std::size_t from, std::size_t n) {
  return field.substr(field.size() - from - n, n);
}

const std::string A = hex_digits(128, 1);
const std::string B = hex_digits(128, 2);
const std::string C = hex_digits(128, 3);

struct SegmentCase {
  const char* name;
  std::string input;
  std::string expected;
};

std::vector<SegmentCase> segment_cases() {
  const std::string a75 = A.substr(0, 75), b75 = B.substr(0, 75), c75 = C.substr(0, 75);
  const std::string a76 = A.substr(0, 76), a128 = A, a127 = A.substr(0, 127);
  return {
      {"300 bits, three fields, CR LF",
       "X\r\nSDR 300 TDI (" + a75 + ")\r\n TDO (" + b75 + ")\r\n MASK (" + c75 + ");\r\nRUNTEST 1 TCK;\r\n",
       "X\r\n" + line("SDRS 256", tail(a75, 0, 64), tail(b75, 0, 64), tail(c75, 0, 64)) +
           line("SDR 44", a75.substr(0, 11), b75.substr(0, 11), c75.substr(0, 11)) + "RUNTEST 1 TCK;\r\n"},
      {"LF ends keep the next line whole", "X\nSDR 300 TDI (" + a75 + ");\nRUNTEST 1 TCK;\n",
       "X\n" + line("SDRS 256", tail(a75, 0, 64)) + line("SDR 44", a75.substr(0, 11)) + "RUNTEST 1 TCK;\n"},
      {"301 bits end with 45", "X\nSDR 301 TDI (" + a76 + ");\n",
       "X\n" + line("SDRS 256", tail(a76, 0, 64)) + line("SDR 45", a76.substr(0, 12))},
      {"509 bits end with 253", "X\nSDR 509 TDI (" + a128 + ");\n",
       "X\n" + line("SDRS 256", tail(a128, 0, 64)) + line("SDR 253", a128.substr(0, 64))},
      {"512 bits end with 256", "X\nSDR 512 TDI (" + a128 + ");\n",
       "X\n" + line("SDRS 256", tail(a128, 0, 64)) + line("SDR 256", a128.substr(0, 64))},
      {"513 bits take three lines", "X\nSDR 513 TDI (" + A.substr(0, 1) + a128 + ");\n",
       "X\n" + line("SDRS 256", tail(a128, 0, 64)) + line("SDRS 256", a128.substr(0, 64)) +
           line("SDR 1", A.substr(0, 1))},
      {"data broken over lines, indented with tabs and spaces",
       "X\nSDR 300 TDI (" + a75.substr(0, 10) + "\r\n\t" + a75.substr(10, 30) + "\n  \t" + a75.substr(40) +
           " )\n\tTDO (" + b75.substr(0, 70) + "\v\f" + b75.substr(70) + ");\n",
       "X\n" + line("SDRS 256", tail(a75, 0, 64), tail(b75, 0, 64)) +
           line("SDR 44", a75.substr(0, 11), b75.substr(0, 11))},
      {"a short field is zero-extended", "X\nSDR 300 TDI (1F) TDO (" + b75 + ");\n",
       "X\n" + line("SDRS 256", std::string(62, '0') + "1F", tail(b75, 0, 64)) +
           line("SDR 44", std::string(11, '0'), b75.substr(0, 11))},
      {"an empty field is all zeros", "X\nSDR 257 TDI ();\n",
       "X\n" + line("SDRS 256", std::string(64, '0')) + line("SDR 1", "0")},
      {"surplus leading digits are left out", "X\nSDR 300 TDI (" + A.substr(0, 90) + ");\n",
       "X\n" + line("SDRS 256", tail(A.substr(0, 90), 0, 64)) + line("SDR 44", A.substr(15, 11))},
      {"a ')' among the keyword's bytes after its '(' is a digit", "X\nSDR 260 T()" + A.substr(0, 64) + ");\n",
       "X\n" + line("SDRS 256", A.substr(0, 64)) + line("SDR 4", ")")},
      {"digits keep their case", "X\nSDR 260 TDI (abcdef" + A.substr(0, 59) + ");\n",
       "X\n" + line("SDRS 256", "bcdef" + A.substr(0, 59)) + line("SDR 4", "a")},
      {"no blank before '(' and none before ';'", "X\nSDR 300 TDI(" + a75 + ")TDO(" + b75 + ");\n",
       "X\n" + line("SDRS 256", tail(a75, 0, 64), tail(b75, 0, 64)) +
           line("SDR 44", a75.substr(0, 11), b75.substr(0, 11))},
      {"back-to-back long commands with LF", "X\nSDR 300 TDI (" + a75 + ");\nSDR 301 TDI (" + a76 + ");\n",
       "X\n" + line("SDRS 256", tail(a75, 0, 64)) + line("SDR 44", a75.substr(0, 11)) +
           line("SDRS 256", tail(a76, 0, 64)) + line("SDR 45", a76.substr(0, 12))},
      {"back-to-back long commands with CR LF", "X\r\nSDR 300 TDI (" + a75 + ");\r\nSDR 300 TDI (" + a75 + ");\r\n",
       "X\r\n" + line("SDRS 256", tail(a75, 0, 64)) + line("SDR 44", a75.substr(0, 11)) +
           line("SDRS 256", tail(a75, 0, 64)) + line("SDR 44", a75.substr(0, 11))},
      {"a blank before the line end", "X\nSDR 300 TDI (" + a75 + ") ; \r\nSDR 12;\n",
       "X\n" + line("SDRS 256", tail(a75, 0, 64)) + line("SDR 44", a75.substr(0, 11)) + "\nSDR 12;\n"},
      {"text right after ';' stays", "X\nSDR 300 TDI (" + a75 + ");RUNTEST 1 TCK;\n",
       "X\n" + line("SDRS 256", tail(a75, 0, 64)) + line("SDR 44", a75.substr(0, 11)) + "RUNTEST 1 TCK;\n"},
      {"';' is the last byte", "X\nSDR 300 TDI (" + a75 + ");",
       "X\n" + line("SDRS 256", tail(a75, 0, 64)) + line("SDR 44", a75.substr(0, 11))},
      {"vertical tab after ';' is not consumed", "X\nSDR 300 TDI (" + a75 + ");\v\n",
       "X\n" + line("SDRS 256", tail(a75, 0, 64)) + line("SDR 44", a75.substr(0, 11)) + "\v\n"},
      {"MASK before TDO is dropped", "X\nSDR 300 TDI (" + a75 + ") MASK (" + c75 + ") TDO (" + b75 + ");\n",
       "X\n" + line("SDRS 256", tail(a75, 0, 64), tail(b75, 0, 64)) +
           line("SDR 44", a75.substr(0, 11), b75.substr(0, 11))},
      {"SMASK before MASK goes out as MASK",
       "X\nSDR 300 TDI (" + a75 + ") TDO (" + b75 + ") SMASK (" + c75 + ") MASK (" + a75 + ");\n",
       "X\n" + line("SDRS 256", tail(a75, 0, 64), tail(b75, 0, 64), tail(c75, 0, 64)) +
           line("SDR 44", a75.substr(0, 11), b75.substr(0, 11), c75.substr(0, 11))},
      {"SMASK between TDI and TDO is dropped", "X\nSDR 300 TDI (" + a75 + ") SMASK (" + c75 + ") TDO (" + b75 + ");\n",
       "X\n" + line("SDRS 256", tail(a75, 0, 64), tail(b75, 0, 64)) +
           line("SDR 44", a75.substr(0, 11), b75.substr(0, 11))},
      {"a field reaching back to the start of the file", "X\nSDR 300 TDI (" + a127 + ");\n",
       "X\n" + line("SDRS 256", tail(a127, 0, 64)) + line("SDR 44", tail(a127, 64, 11))},
  };
}

TEST(Segmenter, WritesExactSegmentLines) {
  for (const auto& c : segment_cases()) {
    for (const auto window : kWindows) {
      const auto result = convert_text(c.input, window);
      ASSERT_EQ(result.output, c.expected) << c.name << ", window " << window;
      ASSERT_EQ(result.report.unsplit_count, 0u) << c.name;
    }
  }
}

// Commands that cannot be split as laid out reach the output unchanged,
// are reported, and do not stop the next command from being split.
TEST(Segmenter, CopiesThroughWhatCannotBeSplit) {
  const std::string a75 = A.substr(0, 75);
  const std::string good = "SDR 300 TDI (" + a75 + ");\n";
  const std::string good_split = line("SDRS 256", tail(a75, 0, 64)) + line("SDR 44", a75.substr(0, 11));
  const char* broken[] = {
      "SDR 300;",                   // the length ends in ';'
      "SDR 300 TDI (12;",           // ';' before ')'
      "SDR 300 TD;(12);",           // ';' among the bytes after the keyword
      "SDR 300 TDI 12);",           // no '('
      "SDR 300 TDI ((12);",         // two '('
      "SDR 300 T((12);",            // two '(' among the bytes of the keyword
      "SDR 300 TDI (12) TDO 34);",  // TDO without '('
      "SDR 300 TDI (12) TDO (34) MASK 5);",
      "SDR 300 TDI (12\n",  // runs into the next command's '('
  };
  for (const char* b : broken) {
    const std::string input = "X\n" + std::string(b) + "\n" + good + "Y\n";
    const std::string expected = "X\n" + std::string(b) + "\n" + good_split + "Y\n";
    for (const auto window : kWindows) {
      const auto result = convert_text(input, window);
      ASSERT_EQ(result.output, expected) << b << ", window " << window;
      ASSERT_EQ(result.report.unsplit_count, 1u) << b;
      ASSERT_EQ(result.report.unsplit[0].line, 2u) << b;
      ASSERT_EQ(result.report.unsplit[0].bits, 300u) << b;
    }
  }
}

// Cut off anywhere before its ';', a long command is copied through whole.
TEST(Segmenter, CommandCutOffByTheEndOfInput) {
  const std::string full = "X\r\nSDR 300 TDI (" + A.substr(0, 75) + ")\r\n TDO (" + B.substr(0, 75) + ")\r\n MASK (" +
                           C.substr(0, 75) + ");";
  const std::size_t length_end = full.find("300") + 3;
  for (std::size_t cut = 0; cut < full.size(); ++cut) {
    const std::string input = full.substr(0, cut);
    for (const std::size_t window : {std::size_t{3}, Input::kDefaultWindow}) {
      const auto result = convert_text(input, window);
      ASSERT_EQ(result.output, input) << "cut at " << cut;
      ASSERT_EQ(result.report.unsplit_count, cut >= length_end ? 1u : 0u) << "cut at " << cut;
    }
  }
}

TEST(Segmenter, ReportsLinesOfTheFirstTenUnsplitCommands) {
  // Lines before them counted in a small window, and in large ones.
  for (const std::size_t before : {1, 9000}) {
    std::string input = std::string(before, '\n') + "X\n";
    for (int i = 0; i < 13; ++i) input += "SDR 4" + std::to_string(10 + i) + " TDI (1\n\n";
    for (const std::size_t window : {std::size_t{7}, Input::kDefaultWindow}) {
      const auto result = convert_text(input, window);
      EXPECT_EQ(result.output, input);
      ASSERT_EQ(result.report.unsplit_count, 13u);
      for (std::size_t i = 0; i < kReportedUnsplit; ++i) {
        EXPECT_EQ(result.report.unsplit[i].line, before + 2 + 2 * i) << before << ", window " << window;
        EXPECT_EQ(result.report.unsplit[i].bits, 410 + i);
      }
    }
  }
}

// A file full of commands that are examined and copied through must not
// be searched again and again: the input is read a bounded number of times.
TEST(Segmenter, UnsplitCommandsKeepTheRunLinear) {
  struct Flood {
    const char* name;
    std::string line;
    std::string end;
  };
  const Flood floods[] = {
      {"no ';' anywhere", "SDR 300 TDI (1\n", ""},
      {"no ')' before the final ';'", "SDR 300 TD\n", ";\n"},
      {"two '(' far away", "SDR 300 xxxxxxx\n", "(()\n;"},
      {"no ';' after fields", "SDR 300 TDI (1) TDO (2) MASK (3)\n", ""},
      {"no ')' in sight", "SDR 300 TDI 1;\n", ""},
  };
  for (const auto& f : floods) {
    std::string input = "X\n";
    for (int i = 0; i < 20000; ++i) input += f.line;
    input += f.end;
    for (const std::size_t window : {std::size_t{4096}, Input::kDefaultWindow}) {
      const auto [result, bytes_read] = convert_file(input, window);
      EXPECT_EQ(result.output, input) << f.name;
      // A few passes over each byte, not one per command.
      EXPECT_LT(bytes_read, 12 * input.size()) << f.name << ", window " << window;
      EXPECT_LT(result.bytes_searched, 12 * input.size()) << f.name << ", window " << window;
    }
  }
}

// A file whose long commands all fit the window, or whose fields' digits
// at least fit the room kept for them, is read exactly once, wherever the
// window's edges fall. Commands that the window holds are located in one
// pass over it, where a keyword or a '(' a few bytes on is found without a
// search for it, as each is through the notes.
TEST(Segmenter, ReadsTheInputOnceWhenTheDigitsFit) {
  struct Row {
    const char* name;
    std::size_t window;
    std::size_t wrap;    // digits per line
    std::string indent;  // after each line end inside a field
    bool in_window;      // every command located in one pass over the window
  };
  const Row rows[] = {
      {"commands that fit the window", 4096, 64, "\r\n\t", true},
      {"commands that fit the default window", Input::kDefaultWindow, 128, "\n", true},
      {"commands longer than the window, digits that fit", 4096, 8, "\r\n" + std::string(40, ' '), false},
  };
  for (const Row& row : rows) {
    std::string input = "! header\r\n";
    for (std::uint32_t i = 0; i < 40; ++i) {
      const std::uint32_t bits = 257 + 71 * i;
      input += "SDR " + std::to_string(bits);
      for (const char* field : {" TDI (", ") TDO (", ") MASK ("}) {
        const std::string digits = hex_digits((bits + 3) / 4, i);
        input += field;
        for (std::size_t at = 0; at < digits.size(); at += row.wrap)
          input += (at == 0 ? "" : row.indent) + digits.substr(at, row.wrap);
      }
      input += ");\r\nRUNTEST 10 TCK;\r\n";
    }
    const auto [result, bytes_read] = convert_file(input, row.window);
    EXPECT_EQ(result.report.unsplit_count, 0u) << row.name;
    EXPECT_EQ(result.output, reference_convert(input).output) << row.name;
    EXPECT_EQ(bytes_read, kReadsCounted ? input.size() : 0) << row.name;
    EXPECT_EQ(result.searches < 40, row.in_window) << row.name << ": " << result.searches << " searches";
  }
}

// A command that the window holds whole is located in one pass over it;
// one that does not, through the notes. Both give the same bytes, with
// window edges everywhere, blanks, CR LF and short fields.
TEST(Segmenter, WindowAndNotesGiveTheSameBytes) {
  std::string input = "! header\r\n";
  for (std::uint32_t i = 0; i < 60; ++i) {
    const std::uint32_t bits = 257 + 97 * i;
    const std::string digits = hex_digits((bits + 3) / 4 - (i % 3 == 0 ? i : 0), i);  // some short
    const std::string wrapped =
        digits.substr(0, digits.size() / 2) + (i % 2 ? "\r\n\t " : "\n") + digits.substr(digits.size() / 2);
    input += "SDR " + std::to_string(bits) + " TDI (" + wrapped + ")" + (i % 4 ? " TDO (" + digits + ")" : "") +
             (i % 5 ? "\r\n MASK (" + wrapped + ")" : "") + ";\r\nRUNTEST 1 TCK;\r\n";
  }
  const auto in_memory = convert_text(input);
  EXPECT_EQ(in_memory.output, reference_convert(input).output);
  // Windows that hold no command, some, and all (with the window moved to
  // the start of a command that straddles its end).
  for (const std::size_t window : {16, 700, 1500, 16384}) {
    const auto result = convert_text(input, window);
    EXPECT_TRUE(result.output == in_memory.output) << "window " << window;
  }
}

}  // namespace
}  // namespace svfsplit::test
