// Faults injected into the platform layer's calls, through the test build
// of the program (svfsplit_seam): whatever fails, the run reports it once,
// and the output name holds either what it held before or the whole new
// output, never part of it; no temporary file is left behind.
#include <csignal>
#include <map>
#include <set>
#include <sstream>

#include "cli.hpp"

namespace svfsplit::test {
namespace {

// Text that is lent to the writing thread, and a long command whose
// output fills several buffers.
const std::string kInput = "! board\r\n" + std::string(300000, '!') + "\r\nSDR 300 TDI (" + hex_digits(75) +
                           ")\r\n TDO (" + hex_digits(75, 1) + ");\r\nSDR 4500000 TDI (1);\r\nRUNTEST 1 TCK;\r\n";

// Faults that give the temporary file its name from the start, where it
// would have none (Linux), so that its removal is a call that can fail.
#if defined(_WIN32)
const std::string kNamedTemporary;
#else
const std::string kNamedTemporary = "create:1:EOPNOTSUPP,";
#endif

// The syncs of a run that replaces an old output: the new file's, then the
// folder's where the system has one to sync (NTFS journals the rename).
#if defined(_WIN32)
constexpr int kSyncsReplacing = 1;
#else
constexpr int kSyncsReplacing = 2;
#endif

// Whether a run ended as a request to stop ends it: by SIGINT, or as
// Ctrl+C ends a process on Windows.
bool ended_by_stop(const ProgramRun& r) {
#if defined(_WIN32)
  return r.status == static_cast<int>(0xC000013AU);
#else
  return r.signal == SIGINT;
#endif
}

// What the test build said of a run: how many calls of each kind it made,
// and which of the faults asked for fired.
struct SeamReport {
  std::map<std::string, int> calls;
  std::map<std::string, int> reached;  // the system calls themselves, where counted
  std::set<std::string> fired;
};

class Faults : public Cli {
 protected:
  // The old output, if `previous`, under the name `old`.
  ProgramRun run_with(const std::string& faults, bool previous, const std::string& old = "a.gvf") {
    write_file(dir_ / "a.svf", kInput);
    fs::remove(dir_ / "a.gvf");
    fs::remove(report_path());
    if (previous)
      write_file(dir_ / old, kPrevious);
    ProgramOptions options;
    options.binary = SVFSPLIT_SEAM_BINARY;
    options.environment = {{"SVFSPLIT_FAULTS", faults}, {"SVFSPLIT_FAULT_REPORT", report_path().string()}};
    return run_program(dir_, {"svfsplit", "a.svf"}, options);
  }

  SeamReport report() const {
    SeamReport r;
    std::istringstream lines(read_file(report_path()));
    for (std::string what, name; lines >> what >> name;) {
      if (what == "calls")
        lines >> r.calls[name];
      else if (what == "reached")
        lines >> r.reached[name];
      else
        r.fired.insert(name);
    }
    return r;
  }

  fs::path report_path() const { return dir_ / "report.txt"; }

  const std::string converted_ = convert_text(kInput).output;
};

// Faults that the run survives by design, with the output converted all
// the same: an interrupted call is retried, a short transfer goes on, the
// input's close and the copying of permission bits may fail, the check of
// the output by name only spares a read-only input an open, a temporary
// name that is taken is replaced by another, a file system without unnamed
// files gets a named one, and the folder's sync comes after the rename.
bool harmless(const std::string& kind, int nth, const std::string& error) {
  return error == "EINTR" || error == "short" || error == "EEXIST" || error == "EOPNOTSUPP" ||
         (kind == "close" && nth == 1) || kind == "permissions" || (kind == "status" && nth == 2) ||
         (kind == "sync" && nth == 2);
}

// Every kind of call that a run makes fails at its first and last call,
// with an error and as interrupted (and short, or taken, where that means
// something), over an old output and without one. Each fault must fire,
// and ends the run in one of two ways: a failure that names itself once and
// leaves the old output as it was, or, where the fault is harmless, the
// whole new output.
TEST_F(Faults, EveryCallLeavesTheOldOutputOrTheWholeNewOne) {
  for (const bool previous : {false, true}) {
    // A fault planned for a call that a run without failures never makes.
    const auto dry = run_with("remove:1:EIO", previous);
    ASSERT_EQ(dry.status, 0);
    const SeamReport counts = report();
    ASSERT_EQ(counts.calls.size(), 13u);
    EXPECT_EQ(counts.fired, std::set<std::string>{});
    // An old output is replaced only once on the disk.
    EXPECT_EQ(counts.reached.at("sync"), previous ? kSyncsReplacing : 0);
    for (const auto& [kind, count] : counts.calls) {
      if (count == 0)
        continue;  // remove: only a failed run calls it (see the reports below)
      for (const int nth : std::set<int>{1, count}) {
        std::vector<std::string> errors = {"EIO", "EINTR"};
        if (kind == "read" || kind == "write" || kind == "print")
          errors.push_back("short");
        if (kind == "create")
          errors.push_back("EEXIST");
        if (kind == "create" && !kNamedTemporary.empty())
          errors.push_back("EOPNOTSUPP");  // a file system without unnamed files
        for (const std::string& error : errors) {
          const std::string fault = kind + ":" + std::to_string(nth) + ":" + error;
          const std::string what = fault + (previous ? ", over an output" : "");
          const auto r = run_with(fault, previous);
          ASSERT_EQ(r.signal, 0) << what;
          EXPECT_EQ(report().fired, std::set<std::string>{fault}) << what;
          if (harmless(kind, nth, error)) {
            EXPECT_EQ(r.status, 0) << what;
            EXPECT_EQ(r.out, kProcessing + kDone) << what;
            EXPECT_EQ(r.err, "") << what;
            EXPECT_TRUE(holds(dir_ / "a.gvf", converted_)) << what;
          } else if (kind == "print") {
            // Standard output itself failed: the status alone says so.
            EXPECT_EQ(r.status, 1) << what;
            EXPECT_TRUE(holds(dir_ / "a.gvf", converted_)) << what;
          } else {
            EXPECT_EQ(r.status, 1) << what;
            const std::string lines = "\n" + r.out;  // one line starts "Could not "
            const auto first = lines.find("\nCould not ");
            EXPECT_TRUE(first != std::string::npos && lines.find("\nCould not ", first + 1) == std::string::npos)
                << what << ": " << r.out;
            EXPECT_EQ(r.out.find("successfully"), std::string::npos) << what;
            EXPECT_EQ(r.err.find("cannot remove"), std::string::npos) << what << ": " << r.err;
            EXPECT_EQ(fs::exists(dir_ / "a.gvf"), previous) << what;
            if (previous) {
              EXPECT_TRUE(holds(dir_ / "a.gvf", kPrevious)) << what;
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

// The exact report of some faults. Only a temporary file that cannot be
// removed is left behind, and named.
TEST_F(Faults, ReportsNameTheFileAndTheReason) {
  struct Row {
    std::string faults;
    std::string out;
    std::string err;            // its start
    bool stopped = false;       // by a request to stop, as Ctrl+C would
    bool converted = false;     // the new output in place; else the old one kept
    std::string old = "a.gvf";  // where the old output waits
  };
  const Row rows[] = {
    {"open:1:EACCES", "Could not open file\n", "svfsplit: cannot open 'a.svf': Permission denied\n"},
    {"status:1:EIO", "Could not open file\n", "svfsplit: cannot open 'a.svf': Input/output error\n"},
    {"open:2:EIO", "Could not open file\n",
     "svfsplit: cannot create a temporary file beside 'a.gvf': Input/output error\n"},
    {"open:3:EACCES", "Could not open file\n", "svfsplit: cannot create 'a.gvf': Permission denied\n"},
    // The opened output must be looked at: it may be the input.
    {"status:2:ENOENT,status:3:ENOENT", "Could not open file\n",
     "svfsplit: cannot create 'a.gvf': No such file or directory\n"},
    {"create:1:ENOSPC", "Could not open file\n",
     "svfsplit: cannot create a temporary file beside 'a.gvf': No space left on device\n"},
    {"read:2:EIO", kProcessing + "Could not read a.svf: Input/output error\n", ""},
    {"write:2:EFBIG", kProcessing + "Could not write a.gvf: File too large\n", ""},
    {"close:2:EIO", kProcessing + "Could not write a.gvf: Input/output error\n", ""},
    {"sync:1:EIO", kProcessing + "Could not write a.gvf: Input/output error\n", ""},
    // A stop asked for while the new output is synced keeps the old one;
    // once it is in place, one ends the run at once, before its last line.
    {"sync:1:stop", kProcessing, "", true},
    {"print:2:stop", kProcessing, "", true, true},
    {"rename:1:EXDEV", kProcessing + "Could not write a.gvf: Invalid cross-device link\n",
     "svfsplit: cannot replace 'a.gvf': Invalid cross-device link\n"},
#if defined(_WIN32)
    // Marked for deletion from its creation and again after a refused
    // rename, the file goes with its handle: only one that could not be
    // marked again needs removing.
    {"rename:1:EXDEV,remove:1:EIO,remove:2:EIO", kProcessing + "Could not write a.gvf: Invalid cross-device link\n",
     "svfsplit: cannot replace 'a.gvf': Invalid cross-device link\nsvfsplit: cannot remove '.a.gvf."},
    // A run ended between moving its held old output aside and renaming
    // the new one over it left it hidden: the next run puts it back.
    {"rename:1:EXDEV", kProcessing + "Could not write a.gvf: Invalid cross-device link\n",
     "svfsplit: cannot replace 'a.gvf': Invalid cross-device link\n", false, false, ".a.gvf.AbC123.old"},
#else
    {kNamedTemporary + "write:1:ENOSPC,remove:1:EIO", kProcessing + "Could not write a.gvf: No space left on device\n",
     "svfsplit: cannot remove '.a.gvf."},
#endif
    // An exception on the way out of the run still removes its file.
    {kNamedTemporary + "print:1:throw", "", "svfsplit: std::bad_alloc\n"},
  };
  for (const Row& row : rows) {
    const auto r = run_with(row.faults, true, row.old);
    if (row.stopped)
      EXPECT_TRUE(ended_by_stop(r)) << row.faults;
    else
      EXPECT_EQ(r.status, 1) << row.faults;
    EXPECT_EQ(r.out, row.out) << row.faults;
    EXPECT_EQ(r.err.substr(0, row.err.size()), native_quotes(row.err)) << row.faults;
    EXPECT_TRUE(holds(dir_ / "a.gvf", row.converted ? converted_ : kPrevious)) << row.faults;
    const auto left = hidden_entries(dir_);
    EXPECT_EQ(left.size(), r.err.find("cannot remove") != std::string::npos ? 1u : 0u) << row.faults;
    for (const auto& name : left) fs::remove(dir_ / name);
  }

  // A fault that does not parse ends the run before it starts.
  for (const char* item : {"write:1:EIOO", "write:0:EIO", "write:1x:EIO", "writes:1:EIO", "write:1:EIO:"}) {
    const auto r = run_with(item, true);
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.err, "svfsplit test seam: SVFSPLIT_FAULTS item '" + std::string(item) + "' is not call:nth:error\n");
  }
}

}  // namespace
}  // namespace svfsplit::test
