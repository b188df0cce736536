// The program end to end, on every system: the real binary on temporary
// files, its standard output and error, exit status, and what it leaves
// on disk.
#include <csignal>
#include <tuple>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "cli.hpp"
#include "cli/driver.hpp"
#include "convert/kernels/kernels.hpp"
#include "platform/platform_internal.hpp"
#include "svfsplit_version.h"

namespace svfsplit::test {
namespace {

TEST(OutputName, LandsBesideTheInput) {
  constexpr auto kPosix = platform::PathStyle::kPosix;
  constexpr auto kWindows = platform::PathStyle::kWindows;
  const std::string long_name(5000, 'n');
  const std::tuple<platform::PathStyle, std::string, std::string> rows[] = {
      {kPosix, "file.svf", "file.gvf"},
      {kPosix, "a.b.svf", "a.gvf"},
      {kPosix, "file.", "file.gvf"},
      {kPosix, "file.SVF", "file.gvf"},
      {kPosix, "file", "file.gvf"},
      {kPosix, "./data/file.svf", "./data/file.gvf"},
      {kPosix, "../x.svf", "../x.gvf"},
      {kPosix, "dir.d/file.svf", "dir.d/file.gvf"},
      {kPosix, "dir.d/file", "dir.d/file.gvf"},
      {kPosix, "/abs/x.y/z.svf", "/abs/x.y/z.gvf"},
      {kPosix, ".hidden", ".gvf"},
      {kPosix, "x.gvf", "x.gvf"},
      {kPosix, long_name + ".svf", long_name + ".gvf"},
      {kPosix, "top.d\\board.svf", "top.gvf"},  // a backslash is an ordinary byte
      {kWindows, "board.svf", "board.gvf"},
      {kWindows, "data.d\\board.svf", "data.d\\board.gvf"},
      {kWindows, "C:\\jtag\\top.d\\board.svf", "C:\\jtag\\top.d\\board.gvf"},
      {kWindows, "C:board.svf", "C:board.gvf"},
      {kWindows, "c:top.d", "c:top.gvf"},
      {kWindows, "C:", "C:.gvf"},
      {kWindows, "\\\\server\\share\\f.svf", "\\\\server\\share\\f.gvf"},
      {kWindows, "\\\\server.x\\share.y\\f", "\\\\server.x\\share.y\\f.gvf"},
      {kWindows, "mixed.d/sub.d\\f.svf", "mixed.d/sub.d\\f.gvf"},
      {kWindows, "back.d\\slash.d/f.svf", "back.d\\slash.d/f.gvf"},
      {kWindows, "1:x.svf", "1:x.gvf"},
  };
  for (const auto& [style, input, output] : rows)
    EXPECT_EQ(derive_output_name(input, style), output) << input.substr(0, 40);
}

// Names in messages: as they are where nothing in them could be misread,
// else quoted on one line: as a POSIX shell reads them back, or in double
// quotes with what does not print told by what it is (Windows).
TEST(Names, ShownOnOneLineAndToldApart) {
  constexpr auto kWindows = platform::PathStyle::kWindows;
  struct Row {
    std::string name;
    std::string quoted;
    std::string shown;  // empty: as it is
    platform::PathStyle style = platform::PathStyle::kPosix;
  };
  const Row rows[] = {
      {"board.svf", "'board.svf'", ""},
      {"my board.svf", "'my board.svf'", ""},
      {"C:\\jtag\\b.svf", "'C:\\jtag\\b.svf'", ""},
      {"\u65e5\u672c \U0001f600.svf", "'\u65e5\u672c \U0001f600.svf'", ""},
      {"it's.svf", "\"it's.svf\"", "\"it's.svf\""},
      {"say \"hi\".svf", "'say \"hi\".svf'", "'say \"hi\".svf'"},
      {"it's $HOME", "'it'\\''s $HOME'", "'it'\\''s $HOME'"},
      {"a\nb.svf", "'a'$'\\n''b.svf'", "'a'$'\\n''b.svf'"},
      {"\t\r\x1b[2J", "$'\\t\\r\\033''[2J'", "$'\\t\\r\\033''[2J'"},
      {"\xff\xc3.svf", "$'\\377\\303''.svf'", "$'\\377\\303''.svf'"},
      {"\xc2\x9b"
       "1m\x7f",
       "$'\\302\\233''1m'$'\\177'", "$'\\302\\233''1m'$'\\177'"},
      {"\xed\xa0\x80\xf4\x90\x80\x80", "$'\\355\\240\\200\\364\\220\\200\\200'",
       "$'\\355\\240\\200\\364\\220\\200\\200'"},
      {"it's\\\\.svf", "'it'\\''s\\\\.svf'", "'it'\\''s\\\\.svf'"},
      {"a\u200bb\u202e\u2066\n\ufeff.svf",
       "'a<format U+200B>b<format U+202E><format U+2066>'$'\\n''<format U+FEFF>.svf'",
       "'a<format U+200B>b<format U+202E><format U+2066>'$'\\n''<format U+FEFF>.svf'"},
      {"\u2069\u061c.svf", "\"<format U+2069><format U+061C>.svf\"", "\"<format U+2069><format U+061C>.svf\"",
       kWindows},
      {"O'Brien \n\xc2\x9b\xed\xa0\x80\xff.svf",
       "\"O'Brien <control U+000A><control U+009B><unpaired surrogate U+D800><byte 0xFF>.svf\"",
       "\"O'Brien <control U+000A><control U+009B><unpaired surrogate U+D800><byte 0xFF>.svf\"", kWindows},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(quoted_name(row.name, row.style), row.quoted) << row.name;
    EXPECT_EQ(shown_name(row.name, row.style), row.shown.empty() ? row.name : row.shown) << row.name;
  }
}

// A console opened for the run alone (a file dropped on the program in
// Explorer) closes with it: the program then waits for a key.
TEST(Console, HeldOnlyWhenItClosesWithTheRun) {
  struct Row {
    const char* name;
    platform::ConsoleReport console;
    bool closes;
  };
  const Row rows[] = {
      {"dropped on it in Explorer", {1, true, true, true}, true},
      {"from a Command Prompt", {2, true, true, true}, false},
      {"from a script in a Command Prompt", {3, true, true, true}, false},
      {"its input redirected", {1, false, true, true}, false},
      {"its output redirected", {1, true, false, true}, false},
      {"no console", {0, false, false, false}, false},
      {"not seen: hidden, without a window (CREATE_NO_WINDOW, Wine on a terminal), in Windows Terminal's tab, on a "
       "hidden window station",
       {1, true, true, false},
       false},
  };
  for (const Row& row : rows) EXPECT_EQ(platform::console_closes_with_the_run(row.console), row.closes) << row.name;
}

// Windows names take the form without the 260-character limit when they,
// or their temporary name (8 more), could pass it.
TEST(WindowsNames, LongPathsTakeTheExtendedForm) {
  const std::string deep = "C:\\jtag\\" + std::string(237, 'd') + "\\a.svf";  // 251: 259 with 8 more
  const std::string deeper = "C:\\jtag\\" + std::string(238, 'd') + "\\a.svf";
  const std::string share = "\\\\server\\share\\" + std::string(1100, 's') + "\\b.svf";
  const std::pair<std::string, std::string> rows[] = {
      {"C:\\jtag\\board.svf", "C:\\jtag\\board.svf"},
      {deep, deep},
      {deeper, "\\\\?\\" + deeper},
      {"C:/jtag/" + std::string(300, 'd') + "/a.svf", "\\\\?\\C:\\jtag\\" + std::string(300, 'd') + "\\a.svf"},
      {share, "\\\\?\\UNC\\server\\share\\" + std::string(1100, 's') + "\\b.svf"},
      {"\\\\?\\" + deeper, "\\\\?\\" + deeper},
      {"\\\\.\\pipe\\" + std::string(300, 'p'), "\\\\.\\pipe\\" + std::string(300, 'p')},
      {std::string(300, 'r') + "\\relative.svf", std::string(300, 'r') + "\\relative.svf"},
  };
  for (const auto& [full, system] : rows)
    EXPECT_EQ(platform::internal::extended_length_path(full, 8), system) << full.size();
}

// What the command line asks for, when it is not a conversion.
TEST_F(Cli, UsageHelpAndVersion) {
  const std::string usage = "Usage: svfsplit original_filename (e.g.: file.svf)\n";
  const std::string help = usage + "Writes a copy";
#if defined(_WIN32)
  const bool windows = true;
#else
  const bool windows = false;
#endif
  // What Windows users type: switches, and wildcards its shell leaves.
  const std::string not_found = "Could not open file\n";
  const auto missing = [](const std::string& name) {
    return "svfsplit: cannot open '" + name + "': No such file or directory\n";
  };
  const auto wildcard = [](const std::string& name) {
    return "svfsplit: cannot open '" + name + "': wildcards are not expanded; give one file name\n";
  };
  const std::string long_pattern = "*" + std::string(40, 'a') + ".svf";
  std::string runnable;  // the versions of the kernels this processor runs
  for (const KernelVersion* version : runnable_kernel_versions())
    runnable += (runnable.empty() ? "" : ", ") + std::string(version->name);
  struct Row {
    std::vector<std::string> args;
    std::string out;  // its start
    int status;
    std::string err = "";
    std::string kernels = "";  // SVFSPLIT_KERNEL
  };
  const Row rows[] = {
      {{"svfsplit"}, usage, 2},
      {{"svfsplit", "a.svf"},
       "",
       2,
       "svfsplit: SVFSPLIT_KERNEL=sse9: no such version (it runs " + runnable + ")\n",
       "sse9"},
      {{"./my-tool", "a.svf", "b.svf"}, "Usage: ./my-tool original_filename (e.g.: file.svf)\n", 2},
      {{"svfsplit", "--help"}, help, 0},
      {{"svfsplit", "-h"}, help, 0},
      {{"svfsplit", "/?"}, windows ? help : not_found, windows ? 0 : 1},
      {{"svfsplit", "-?"}, windows ? help : not_found, windows ? 0 : 1},
      {{"svfsplit", "--version"}, "svfsplit " SVFSPLIT_VERSION "\n", 0},
      {{"svfsplit", "*.svf"}, not_found, 1, windows ? wildcard("*.svf") : missing("*.svf")},
      {{"svfsplit", long_pattern}, not_found, 1, windows ? wildcard(long_pattern) : missing(long_pattern)},
      {{"svfsplit", "board?.svf"}, not_found, 1, windows ? wildcard("board?.svf") : missing("board?.svf")},
      // The '?' of a name Windows takes literally is no wildcard.
      {{"svfsplit", "\\\\?\\C:\\nowhere\\b.svf"}, not_found, 1, missing("\\\\?\\C:\\nowhere\\b.svf")},
      {{"svfsplit", "/\\?\\C:\\nowhere\\b.svf"}, not_found, 1, missing("/\\?\\C:\\nowhere\\b.svf")},
  };
  for (const Row& row : rows) {
    ProgramOptions options;
    if (!row.kernels.empty())
      options.environment = {{"SVFSPLIT_KERNEL", row.kernels}};
    const auto r = run_program(dir_, row.args, options);
    EXPECT_EQ(r.out.substr(0, row.out.size()), row.out) << row.args.back();
    EXPECT_EQ(r.status, row.status) << row.args.back();
    if (!row.err.empty()) {
      EXPECT_EQ(r.err, native_quotes(row.err)) << row.args.back();
    }
    EXPECT_EQ(entries(), 0u);
  }
}

// An input that cannot be read, or an output that cannot be written: named
// on standard error, and nothing is created.
TEST_F(Cli, WhatCannotBeOpenedIsNamed) {
  fs::create_directory(dir_ / "folder.svf");
  fs::create_directory(dir_ / "a.gvf");
  write_file(dir_ / "a.svf", kBoardInput);
  const std::string too_long(300, 'n');
  const std::string longest(251, 'n');  // with ".svf", the longest name a folder holds
  std::vector<std::pair<std::string, std::string>> rows = {
      {longest + ".svf", "cannot open '" + longest + ".svf': No such file or directory"},
      {longest + "n.svf", "cannot open '" + longest + "n.svf': File name too long"},
      {"missing.svf", "cannot open 'missing.svf': No such file or directory"},
      {"folder.svf", "cannot open 'folder.svf': not a regular file"},
      {"a.svf", "cannot create 'a.gvf': Is a directory"},
      // No folder can hold the name: too long, not missing.
      {too_long + ".svf", "cannot open '" + too_long + ".svf': File name too long"},
  };
#if !defined(_WIN32)
  ASSERT_EQ(::mkfifo((dir_ / "pipe.svf").c_str(), 0600), 0);
  rows.push_back({"pipe.svf", "cannot open 'pipe.svf': not a regular file"});
  rows.push_back({"/dev/null", "cannot open '/dev/null': not a regular file"});
  rows.push_back({"a\nb.svf", "cannot open 'a'$'\\n''b.svf': No such file or directory"});
#else
  // An unpaired surrogate names no other file: not this one, with U+FFFD in its place.
  write_file(dir_ / fs::path(L"\xfffd.svf"), kBoardInput);
  rows.push_back({"\xed\xa0\x80.svf", "cannot open \"<unpaired surrogate U+D800>.svf\": No such file or directory"});
  rows.push_back({"a\nb.svf", "cannot open \"a<control U+000A>b.svf\": No such file or directory"});
#endif
  const std::size_t before = entries();
  for (const auto& [name, problem] : rows) {
    const auto r = run_program(dir_, {"svfsplit", name});
    EXPECT_EQ(r.out, "Could not open file\n") << name;
    EXPECT_EQ(r.err, native_quotes("svfsplit: " + problem + "\n"));
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(entries(), before) << name;
  }
}

// Each check on its own: the name is compared for an input that may not
// be written (read-only, run by another user), the file opened for one
// whose name was not seen to match.
TEST_F(Cli, RefusesToOverwriteTheInput) {
  struct Row {
    const char* input;
    const char* link_kind;  // how a.gvf reaches the input
    bool read_only = false;
    const char* faults = nullptr;
  };
  const Row rows[] = {
      {"x.gvf", "none"},
      {"a.svf", "symbolic"},
      {"a.svf", "hard"},
      {"x.gvf", "none, read-only", true},
      {"x.gvf", "none, not seen by name", false, "status:2:ENOENT"},
      {"it's.gvf", "none, with a quote"},
  };
  std::string skipped;  // the rows that cannot run here
  for (const Row& row : rows) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    write_file(dir_ / row.input, kBoardInput);
    // MinGW's library makes no symbolic links; nobody can be another user
    // whose permissions hold.
    if ((row.read_only && !can_run_unprivileged()) ||
        (std::string(row.link_kind) == "symbolic" && fs::path::preferred_separator == '\\')) {
      skipped += std::string(" ") + row.link_kind + ";";
      continue;
    }
    if (std::string(row.link_kind) == "symbolic")
      fs::create_symlink("a.svf", dir_ / "a.gvf");
    if (std::string(row.link_kind) == "hard")
      fs::create_hard_link(dir_ / "a.svf", dir_ / "a.gvf");
    ProgramOptions options;
    if (row.read_only) {
      options.as_unprivileged = true;
      fs::permissions(dir_ / row.input, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }
    if (row.faults != nullptr) {
      options.binary = SVFSPLIT_SEAM_BINARY;
      options.environment = {{"SVFSPLIT_FAULTS", row.faults}};
    }
    const auto r = run_program(dir_, {"svfsplit", row.input}, options);
    const std::string input = row.input;
    const std::string output = input == "a.svf" ? "a.gvf" : input == "it's.gvf" ? "\"it's.gvf\"" : input;
    EXPECT_EQ(r.out, "Could not write " + output + ": it is the input file\n") << row.link_kind;
    EXPECT_EQ(r.status, 1) << row.link_kind;
    EXPECT_EQ(read_file(dir_ / row.input), kBoardInput) << row.link_kind;
    EXPECT_TRUE(hidden_entries(dir_).empty());
    fs::permissions(dir_ / row.input, fs::perms::owner_write, fs::perm_options::add);
  }
  if (!skipped.empty())
    GTEST_SKIP() << "rows that cannot run here:" << skipped;
}

// Standard output that cannot be written, or is closed: the conversion
// itself is done and kept, and the run fails with status 1, commands
// copied unsplit or not, saying why on standard error. A run started
// without any standard stream (detached on Windows, a service, `1>&- 2>&-`)
// succeeds. A run blocked on a full one before it converts still ends by
// an interrupt, and keeps the previous output.
TEST_F(Cli, StandardOutputThatFailsFailsTheRunButNotTheConversion) {
  using Stdout = ProgramOptions::Stdout;
  struct Row {
    const char* name;
    Stdout kind;
    bool others_closed;    // standard input and error
    int status;            // or -1: ended by SIGTERM, blocked on its first line
    bool unsplit = false;  // a command is copied unsplit
  };
  const Row rows[] = {
    {"closed, with the others", Stdout::kClosed, true, 0},
    {"a pipe nobody reads", Stdout::kClosedPipe, false, 1},
    {"a pipe nobody reads, a command copied unsplit", Stdout::kClosedPipe, false, 1, true},
#if !defined(_WIN32)
    {"full", Stdout::kFull, false, 1},
    {"blocked on the first line", Stdout::kFilledPipe, false, -1},
#endif
  };
  for (const Row& row : rows) {
    const std::string input = kBoardInput + (row.unsplit ? "SDR 300;\r\n" : "");
    write_file(dir_ / "a.svf", input);
    write_file(dir_ / "a.gvf", kPrevious);
    ProgramOptions options;
    options.stdout_kind = row.kind;
    options.stdin_closed = row.others_closed;
    options.stderr_closed = row.others_closed;
    if (row.status < 0) {
      options.signal = SIGTERM;
      options.delay = std::chrono::milliseconds(300);
    }
    const auto r = run_program(dir_, {"svfsplit", "a.svf"}, options);
    EXPECT_EQ(r.signal, row.status < 0 ? SIGTERM : 0) << row.name;
    EXPECT_EQ(r.status, row.status) << row.name;
    EXPECT_TRUE(holds(dir_ / "a.gvf", row.status < 0 ? kPrevious : convert_text(input).output)) << row.name;
    EXPECT_EQ(read_file(dir_ / "a.svf"), input) << row.name;
    EXPECT_TRUE(hidden_entries(dir_).empty()) << row.name;
    if (row.status < 0)
      continue;
    const std::string reason = row.kind == Stdout::kFull ? "No space left on device" : "Broken pipe";
    EXPECT_EQ(r.err, row.status == 0 ? "" : "svfsplit: cannot write standard output: " + reason + "\n") << row.name;
    // A failed run keeps its own status.
    EXPECT_EQ(run_program(dir_, {"svfsplit", "missing.svf"}, options).status, 1) << row.name;
    EXPECT_EQ(run_program(dir_, {"svfsplit"}, options).status, 2) << row.name;
  }
  EXPECT_FALSE(fs::exists(dir_ / "missing.gvf"));
}

// What is not split is copied as it is, and said, with status 3: long
// commands that cannot be split, one on the first line (after a UTF-8
// byte-order mark too), and text that is not 8-bit text (UTF-16 with its
// byte-order mark, NUL bytes), whose commands cannot be recognised.
TEST_F(Cli, WhatIsNotSplitIsCopiedAsItIsAndSaid) {
  std::string many = "X\n", listed;
  for (int i = 0; i < 12; ++i) many += "SDR 300;\n";
  for (int i = 2; i < 12; ++i) listed += "Warning: line " + std::to_string(i) + ": SDR of 300 bits copied unsplit\n";
  const std::string first_line = "Warning: line 1: SDR of 300 bits copied unsplit\n";
  const std::string not_text =
      "Warning: the input is not 8-bit text (UTF-16, or NUL bytes): SDR commands in it are not recognised\n";
  const std::pair<std::string, std::string> rows[] = {
      {many, listed + "Warning: 2 more SDR commands copied unsplit\n"},
      {kBoardInput.substr(kBoardInput.find("SDR")), first_line},
      {"\xef\xbb\xbf" + kBoardInput.substr(kBoardInput.find("SDR")), first_line},
      {"\xff\xfe\x41\x30\x42\x30", not_text},  // UTF-16 without a NUL byte
      {"\xfe\xff\x30\x41", not_text},
      {std::string("! board\r\n\0\0", 11), not_text},
  };
  for (const auto& [input, warnings] : rows) {
    write_file(dir_ / "a.svf", input);
    const auto r = run_program(dir_, {"svfsplit", "a.svf"});
    EXPECT_EQ(r.out, kProcessing + warnings + kDone);
    EXPECT_EQ(r.status, 3) << warnings;
    EXPECT_TRUE(holds(dir_ / "a.gvf", input)) << warnings;
  }
}

// The binary writes exactly the converter's bytes, whatever the line ends
// (no text mode anywhere), in place of an older and longer output, and
// takes names in any script and in folders.
TEST_F(Cli, ConvertsByteForByteWhateverTheName) {
  const std::string crlf = kBoardInput;
  std::string lf;
  for (const char c : crlf)
    if (c != '\r')
      lf += c;
  const std::string mixed = lf.substr(0, lf.size() / 2) + crlf.substr(crlf.size() / 2) + "\n\r\r\n\x1a\xff";
  const struct {
    std::u8string input;
    std::u8string output;
    std::string text;
    std::string err = "";  // a name of several dots is cut at the first
  } rows[] = {
      {u8"crlf.svf", u8"crlf.gvf", crlf},
      {u8"lf.svf", u8"lf.gvf", lf},
      {u8"mixed.svf", u8"mixed.gvf", mixed},
      {u8"\u65e5\u672c.svf", u8"\u65e5\u672c.gvf", crlf},
      {u8"\u0416\u00e9\u05d0 \U0001f600.svf", u8"\u0416\u00e9\u05d0 \U0001f600.gvf", lf},
      {u8"\U00010000.svf", u8"\U00010000.gvf", crlf},  // the first character of two UTF-16 units
      {u8"data.d/board.svf", u8"data.d/board.gvf", crlf},
      {u8"data.d/board.v1.2.svf", u8"data.d/board.gvf", lf,
       "svfsplit: 'data.d/board.v1.2.svf' is written to 'data.d/board.gvf', its name up to the first dot\n"},
  };
  fs::create_directory(dir_ / "data.d");
  for (const auto& row : rows) {
    write_file(dir_ / fs::path(row.input), row.text);
    write_file(dir_ / fs::path(row.output), std::string(100000, 'x'));  // older and longer: replaced whole
    const std::string name(row.input.begin(), row.input.end());
    const auto r = run_program(dir_, {"svfsplit", name});
    EXPECT_EQ(r.out, kProcessing + kDone) << name;
    EXPECT_EQ(r.err, native_quotes(row.err)) << name;
    EXPECT_EQ(r.status, 0) << name;
    EXPECT_TRUE(holds(dir_ / fs::path(row.output), convert_text(row.text).output)) << name;
    EXPECT_TRUE(hidden_entries(dir_).empty() && hidden_entries(dir_ / "data.d").empty()) << name;
  }
}

#if defined(_WIN32)
// Windows paths through the .exe: folders split at '\' as at '/', and a
// drive prefix.
TEST_F(Cli, WindowsPathsSplitAtBothSeparatorsAndDrives) {
  fs::create_directories(dir_ / "data.d" / "sub.d");
  write_file(dir_ / "data.d" / "sub.d" / "board.svf", kBoardInput);
  const std::string absolute = (dir_ / "data.d" / "sub.d" / "board.svf").string();
  ASSERT_EQ(absolute[1], ':');  // a drive letter
  for (const std::string& name :
       {std::string("data.d\\sub.d\\board.svf"), std::string("data.d/sub.d\\board.svf"), absolute}) {
    fs::remove(dir_ / "data.d" / "sub.d" / "board.gvf");
    const auto r = run_program(dir_, {"svfsplit", name});
    EXPECT_EQ(r.out, kProcessing + kDone) << name;
    EXPECT_TRUE(holds(dir_ / "data.d" / "sub.d" / "board.gvf", convert_text(kBoardInput).output)) << name;
    EXPECT_EQ(entries(), 1u) << name;  // nothing beside data.d
  }
  // Lines end in CR LF on Windows.
  EXPECT_EQ(run_program(dir_, {"svfsplit", "missing.svf"}).out_bytes, "Could not open file\r\n");

  // Names as Windows means them: a short name's output is the long name's,
  // the spaces and dots that Windows drops do not reach the output, and a
  // "\\?\" name is taken literally.
  const std::wstring long_name = (dir_ / "longfilename.svf").wstring();
  const std::wstring source = (dir_ / "source.txt").wstring();
  write_file(dir_ / "longfilename.svf", kBoardInput);
  write_file(dir_ / "source.txt", kBoardInput);
  wchar_t short_name[MAX_PATH];
  ASSERT_GT(::GetShortPathNameW(long_name.c_str(), short_name, MAX_PATH), 0u);
  const std::string literal = "\\\\?\\" + dir_.string() + "\\";
  struct Name {
    std::string typed;
    fs::path file;  // created
    fs::path output;
  };
  const Name names[] = {
      {fs::path(short_name).filename().string(), "longfilename.svf", "longfilename.gvf"},
      {"b ", "b", "b.gvf"},
      {"c.svf. .", "c.svf", "c.gvf"},
      {literal + "x.svf.", "x.svf.", "x.gvf"},
      {literal + "y.svf ", "y.svf ", "y.gvf"},
      {literal + "b .", "b .", "b .gvf"},  // trimmed, it would be b.gvf
      {"//?/" + dir_.generic_string() + "/p.svf. ", "p.svf", "p.gvf"},
      {literal + fs::path(short_name).filename().string(), "longfilename.svf", "longfilename.gvf"},
      {"\\??\\" + dir_.string() + "\\q.svf", "q.svf", "q.gvf"},
  };
  for (const Name& name : names) {
    const std::wstring file = platform::utf16(literal + name.file.string());
    ASSERT_TRUE(::CopyFileW(source.c_str(), file.c_str(), FALSE)) << name.typed;
    write_file(dir_ / name.output, kPrevious);
    const std::size_t before = entries();
    const auto r = run_program(dir_, {"svfsplit", name.typed});
    EXPECT_EQ(r.out, kProcessing + kDone) << name.typed;
    EXPECT_TRUE(holds(dir_ / name.output, convert_text(kBoardInput).output)) << name.typed;
    EXPECT_EQ(entries(), before) << name.typed;  // no output under another name
    ::DeleteFileW(file.c_str());                 // std::filesystem cannot remove "y.svf "
  }

  // A read-only output is refused before anything is written.
  write_file(dir_ / "ro.svf", kBoardInput);
  write_file(dir_ / "ro.gvf", kPrevious);
  fs::permissions(dir_ / "ro.gvf", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const auto r = run_program(dir_, {"svfsplit", "ro.svf"});
  EXPECT_EQ(r.out, "Could not open file\n");
  EXPECT_EQ(r.err, "svfsplit: cannot create \"ro.gvf\": Permission denied\n");
  EXPECT_TRUE(holds(dir_ / "ro.gvf", kPrevious));
  fs::permissions(dir_ / "ro.gvf", fs::perms::owner_write, fs::perm_options::add);
}
#endif

}  // namespace
}  // namespace svfsplit::test
