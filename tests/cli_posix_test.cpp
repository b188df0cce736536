// The program end to end, on what only POSIX systems have: FIFOs,
// devices, resource limits, signals, symbolic links, users and
// permission bits.
#include "cli.hpp"

#if defined(_WIN32)

namespace svfsplit::test {
TEST(CliPosix, SkippedOnWindows) {
  GTEST_SKIP() << "FIFOs, /dev/full, ulimit, fork, signals and symbolic links are POSIX only";
}
}  // namespace svfsplit::test

#else

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <thread>

namespace svfsplit::test {
namespace {

// A long command with a one-digit field writes far more than it reads.
const std::string kBigOutputInput = "X\nSDR 1000000 TDI (1) TDO (2);\nRUNTEST 1 TCK;\n";
// About 1.3 GB of segment lines: a signal always comes first.
const std::string kEndlessInput = "X\nSDR 4294967295 TDI (0);\n";
// About 30 MB of segment lines: long enough to be signalled on the way.
const std::string kLongInput = "X\nSDR 100000000 TDI (1);\n";

class CliPosix : public Cli {};

// The test build, with the temporary file given its name from the start,
// as where the file system cannot do otherwise: a test can watch it grow.
void use_named_temporary(ProgramOptions& options) {
  options.binary = SVFSPLIT_SEAM_BINARY;
  options.environment = {{"SVFSPLIT_FAULTS", "create:1:EOPNOTSUPP"}};
}

// A full disk: file-size limits that fall before, inside and after the
// segments, and /dev/full through a link (0), which is written in place and
// left alone. The run fails and keeps what was there.
TEST_F(CliPosix, FullDiskKeepsThePreviousOutput) {
  write_file(dir_ / "a.svf", kBigOutputInput);
  for (const std::uint64_t limit : {0, 1, 1024, 65536, 100000}) {
    for (const bool previous : {false, true}) {
      if (limit == 0 && !previous)
        continue;
      if (limit == 0)
        fs::create_symlink("/dev/full", dir_ / "a.gvf");
      else if (previous)
        write_file(dir_ / "a.gvf", kPrevious);
      ProgramOptions options;
      options.file_size_limit = limit;
      const auto r = run_program(dir_, {"svfsplit", "a.svf"}, options);
      const std::string reason = limit == 0 ? "No space left on device" : "File too large";
      EXPECT_EQ(r.out, kProcessing + "Could not write a.gvf: " + reason + "\n") << limit;
      EXPECT_EQ(r.status, 1) << limit;
      EXPECT_EQ(fs::exists(fs::symlink_status(dir_ / "a.gvf")), previous) << limit;
      if (limit == 0) {
        EXPECT_TRUE(fs::is_symlink(dir_ / "a.gvf") && fs::is_character_file("/dev/full"));
      } else if (previous) {
        EXPECT_TRUE(holds(dir_ / "a.gvf", kPrevious)) << limit;
      }
      EXPECT_TRUE(hidden_entries(dir_).empty()) << limit;
      EXPECT_EQ(read_file(dir_ / "a.svf"), kBigOutputInput);
      fs::remove(dir_ / "a.gvf");
    }
  }
}

// Each limit either leaves room for the run, or fails it cleanly: the
// process may not even start, but it never crashes or keeps a partial
// file. The buffers come before the writer thread, so that the limits that
// succeed are all those above one point.
TEST_F(CliPosix, LackOfMemoryFailsTheRunCleanly) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's own memory needs no limit";
#elif defined(SVFSPLIT_EMULATOR)
  GTEST_SKIP() << "qemu needs more address space than the program: a limit measures qemu";
#endif
  // Several MB of output: the writer thread starts.
  const std::string input = "X\nSDR 20000000 TDI (1);\n";
  write_file(dir_ / "a.svf", input);
  const std::string converted = convert_text(input).output;
  int first_success = 0;
  int refused = 0;
  for (int mib = 2; mib <= 48; ++mib) {
    ProgramOptions options;
    options.memory_limit = std::uint64_t(mib) << 20;
    const auto r = run_program(dir_, {"svfsplit", "a.svf"}, options);
    ASSERT_EQ(r.signal, 0) << mib << " MiB";
    if (r.status == 0) {
      first_success = first_success == 0 ? mib : first_success;
      EXPECT_TRUE(holds(dir_ / "a.gvf", converted)) << mib << " MiB";
    } else if (r.status == 1) {
      ++refused;
      EXPECT_EQ(first_success, 0) << mib << " MiB fails above " << first_success << " MiB";
      EXPECT_EQ(r.out, kProcessing + "Could not write a.gvf: Cannot allocate memory\n") << mib << " MiB";
      EXPECT_FALSE(fs::exists(dir_ / "a.gvf")) << mib << " MiB";
    } else {
      EXPECT_EQ(r.status, 127) << mib << " MiB: not started";
      EXPECT_EQ(first_success, 0) << mib << " MiB";
    }
    EXPECT_TRUE(hidden_entries(dir_).empty()) << mib << " MiB";
    fs::remove(dir_ / "a.gvf");
  }
  EXPECT_GT(first_success, 0);
  EXPECT_GT(refused, 0);
}

// Names up to what the system takes convert, with an old output and
// without: a last component of 255 bytes, and a path of 4,095 (the longest
// Linux takes), since the temporary file is named in the output's folder.
// That file is named after the output while that name fits in 255 bytes,
// and ".svfsplit." and six characters beyond: a failed rename whose file
// cannot be removed shows the name.
TEST_F(CliPosix, LongestNamesConvertToo) {
  const std::pair<std::size_t, std::size_t> rows[] = {{247, 0}, {248, 0}, {249, 0}, {255, 0}, {247, 4095}, {255, 4095}};
  for (const auto& [component, path] : rows) {
    const std::string stem(component - 4, 'n');  // "stem.gvf" is `component` bytes
    std::string folder;
    while (folder.size() + component < path) folder += "./";
    const std::string input = folder + stem + ".svf", what = std::to_string(component) + " in " + std::to_string(path);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    write_file(dir_ / (stem + ".svf"), kBoardInput);
    ProgramOptions options;
    options.binary = SVFSPLIT_SEAM_BINARY;
    options.environment = {{"SVFSPLIT_FAULTS", "rename:1:EXDEV,remove:1:EIO"}};
    auto r = run_program(dir_, {"svfsplit", input}, options);
    const std::string temporary = folder + (component <= 247 ? "." + stem + ".gvf." : ".svfsplit.");
    EXPECT_NE(r.err.find("\nsvfsplit: cannot remove '" + temporary), std::string::npos) << what;
    for (const auto& name : hidden_entries(dir_)) fs::remove(dir_ / name);
    for (const bool previous : {false, true}) {
      if (previous)
        write_file(dir_ / (stem + ".gvf"), kPrevious);
      r = run_program(dir_, {"svfsplit", input});
      EXPECT_EQ(r.out, kProcessing + kDone) << what;
      EXPECT_EQ(r.err, "") << what;
      EXPECT_TRUE(holds(dir_ / (stem + ".gvf"), convert_text(kBoardInput).output)) << what;
      EXPECT_TRUE(hidden_entries(dir_).empty()) << what;
    }
  }
}

// Links and odd files at the output name: what the name reaches gets the
// new output whole, or keeps what it had.
TEST_F(CliPosix, LinksAtTheOutputName) {
  const std::string converted = convert_text(kBoardInput).output;
  const std::string precious = "precious\n";
  enum class Fault { kNone, kFullDisk, kInterrupt };
  struct Row {
    const char* name;
    Fault fault;
  };
  for (const Row row :
       {Row{"completes", Fault::kNone}, Row{"disk full", Fault::kFullDisk}, Row{"interrupted", Fault::kInterrupt}}) {
    const std::string input = row.fault == Fault::kInterrupt ? kEndlessInput : kBoardInput;
    const bool completes = row.fault == Fault::kNone;
    ProgramOptions options;
    if (row.fault == Fault::kFullDisk)
      options.file_size_limit = 100;
    if (row.fault == Fault::kInterrupt) {
      options.signal = SIGINT;
      options.signal_when = [this] { return temporary_size(dir_ / "far") > 0; };
      use_named_temporary(options);
    }
    // A symbolic link, through a second one, to a file in another folder.
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "far");
    write_file(dir_ / "a.svf", input);
    write_file(dir_ / "far" / "other.txt", precious);
    fs::create_symlink("far/link", dir_ / "a.gvf");
    fs::create_symlink("other.txt", dir_ / "far" / "link");
    auto r = run_program(dir_, {"svfsplit", "a.svf"}, options);
    EXPECT_EQ(r.status, completes ? 0 : row.fault == Fault::kFullDisk ? 1 : -1) << row.name;
    EXPECT_TRUE(fs::is_symlink(dir_ / "a.gvf")) << row.name;
    EXPECT_TRUE(fs::is_symlink(dir_ / "far" / "link")) << row.name;
    EXPECT_TRUE(holds(dir_ / "far" / "other.txt", completes ? converted : precious)) << row.name;
    EXPECT_TRUE(hidden_entries(dir_ / "far").empty()) << row.name;

    // A dangling link: the file is made where it points.
    fs::remove(dir_ / "far" / "other.txt");
    r = run_program(dir_, {"svfsplit", "a.svf"}, options);
    EXPECT_EQ(fs::exists(dir_ / "far" / "other.txt"), completes) << row.name;
    EXPECT_TRUE(fs::is_symlink(dir_ / "a.gvf")) << row.name;
    EXPECT_TRUE(hidden_entries(dir_ / "far").empty()) << row.name;

    // A hard link: the name gets the new file, the other name keeps the old.
    fs::remove_all(dir_ / "far");
    fs::remove(dir_ / "a.gvf");
    fs::create_directories(dir_ / "far");
    write_file(dir_ / "far" / "other.txt", precious);
    fs::create_hard_link(dir_ / "far" / "other.txt", dir_ / "a.gvf");
    options.signal_when = [this] { return temporary_size(dir_) > 0; };
    r = run_program(dir_, {"svfsplit", "a.svf"}, options);
    EXPECT_TRUE(holds(dir_ / "a.gvf", completes ? converted : precious)) << row.name;
    EXPECT_TRUE(holds(dir_ / "far" / "other.txt", precious)) << row.name;
    EXPECT_EQ(hidden_entries(dir_), std::vector<std::string>{}) << row.name;
  }

  // A dangling link into a folder that does not exist.
  fs::remove(dir_ / "a.gvf");
  fs::create_symlink("nowhere/x.gvf", dir_ / "a.gvf");
  write_file(dir_ / "a.svf", kBoardInput);
  const auto r = run_program(dir_, {"svfsplit", "a.svf"});
  EXPECT_EQ(r.out, "Could not open file\n");
  EXPECT_EQ(r.err, "svfsplit: cannot create a temporary file beside 'a.gvf': No such file or directory\n");
  EXPECT_EQ(r.status, 1);
}

// Folders where no file can be created, and files that may not be
// replaced: the run fails before converting, or leaves the previous output
// as it was, and no temporary file stays behind.
TEST_F(CliPosix, PermissionsOfTheFolderAndTheOutput) {
  if (!can_run_unprivileged())
    GTEST_SKIP() << "running as root with no user 'nobody' to switch to";
  struct Row {
    const char* name;
    fs::perms folder;
    fs::perms output;
    std::string out;
    std::string err;
  };
  const auto all = fs::perms::all;
  const auto rw = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::group_write |
                  fs::perms::others_read | fs::perms::others_write;
  const auto ro = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
  const auto rx = ro | fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
  const Row rows[] = {
      {"a folder not writable, a writable output", rx, rw, "Could not open file\n",
       "svfsplit: cannot create a temporary file beside 'a.gvf': Permission denied\n"},
      {"a read-only output", all, ro, "Could not open file\n", "svfsplit: cannot create 'a.gvf': Permission denied\n"},
      {"a sticky folder, another user's output", all | fs::perms::sticky_bit, rw,
       kProcessing + "Could not write a.gvf: Operation not permitted\n",
       "svfsplit: cannot replace 'a.gvf': Operation not permitted\n"},
  };
  for (const Row& row : rows) {
    const fs::path folder = dir_ / "out";
    fs::create_directories(folder);
    write_file(folder / "a.svf", kBoardInput);
    write_file(folder / "a.gvf", kPrevious);
    fs::permissions(folder / "a.gvf", row.output);
    fs::permissions(folder, row.folder);
    fs::permissions(dir_, fs::perms::all);
    ProgramOptions options;
    options.as_unprivileged = true;
    const auto r = run_program(folder, {"svfsplit", "a.svf"}, options);
    // Without root, the output is our own, and the sticky folder lets us
    // replace it.
    if (running_as_root() || row.folder != (all | fs::perms::sticky_bit)) {
      EXPECT_EQ(r.out, row.out) << row.name;
      EXPECT_EQ(r.err, row.err) << row.name;
      EXPECT_EQ(r.status, 1) << row.name;
      EXPECT_TRUE(holds(folder / "a.gvf", kPrevious)) << row.name;
    }
    EXPECT_TRUE(hidden_entries(folder).empty()) << row.name;
    fs::permissions(folder, fs::perms::all);
    fs::remove_all(folder);
  }
}

// The new output takes the old one's permission bits, and its group and
// owner where the process may give them (as root; a user keeps the group
// where they belong to it); a new output gets those of a new file.
TEST_F(CliPosix, TheNewOutputTakesTheOldOnesOwnerAndBits) {
  const passwd* found = ::getpwnam("nobody");
  const uid_t nobody = found != nullptr ? found->pw_uid : 0;
  const gid_t nogroup = found != nullptr ? found->pw_gid : 0;
  enum class Who {
    kUs,
    kNobodysOutput,
    kNobodyOverRoots,  // nobody replaces root's output of nobody's group
    kNobodyOfRoots,    // nobody replaces its output of root's group, which it is not in
    kNoIds,            // we replace ours from a user namespace that maps no id: no group can be given
  };
  struct Row {
    const char* name;
    bool previous;
    mode_t old_bits;
    Who who;
    mode_t umask;
    mode_t bits;
  };
  const Row rows[] = {
      {"0600", true, 0600, Who::kUs, 022, 0600},
      {"0640", true, 0640, Who::kUs, 022, 0640},
      {"0755", true, 0755, Who::kUs, 077, 0755},
      {"nobody's 0640", true, 0640, Who::kNobodysOutput, 022, 0640},
      {"new under umask 022", false, 0, Who::kUs, 022, 0644},
      {"new under umask 077", false, 0, Who::kUs, 077, 0600},
      // New files in the folder take its group, root's.
      {"root's 0666 of nobody's group, replaced by nobody", true, 0666, Who::kNobodyOverRoots, 022, 0666},
      {"nobody's 0664 of root's group, not kept: its own gets what others have", true, 0664, Who::kNobodyOfRoots, 022,
       0644},
      {"our 0664, its group not given from a user namespace: ours gets what others have", true, 0664, Who::kNoIds, 022,
       0644},
  };
  write_file(dir_ / "a.svf", kBoardInput);
  std::string skipped;  // the rows that cannot run here, and why
  for (const Row& row : rows) {
    const bool ours = row.who == Who::kUs || row.who == Who::kNoIds;
    if (!ours && (!running_as_root() || nobody == 0)) {
      skipped += std::string(" ") + row.name + ": needs root and the user nobody;";
      continue;
    }
    fs::remove(dir_ / "a.gvf");
    if (row.previous) {
      write_file(dir_ / "a.gvf", kPrevious);
      ASSERT_EQ(::chmod((dir_ / "a.gvf").c_str(), row.old_bits), 0);
      if (!ours) {
        ASSERT_EQ(::chown((dir_ / "a.gvf").c_str(), row.who == Who::kNobodyOverRoots ? 0 : nobody,
                          row.who == Who::kNobodyOfRoots ? 0 : nogroup),
                  0);
      }
    }
    ProgramOptions options;
    options.umask = static_cast<int>(row.umask);
    if (row.who == Who::kNobodyOverRoots || row.who == Who::kNobodyOfRoots) {
      ASSERT_EQ(::chmod(dir_.c_str(), row.who == Who::kNobodyOverRoots ? 02777 : 0777), 0);
      options.as_unprivileged = true;
    }
    options.own_user_namespace = row.who == Who::kNoIds;
    const auto r = run_program(dir_, {"svfsplit", "a.svf"}, options);
    if (r.status == 126 && options.own_user_namespace) {
      skipped += std::string(" ") + row.name + ": no user namespace can be made here;";
      continue;
    }
    EXPECT_EQ(r.status, 0) << row.name;
    struct stat st {};
    ASSERT_EQ(::stat((dir_ / "a.gvf").c_str(), &st), 0) << row.name;
    EXPECT_EQ(st.st_mode & 07777, row.bits) << row.name;
    EXPECT_EQ(st.st_uid, ours ? ::geteuid() : nobody) << row.name;
    EXPECT_EQ(st.st_gid, ours ? ::getegid() : nogroup) << row.name;
    EXPECT_TRUE(holds(dir_ / "a.gvf", convert_text(kBoardInput).output)) << row.name;
  }
  if (!skipped.empty())
    GTEST_SKIP() << "rows that cannot run here:" << skipped;
}

// In a sticky, world-writable folder a link is followed, and a FIFO or
// device written to, only when it is this user's or the folder owner's, as
// the kernel's rule for such folders has it, whatever that rule's setting;
// elsewhere any link is followed. The rule holds on what is opened: a link
// planted while the run looks at the name is refused too. What is refused
// stays as it was.
TEST_F(CliPosix, LinksInASharedFolderAreFollowedAsTheKernelWould) {
  // getpwnam's answers share one place: each is copied at once.
  const passwd* found = ::getpwnam("daemon");
  const uid_t folder_owner = found != nullptr ? found->pw_uid : 0;
  found = ::getpwnam("nobody");
  const uid_t other = found != nullptr ? found->pw_uid : 0;
  if (!running_as_root() || folder_owner == 0 || other == 0)
    GTEST_SKIP() << "needs root, and the users daemon and nobody";
  enum class Kind {
    kLink,
    kChain,    // a.gvf, ours, leads to the link in the folder
    kPlanted,  // the link appears once the run has looked at the name
    kSwapped,  // likewise, in place of the file it leads to
    kFifo,
    kFifoBack,   // with a reader, away while the run looks, back when it opens
    kTemporary,  // planted at the temporary file's name as it is made
  };
  const std::string foreign_file = "special file owned by another user in a shared folder";
  const std::string foreign_link = "symbolic link owned by another user in a shared folder";
  struct Row {
    const char* name;
    mode_t folder_mode;
    uid_t owner;  // of the link or FIFO; 0: this user
    Kind kind;
    std::string refused;  // the reason; empty: followed
  };
  const Row rows[] = {
      {"ours, in a shared folder", 01777, 0, Kind::kLink, ""},
      {"the folder owner's, in a shared folder", 01777, folder_owner, Kind::kLink, ""},
      {"another user's, in a shared folder", 01777, other, Kind::kLink, foreign_link},
      {"another user's, in an ordinary folder", 0755, other, Kind::kLink, ""},
      {"another user's, in a folder all may write", 0777, other, Kind::kLink, ""},
      {"another user's, in a sticky folder not all may write", 01775, other, Kind::kLink, ""},
      {"a chain through another user's link in a shared folder", 01777, other, Kind::kChain, foreign_link},
      {"another user's, planted during the run", 01777, other, Kind::kPlanted, foreign_link},
      {"another user's, swapped in for its target during the run", 01777, other, Kind::kSwapped, foreign_link},
      {"another user's FIFO, in a shared folder", 01777, other, Kind::kFifo, foreign_file},
      {"another user's FIFO, back between the look and the opening", 01777, other, Kind::kFifoBack, foreign_file},
      {"another user's, at the temporary file's name", 01777, other, Kind::kTemporary, ""},
      {"the folder owner's FIFO, with no reader", 01777, folder_owner, Kind::kFifo, "No such device or address"},
  };
  const std::string converted = convert_text(kBoardInput).output;
  for (const Row& row : rows) {
    fs::remove_all(dir_);
    const fs::path folder = dir_ / "folder";
    fs::create_directories(folder);
    ASSERT_EQ(::chown(folder.c_str(), row.folder_mode & S_ISVTX ? folder_owner : 0, 0), 0);
    ASSERT_EQ(::chmod(folder.c_str(), row.folder_mode), 0);
    write_file(dir_ / "target.txt", kPrevious);
    fs::path planted = row.kind == Kind::kChain ? folder / "link" : folder / "a.gvf";
    const bool fifo = row.kind == Kind::kFifo || row.kind == Kind::kFifoBack;
    const auto plant = [&] {
      if (row.kind == Kind::kTemporary)
        planted = folder / read_file(dir_ / "paused");
      fs::remove(planted);
      if (fifo)
        ASSERT_EQ(::mkfifo(planted.c_str(), 0666), 0);
      else
        fs::create_symlink("../target.txt", planted);
      ASSERT_EQ(::lchown(planted.c_str(), row.owner, 0), 0);
    };
    ProgramOptions options;
    std::thread planter;
    if (row.kind == Kind::kSwapped)
      fs::create_hard_link(dir_ / "target.txt", planted);
    // Planted once the run has looked at the name, just before it opens it.
    if (row.kind == Kind::kPlanted || row.kind == Kind::kSwapped)
      planter = act_before("open:3", dir_, options, plant);
    else if (row.kind == Kind::kTemporary)
      planter = act_before("create:1:EOPNOTSUPP,create:2", dir_, options, plant);
    else
      plant();
    const int reader = row.kind == Kind::kFifoBack ? ::open(planted.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    if (row.kind == Kind::kFifoBack)  // away from the first pause to the second
      planter = act_before("open:2:pause,open:3", dir_, options, [&] {
        fs::rename(planted, dir_ / "away");
        fs::remove(dir_ / "paused");
        for (int i = 0; i < 4000 && !fs::exists(dir_ / "paused"); ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        fs::rename(dir_ / "away", planted);
      });
    const fs::path run_in = row.kind == Kind::kChain ? dir_ : folder;
    if (row.kind == Kind::kChain)
      fs::create_symlink("folder/link", dir_ / "a.gvf");
    write_file(run_in / "a.svf", kBoardInput);

    const auto r = run_program(run_in, {"svfsplit", "a.svf"}, options);
    if (planter.joinable())
      planter.join();
    ::close(reader);
    const bool followed = row.refused.empty() && row.kind != Kind::kTemporary;
    EXPECT_EQ(r.status, row.refused.empty() ? 0 : 1) << row.name;
    EXPECT_TRUE(holds(dir_ / "target.txt", followed ? converted : kPrevious)) << row.name;
    EXPECT_TRUE(fifo ? fs::is_fifo(planted) : fs::is_symlink(planted)) << row.name;
    EXPECT_EQ(hidden_entries(folder).size(), row.kind == Kind::kTemporary ? 1u : 0u) << row.name;
    EXPECT_TRUE(hidden_entries(dir_).empty()) << row.name;
    if (!row.refused.empty()) {
      EXPECT_EQ(r.out, "Could not open file\n") << row.name;
      EXPECT_EQ(r.err, "svfsplit: cannot create 'a.gvf': " + row.refused + "\n") << row.name;
    }
  }
}

// Interrupted at any point, the run ends by the signal and leaves nothing
// new: the previous output is untouched, no temporary file stays. Signals
// that were ignored at the start stay ignored.
TEST_F(CliPosix, SignalsEndTheRunAndLeaveNothingNew) {
  struct Row {
    int signal;
    bool ignored_at_start;
    std::chrono::milliseconds delay;  // 0: once the temporary file grows
    bool fifo = false;                // the output: a FIFO whose reader stopped reading
    bool in_sync = false;             // once the whole output waits for the disk
  };
  using std::chrono::milliseconds;
  const Row rows[] = {
      {SIGINT, false, {}},
      {SIGTERM, false, {}},
      {SIGHUP, false, {}},
      {SIGHUP, true, {}},
      {SIGINT, true, {}},
      {SIGTERM, false, milliseconds(1)},
      {SIGINT, false, milliseconds(3)},
      {SIGHUP, false, milliseconds(8)},
      {SIGTERM, false, milliseconds(20)},
      {SIGINT, false, milliseconds(300), true},
      {SIGINT, false, milliseconds(1), false, true},
      {SIGTERM, false, milliseconds(1), false, true},
      // Nothing can be cleaned up then: there is nothing to clean.
      {SIGKILL, false, milliseconds(2)},
      {SIGKILL, false, milliseconds(30)},
      {SIGKILL, false, milliseconds(200)},
  };
  for (const Row& row : rows) {
    write_file(dir_ / "a.svf", row.ignored_at_start ? kLongInput : row.in_sync ? kBoardInput : kEndlessInput);
    int reader = -1;
    fs::remove(dir_ / "a.gvf");
    if (row.fifo) {
      // A write that blocks must not keep the signal from ending the run.
      ASSERT_EQ(::mkfifo((dir_ / "a.gvf").c_str(), 0600), 0);
      reader = ::open((dir_ / "a.gvf").c_str(), O_RDONLY | O_NONBLOCK);
    } else {
      write_file(dir_ / "a.gvf", kPrevious);
    }
    ProgramOptions options;
    options.signal = row.signal;
    options.delay = row.delay;
    // The temporary file, once written to, is its owner's alone; a
    // private old output's content never shows through it. A run that
    // ends gives it the old output's mode once it is whole: a look that
    // comes only then, on a busy machine, may see that.
    mode_t seen = 0;
    bool whole = false;
    const auto whole_size = static_cast<off_t>(row.ignored_at_start ? convert_text(kLongInput).output.size() : 0);
    if (row.delay.count() == 0) {
      use_named_temporary(options);
      options.signal_when = [&] {
        struct stat st {};
        for (const auto& name : hidden_entries(dir_)) {
          if (::stat((dir_ / name).c_str(), &st) == 0 && st.st_size > 0) {
            seen = st.st_mode & 0777;
            whole = st.st_size == whole_size;
          }
        }
        return seen != 0;
      };
    }
    if (row.ignored_at_start)
      options.ignored_signal = row.signal;
    if (row.in_sync) {  // the seam's pause before the sync ends with the signal
      options.binary = SVFSPLIT_SEAM_BINARY;
      options.environment = {{"SVFSPLIT_FAULTS", "sync:1:pause"}, {"SVFSPLIT_PAUSE_FILE", (dir_ / "paused").string()}};
      options.signal_when = [&] { return fs::exists(dir_ / "paused"); };
    }
    struct stat old {};
    const mode_t old_mode = ::stat((dir_ / "a.gvf").c_str(), &old) == 0 ? old.st_mode & 0777 : 0;
    const auto r = run_program(dir_, {"svfsplit", "a.svf"}, options);
    EXPECT_EQ(seen, row.delay.count() == 0 ? (whole ? old_mode : 0600) : 0) << row.signal;
    if (row.fifo) {
      ::close(reader);
      EXPECT_EQ(r.signal, row.signal);
      EXPECT_EQ(r.out, kProcessing);
      EXPECT_TRUE(fs::is_fifo(dir_ / "a.gvf"));  // left in place
    } else if (row.ignored_at_start) {
      EXPECT_EQ(r.status, 0) << row.signal;
      EXPECT_TRUE(holds(dir_ / "a.gvf", convert_text(kLongInput).output)) << row.signal;
    } else {
      EXPECT_EQ(r.signal, row.signal);
      EXPECT_TRUE(holds(dir_ / "a.gvf", kPrevious)) << row.signal;
    }
    EXPECT_TRUE(hidden_entries(dir_).empty()) << row.signal;
  }
}

}  // namespace
}  // namespace svfsplit::test

#endif
