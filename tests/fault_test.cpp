// Faults injected into the platform layer's calls, through the test build
// of the program (svfsplit_seam): whatever fails, the run reports it once,
// and the output name holds either what it held before or the whole new
// output, never part of it; no temporary file is left behind.
#include "cli.hpp"

namespace svfsplit::test {
namespace {

// A long command whose output fills several buffers.
const std::string kInput = "! board\r\nSDR 300 TDI (" + hex_digits(75) + ")\r\n TDO (" + hex_digits(75, 1) +
                           ");\r\nSDR 4500000 TDI (1);\r\nRUNTEST 1 TCK;\r\n";

class Faults : public Cli {
 protected:
  ProgramRun run_with(const std::string& faults, bool previous) {
    write_file(dir_ / "a.svf", kInput);
    fs::remove(dir_ / "a.gvf");
    if (previous)
      write_file(dir_ / "a.gvf", kPrevious);
    ProgramOptions options;
    options.binary = SVFSPLIT_SEAM_BINARY;
    options.environment = {{"SVFSPLIT_FAULTS", faults}};
    return run_program(dir_, {"svfsplit", "a.svf"}, options);
  }

  const std::string converted_ = convert_text(kInput).output;
};

std::size_t count_lines_starting(const std::string& text, const std::string& head) {
  std::size_t n = 0;
  for (std::size_t at = 0; at < text.size();) {
    if (text.compare(at, head.size(), head) == 0)
      ++n;
    const auto lf = text.find('\n', at);
    at = lf == std::string::npos ? text.size() : lf + 1;
  }
  return n;
}

// Every call of every kind, failing in turn. An interrupted call is
// retried and a short one goes on, so those runs must succeed.
TEST_F(Faults, EveryCallLeavesTheOldOutputOrTheWholeNewOne) {
  const char* kinds[] = {"open",  "create", "status", "resolve", "permissions", "read",
                         "write", "close",  "rename", "remove",  "print"};
  const char* errors[] = {"EIO", "EINTR", "short"};
  for (const char* kind : kinds) {
    for (int nth = 1; nth <= 4; ++nth) {
      for (const char* error : errors) {
        for (const bool previous : {false, true}) {
          const std::string fault = std::string(kind) + ":" + std::to_string(nth) + ":" + error;
          const auto r = run_with(fault, previous);
          const std::string what = fault + (previous ? ", over an output" : "");
          ASSERT_EQ(r.signal, 0) << what;
          const bool harmless = error == std::string("EINTR") || error == std::string("short");
          const bool printing = kind == std::string("print");
          if (harmless || r.status == 0) {
            EXPECT_EQ(r.status, 0) << what;
            EXPECT_EQ(r.out, kProcessing + kDone) << what;
            EXPECT_EQ(r.err, "") << what;
            EXPECT_TRUE(read_file(dir_ / "a.gvf") == converted_) << what;
          } else if (printing) {
            // Standard output itself failed: the status alone says so.
            EXPECT_EQ(r.status, 1) << what;
            EXPECT_TRUE(read_file(dir_ / "a.gvf") == converted_) << what;
          } else {
            EXPECT_EQ(r.status, 1) << what;
            EXPECT_EQ(count_lines_starting(r.out, "Could not "), 1u) << what << ": " << r.out;
            EXPECT_EQ(r.out.find("successfully"), std::string::npos) << what;
            EXPECT_EQ(fs::exists(dir_ / "a.gvf"), previous) << what;
            if (previous) {
              EXPECT_EQ(read_file(dir_ / "a.gvf"), kPrevious) << what;
            }
            if (r.out == "Could not open file\n") {
              EXPECT_EQ(r.err.rfind("svfsplit: cannot ", 0), 0u) << what << ": " << r.err;
            }
          }
          EXPECT_EQ(hidden_entries(dir_), std::vector<std::string>{}) << what;
          EXPECT_EQ(read_file(dir_ / "a.svf"), kInput) << what;
        }
      }
    }
  }
}

// The exact report of some faults.
TEST_F(Faults, ReportsNameTheFileAndTheReason) {
  struct Row {
    const char* faults;
    std::string out;
    std::string err;  // its start
  };
  const Row rows[] = {
      {"open:1:EACCES", "Could not open file\n", "svfsplit: cannot open 'a.svf': Permission denied\n"},
      {"status:1:EIO", "Could not open file\n", "svfsplit: cannot open 'a.svf': Input/output error\n"},
      {"open:2:EACCES", "Could not open file\n", "svfsplit: cannot create 'a.gvf': Permission denied\n"},
      {"create:1:ENOSPC", "Could not open file\n",
       "svfsplit: cannot create a temporary file beside 'a.gvf': No space left on device\n"},
      {"read:2:EIO", kProcessing + "Could not read a.svf: Input/output error\n", ""},
      {"write:2:EFBIG", kProcessing + "Could not write a.gvf: File too large\n", ""},
      {"close:2:EIO", kProcessing + "Could not write a.gvf: Input/output error\n", ""},
      {"rename:1:EXDEV", kProcessing + "Could not write a.gvf: Invalid cross-device link\n", ""},
      {"write:1:ENOSPC,remove:1:EIO", kProcessing + "Could not write a.gvf: No space left on device\n",
       "svfsplit: cannot remove '.a.gvf."},
  };
  for (const Row& row : rows) {
    const auto r = run_with(row.faults, true);
    EXPECT_EQ(r.status, 1) << row.faults;
    EXPECT_EQ(r.out, row.out) << row.faults;
    EXPECT_EQ(r.err.substr(0, row.err.size()), row.err) << row.faults;
    EXPECT_EQ(read_file(dir_ / "a.gvf"), kPrevious) << row.faults;
    for (const auto& name : hidden_entries(dir_))
      fs::remove(dir_ / name);  // the temporary file that could not be removed
  }
}

}  // namespace
}  // namespace svfsplit::test
