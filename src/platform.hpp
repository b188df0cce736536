// The operating system, in the program's own terms: files and their
// identities, the standard streams, the clock and the requests to stop.
// platform_posix.cpp and platform_windows.cpp implement it; no other file
// calls the system or includes its headers.
//
// Names are the bytes the user typed (UTF-8 on Windows). Errors come back
// as errno-style codes from <cerrno>, 0 meaning success; error_text()
// gives their reason text. Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
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
// a name with '*' or '?', which cannot name a file on Windows: the shell
// there leaves wildcards to the program.
inline constexpr Error kWildcard = 0x10002;

// The English reason for an error: "No such file or directory".
std::string error_text(Error error);

// An open file. Move-only; a file still open when destroyed is closed,
// its error ignored (use close() where the error matters).
class File {
 public:
  File() = default;
  File(File&& other) noexcept : native_(std::exchange(other.native_, kNone)) {}
  File& operator=(File&& other) noexcept {
    File old(std::move(*this));  // closes what this held
    native_ = std::exchange(other.native_, kNone);
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  bool is_open() const { return native_ != kNone; }

 private:
  friend struct FileAccess;  // the implementation's door to native_
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t native_ = kNone;  // a descriptor, or a HANDLE's value
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

// An open folder, in which files are created, renamed and removed by
// names relative to it. On POSIX it holds a descriptor, so that it stays
// the same folder whatever becomes of the path that led to it; on Windows,
// its path. Move-only.
class Folder {
 public:
  Folder() = default;
  Folder(Folder&& other) noexcept : native_(std::exchange(other.native_, kNone)), path_(std::move(other.path_)) {}
  Folder& operator=(Folder&& other) noexcept {
    Folder old(std::move(*this));  // closes what this held
    native_ = std::exchange(other.native_, kNone);
    path_ = std::move(other.path_);
    return *this;
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  ~Folder();

 private:
  friend struct FileAccess;
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t native_ = kNone;  // a descriptor (POSIX)
  std::string path_;              // the folder's name with its separator (Windows)
};

// Opens a file for reading. Never waits: a FIFO without a writer opens at
// once (and is then refused as not a regular file).
Error open_input(const std::string& name, File& file);

// Opens an existing file for writing, neither creating nor truncating it.
// Never waits: a FIFO without a reader fails.
Error open_existing_output(const std::string& name, File& file);

// Opens the folder `name` ("" or "dir/", as a name's folder part is
// written; "" is the current folder).
Error open_folder(const std::string& name, Folder& folder);

// Creates the file `name` in `folder`, which must not exist yet, for
// writing. Only its owner may open it (mode 0600 on POSIX) until
// set_permissions() gives it its final ones.
Error create_new(const Folder& folder, const std::string& name, File& file);

Error status(const File& file, FileStatus& status);
// Follows symbolic links.
Error status(const std::string& name, FileStatus& status);

// The name that a chain of symbolic links at `name` finally reaches, the
// target of a dangling link included; `name` itself when it is no link.
// Relative targets are taken from their link's folder. A link in a sticky,
// world-writable folder that neither this user nor the folder's owner owns
// is not followed (kForeignLink), whatever the kernel's own setting.
Error resolve_links(const std::string& name, std::string& target);

// Gives a file written to replace another its final permissions: those of
// the file it replaces (`replaced`), with its owner and group where the
// process may set them, or, when it replaces nothing, those of a new file
// (0666 less the umask on POSIX).
Error set_permissions(const File& file, const FileStatus* replaced);

// One read of up to `size` bytes at `offset`; `done` is 0 at the end.
Error read_at(const File& file, std::int64_t offset, void* buffer, std::size_t size, std::size_t& done);

// One write of up to `size` bytes; `done` may fall short of it.
Error write(const File& file, const void* data, std::size_t size, std::size_t& done);

// Closes the file, even when it reports an error.
Error close(File& file);

// Puts the complete file `file`, created as `name` in `folder`, in the
// place of `target` in the same folder, in one step, and closes it. A
// closing that fails leaves `target` as it was. On Windows the file is
// renamed through its handle, and a rename refused while another program
// holds `target` is tried again for about two seconds. After a failure,
// `file` may still be open, and discard() removes it.
Error replace(const Folder& folder, File& file, const std::string& name, const std::string& target);

// Removes the file `name` in `folder`, through `file` while it is open
// (on Windows, where that is the one way another program cannot prevent
// it), and closes it.
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
// Whether a request to stop has been caught: the conversion stops at its
// next check (each window of input, each segment line, each interrupted
// write). Async-signal-safe.
bool stop_requested() noexcept;
// Ends the process as the request caught would have ended it.
[[noreturn]] void end_by_stop_request();

// Milliseconds from an arbitrary start, never going back.
std::int64_t monotonic_milliseconds();

#if defined(_WIN32)
// The program's arguments, as wmain receives them, in UTF-8.
std::vector<std::string> utf8_arguments(int argc, wchar_t** argv);
// UTF-8 text as Windows takes it.
std::wstring utf16(std::string_view utf8);
#endif

// How file names are split into folder and last component.
enum class PathStyle {
  kPosix,    // '/' separates
  kWindows,  // '\' and '/' separate; a drive prefix "C:" ends a folder too
};
#if defined(_WIN32)
inline constexpr PathStyle kNativePathStyle = PathStyle::kWindows;
#else
inline constexpr PathStyle kNativePathStyle = PathStyle::kPosix;
#endif

}  // namespace svfsplit::platform
