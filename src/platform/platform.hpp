// The operating system, in the program's own terms: files and their
// identities, the standard streams, the clock and the requests to stop.
// posix.cpp and windows.cpp implement it, with what they share in
// platform.cpp (and the test build's seam, test_seam.cpp); no other file
// calls the system or includes its headers.
//
// Names are the bytes the user typed (UTF-8 on Windows). Errors come back
// as errno-style codes from <cerrno>, 0 meaning success; error_text()
// gives their reason text. Nothing here throws.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace svfsplit::platform {

using Error = int;

// Errors of the program's own, beside errno's:
// a symbolic link that the kernel's rule for shared folders would not let
// this user follow;
inline constexpr Error kForeignLink = 0x10000;
// a file that another program holds in a way that keeps it from being
// opened or replaced (Windows);
inline constexpr Error kInUse = 0x10001;
// a FIFO, socket or device in a shared folder that is neither this user's
// nor the folder owner's: the kernel's rule for FIFOs created there,
// applied to every open.
inline constexpr Error kForeignFile = 0x10002;

// The English reason for an error: "No such file or directory".
std::string error_text(Error error);

// An open file. Move-only; a file still open when destroyed is closed,
// its error ignored (use close() where the error matters).
class File {
 public:
  File() = default;
  File(File&& other) noexcept { *this = std::move(other); }
  // Takes what `other` held; `other` gets what this held, and closes it
  // when it goes.
  File& operator=(File&& other) noexcept {
    std::swap(native_, other.native_);
    std::swap(unnamed_, other.unnamed_);
    return *this;
  }
  ~File();

  bool is_open() const { return native_ != kNone; }

 private:
  friend struct FileAccess;  // the implementation's door to native_
  static constexpr std::intptr_t kNone = -1;
  File(std::intptr_t native, bool unnamed) : native_(native), unnamed_(unnamed) {}
  std::intptr_t native_ = kNone;  // a descriptor, or a HANDLE's value
  bool unnamed_ = false;          // made without a name (Linux's O_TMPFILE), and given none yet
};

// What makes a file itself, whatever name reaches it.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t number = 0;
  bool operator==(const FileId&) const = default;
};

struct FileStatus {
  FileId id;
  bool regular = false;
  std::int64_t size = 0;
  // What a file that replaces this one keeps of it: permission bits, owner
  // and group on POSIX; attributes on Windows.
  std::uint32_t mode = 0;
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
};

// An open folder, in which files are opened, created, renamed and removed
// by names relative to it. It holds a descriptor (a handle on Windows, with
// the folder's full path), so that it stays the same folder whatever
// becomes of the path that led to it: on Windows, nobody can rename or
// remove it meanwhile. Move-only, and closed as a File is.
class Folder {
  friend struct FileAccess;
  File file_;         // the folder's descriptor, or its HANDLE
  std::string path_;  // the folder's full path with its separator (Windows)
};

// Whether a name is a pattern that the shell left to the program ("*.svf"
// on Windows, whose shell does not expand wildcards), not a file's name.
bool is_pattern(std::string_view name);

// The name of the file that `name` opens, as the system means it: on
// Windows, short (8.3) components take their long names, and the spaces
// and dots that end the last component, which Windows drops, are dropped;
// a "\\?\" name, which Windows takes literally, stays as it is. Elsewhere,
// `name` itself.
std::string meant_name(const std::string& name);

// Opens a file for reading. Never waits: a FIFO without a writer opens at
// once (and is then refused as not a regular file).
Error open_input(const std::string& name, File& file);

// Opens the folder `name` ("" or "dir/", as a name's folder part is
// written; "" is the current folder). Names of up to `longest_entry` bytes
// will be used in it (on Windows, its path takes the form without the
// 260-character limit when they need it).
Error open_folder(const std::string& name, Folder& folder, std::size_t longest_entry = 0);

// Opens the existing file `name` in `folder` for writing, neither creating
// nor truncating it, and without following a symbolic link there (ELOOP).
// Never waits: a FIFO without a reader fails. A FIFO, socket or device in
// a sticky, world-writable folder that neither this user nor the folder's
// owner owns is refused (kForeignFile), before it is opened and on what was
// opened. On Windows, an old output that a run ended after moving it aside
// (see replace()) left hidden is put back under `name` first.
Error open_existing_output(const Folder& folder, const std::string& name, File& file);

// Creates a new file in `folder` for writing, which replace() puts in place
// under `name` once it is complete. Only its owner may open it (mode 0600
// on POSIX) until set_permissions() gives it its final ones. If the process
// ends before replace(), even killed, the file goes with it: on Linux it
// has no name until then, on Windows it is marked for deletion. Elsewhere,
// or where the file system cannot, it is created under `name`, which must
// not exist yet, and a process killed meanwhile leaves it there.
Error create_temporary(const Folder& folder, const std::string& name, File& file);

Error status(const File& file, FileStatus& status);
// Follows symbolic links.
Error status(const std::string& name, FileStatus& status);

// The name that a chain of symbolic links at `name` finally reaches, the
// target of a dangling link included; `name` itself when it is no link.
// Relative targets are taken from their link's folder. `found` is the file
// there as it was seen, or nothing. A link in a sticky, world-writable
// folder that neither this user nor the folder's owner owns is not followed
// (kForeignLink), whatever the kernel's own setting. On Windows, links are
// not followed: `name` is the target.
Error resolve_links(const std::string& name, std::string& target, std::optional<FileId>& found);

// Gives a file written to replace another its final permissions: those of
// the file it replaces (`replaced`), with its group and owner where the
// process may set them, or, when it replaces nothing, those of a new file
// (0666 less the umask on POSIX). Where the group cannot be kept, the
// group the file has instead gets no more than others have.
Error set_permissions(const File& file, const FileStatus* replaced);

// One read of up to `size` bytes at `offset`; `done` is 0 at the end.
Error read_at(const File& file, std::int64_t offset, void* buffer, std::size_t size, std::size_t& done);

// One write of up to `size` bytes; `done` may fall short of it.
Error write(const File& file, const void* data, std::size_t size, std::size_t& done);

// Starts writing the `size` bytes of `file` from `offset` to the disk,
// without waiting for them (Linux); does nothing elsewhere. A later sync()
// then has less to wait for.
void start_writeback(const File& file, std::int64_t offset, std::int64_t size);

// Waits until the data written to `file` is on the disk.
Error sync(const File& file);
// Waits until the names in `folder` (a rename there) are on the disk, as
// far as the system allows it.
Error sync(const Folder& folder);

// Closes the file, even when it reports an error.
Error close(File& file);

// Puts the complete file `file`, from create_temporary(), in the place of
// `target` in `folder`, in one step, and closes it: it first takes its name
// `name` where it has none yet. A closing that fails leaves `target` as it
// was. On Windows, a rename refused while another program holds `target` is
// tried again for about two seconds, and the held file is then moved aside
// if its holder allows that (kInUse otherwise), under `name` followed by
// ".old", until `file` has its name. After a failure, `file` may still be
// open, and discard() removes it.
// It looks at the request to stop last, before it names or renames
// anything: one made until then leaves `target` as it was (EINTR), one made
// later is held until the rename is done.
Error replace(const Folder& folder, File& file, const std::string& name, const std::string& target);

// Removes the file from create_temporary(), through `file` while it is
// open, under its name `name` otherwise, and closes it.
Error discard(const Folder& folder, File& file, const std::string& name);

// Interrupted calls are retried, except once a stop has been requested:
// they then fail with EINTR, so that the run can stop.

enum class Stream { kOut, kError };

// Writes UTF-8 text; each '\n' becomes the system's line end.
Error print(Stream stream, std::string_view text);
bool is_terminal(Stream stream);

// Prepares the process for a run: standard streams that are closed are
// opened on the null device, so that no file of the run takes their place;
// a broken pipe and a file-size limit become write errors (EPIPE, EFBIG)
// instead of ending the process.
void prepare_process();

// Catches the requests to stop: interrupt, termination and hang-up
// (Ctrl+C, Ctrl+Break and closing the console on Windows), except those
// the process was started with ignored.
void catch_stop_requests();
namespace internal {
// The request to stop caught, or 0; set from a signal handler or a console
// control handler, read by the converter and the output's writer.
extern std::atomic<int> g_stop;
}  // namespace internal
// Whether a request to stop has been caught: the conversion stops at its
// next check (each window of input, each segment line, each interrupted
// write). Async-signal-safe. Inline: a call cost B's own instructions per
// byte 0.01.
inline bool stop_requested() noexcept {
  return internal::g_stop.load(std::memory_order_relaxed) != 0;
}
// Ends the process as the request caught would have ended it.
[[noreturn]] void end_by_stop_request();
// From now on a request to stop ends the process at once, as it would have
// uncaught: for a run whose output is in place, with nothing left to undo,
// so that no write that blocks (a full pipe) can keep it waiting. One
// caught already ends it now.
void stop_at_once();

// What the console that the program was started in says of itself.
struct ConsoleReport {
  unsigned processes = 0;  // attached to it, this one included; 0: none
  bool input_is_console = false;
  bool output_is_console = false;
  // A person sees its window: it has one, shown, the console host's own
  // (not a terminal's stand-in, such as Windows Terminal's pseudo-console
  // window, whose tab closes with the run or not as the terminal says), on
  // a window station that is shown (not that of a task run whether its user
  // is logged on or not). What cannot be told counts as not seen.
  bool seen = false;
};

// Whether that console was opened for this run alone, and closes the
// moment it ends, in a window a person sees: a file dropped on the program
// in Explorer, "Open with", where the console host's own window shows it.
// Never so from a Command Prompt, a script, with a stream redirected, where
// nobody sees the console (hidden, without a window, on a hidden window
// station), or in a terminal's tab (Windows Terminal's, which closes or not
// as the terminal is set): unsure is no.
bool console_closes_with_the_run(const ConsoleReport& console);

// Where the console closes with the run (Windows), lets its lines be read:
// "Press any key to close this window", and waits for a key.
void hold_own_console();

// Milliseconds from an arbitrary start, never going back.
std::int64_t monotonic_milliseconds();

// The value of the environment variable `name`; nothing when it is not set.
std::optional<std::string> environment(const std::string& name);

#if defined(__arm__)
// Whether the processor runs NEON (Advanced SIMD) instructions, as the
// system says: on 32-bit ARM; every 64-bit ARM processor runs them.
bool processor_has_neon();
#endif

// The character of a name that starts at name[i] (i < name.size()). Names
// are UTF-8, or on Windows WTF-8: UTF-8 in which an unpaired surrogate,
// which Windows allows in a name, keeps a 3-byte sequence of its own. A
// byte that starts no such character (a name on POSIX systems may hold any
// bytes) stands for itself: it is not `valid`, and its code is the byte.
struct NameChar {
  char32_t code = 0;
  std::size_t size = 1;  // in bytes
  bool valid = false;
};
NameChar name_char_at(std::string_view name, std::size_t i);

// How file names are split into folder and last component.
enum class PathStyle {
  kPosix,    // '/' separates
  kWindows,  // '\' and '/' separate; a drive prefix "C:" ends a folder too
};

#if defined(_WIN32)
inline constexpr PathStyle kNativePathStyle = PathStyle::kWindows;
// The program's arguments, as wmain receives them, in UTF-8.
std::vector<std::string> utf8_arguments(int argc, wchar_t** argv);
// UTF-8 text as Windows takes it.
std::wstring utf16(std::string_view utf8);
#else
inline constexpr PathStyle kNativePathStyle = PathStyle::kPosix;
#endif

// Where the last component of a name starts: after its last separator, or
// after a drive prefix ("C:board.svf" is board.svf in drive C's current
// folder); 0 when it has neither.
std::size_t last_component(std::string_view name, PathStyle style = kNativePathStyle);

}  // namespace svfsplit::platform
