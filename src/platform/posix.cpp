// The platform layer on POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__arm__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "platform/platform.hpp"
#include "platform/platform_internal.hpp"

namespace svfsplit::platform {

using internal::Call;

struct FileAccess {
  static int fd(const File& file) { return static_cast<int>(file.native_); }
  static int fd(const Folder& folder) { return fd(folder.file_); }
  static bool unnamed(const File& file) { return file.unnamed_; }
  // Gives `into` the descriptor `fd`, closing what it held.
  static void adopt(File& into, int fd, bool unnamed = false) { into = File(fd, unnamed); }
  static void adopt(Folder& into, int fd) { adopt(into.file_, fd); }
  static int release(File& file) {
    file.unnamed_ = false;
    return static_cast<int>(std::exchange(file.native_, File::kNone));
  }
};

namespace {

using internal::attempt;
using internal::part;

// The signals that request a stop.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void on_stop_signal(int sig) {
  internal::note_stop_request(sig);
}

// The error of a call that returned `result`: 0, or errno.
template <class Result>
Error error_of(Result result) {
  return result < 0 ? errno : 0;
}

// Runs `open`, which returns a descriptor or -1, as attempt() does; `into`
// (a File or a Folder) takes what it opened.
template <class Handle, class Open>
Error open_into(Call kind, Handle& into, Open open, std::string_view name = {}) {
  return attempt(
      kind,
      [&](int) {
        const int fd = open();
        if (fd >= 0)
          FileAccess::adopt(into, fd);
        return error_of(fd);
      },
      name);
}

// Runs `look`, which fills a struct stat as fstat() and stat() do, as
// attempt() does, and describes what it saw in `status`.
template <class Look>
Error look_into(FileStatus& status, Look look) {
  struct stat st {};
  if (const Error error = attempt(Call::kStatus, [&](int) { return error_of(look(&st)); }))
    return error;
  const FileId id{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  status = {id, S_ISREG(st.st_mode), static_cast<std::int64_t>(st.st_size), st.st_mode & 07777, st.st_uid, st.st_gid};
  return 0;
}

// One read or write of up to `size` bytes through `move`, which is given
// how many to move and returns what the system call did, as attempt() does.
template <class Move>
Error transfer(Call kind, std::size_t size, std::size_t& done, Move move) {
  done = 0;
  return attempt(kind, [&](int fault) {
    const ssize_t moved = move(part(size, fault));
    done = moved > 0 ? static_cast<std::size_t>(moved) : 0;
    return error_of(moved);
  });
}

#if defined(O_PATH)
constexpr int kPathOnly = O_PATH;  // a folder only named files in
#else
constexpr int kPathOnly = O_RDONLY;
#endif

// The name under which /proc shows this process's descriptor `fd`.
std::string proc_path(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// The kernel's rule for shared folders (sticky and world-writable, such as
// /tmp): what lies there may be followed or opened only when it is this
// user's or the folder owner's.
bool foreign_in_shared_folder(const struct stat& file, const struct stat& folder) {
  const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
  return shared && file.st_uid != ::geteuid() && file.st_uid != folder.st_uid;
}

// Whether the file described by `st`, in the folder `folder_fd`, may be
// written in place by the same rule: a FIFO, socket or device there that
// another user planted is not.
Error may_write_in_place(int folder_fd, const struct stat& st) {
  if (S_ISREG(st.st_mode))
    return 0;
  struct stat in {};
  if (::fstat(folder_fd, &in) != 0)
    return errno;
  return foreign_in_shared_folder(st, in) ? kForeignFile : 0;
}

}  // namespace

namespace internal {

std::string system_error_text(Error error) {
  return std::strerror(error);
}

}  // namespace internal

File::~File() {
  if (is_open())
    ::close(FileAccess::fd(*this));
}

Error open_input(const std::string& name, File& file) {
  // Non-blocking, so that a FIFO is refused rather than waited on.
  return open_into(Call::kOpen, file,
                   [&] { return ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY); });
}

bool is_pattern(std::string_view) {
  return false;  // the shell has expanded any wildcard
}

std::string meant_name(const std::string& name) {
  return name;
}

Error open_folder(const std::string& name, Folder& folder, std::size_t) {
  // Readable, so that a rename in it can be synced; only a place to name
  // files in where it cannot be read.
  const auto open_as = [&](int flags) {
    return open_into(Call::kOpen, folder,
                     [&] { return ::open(name.empty() ? "." : name.c_str(), flags | O_DIRECTORY | O_CLOEXEC); });
  };
  const Error error = open_as(O_RDONLY);
  return error == EACCES ? open_as(kPathOnly) : error;
}

Error open_existing_output(const Folder& folder, const std::string& name, File& file) {
  const int at = FileAccess::fd(folder);
  // What another user planted is refused before it is opened: opening a
  // device may do something by itself.
  struct stat st {};
  const bool found = ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(st.st_mode);
  if (const Error error = found ? may_write_in_place(at, st) : 0)
    return error;
  File opened;
  if (const Error error = open_into(Call::kOpen, opened, [&] {
        return ::openat(at, name.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
      }))
    return error;
  // And again on what was opened, which may have been put there since.
  const int fd = FileAccess::fd(opened);
  if (const Error error = ::fstat(fd, &st) != 0 ? errno : may_write_in_place(at, st))
    return error;
  // Writes, once open, may block: the run must not lose data to EAGAIN.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0)
    return errno;
  file = std::move(opened);
  return 0;
}

Error create_temporary(const Folder& folder, const std::string& name, File& file) {
  const int at = FileAccess::fd(folder);
#if defined(O_TMPFILE)
  // A file without a name, which nothing can leave behind. It is given one
  // through /proc, so /proc must show it.
  int fd = -1;
  const Error error = attempt(Call::kCreate, [&](int) {
    fd = ::openat(at, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC | O_NOCTTY, 0600);
    return error_of(fd);
  });
  if (error == 0 && ::access(proc_path(fd).c_str(), F_OK) == 0) {
    FileAccess::adopt(file, fd, true);
    return 0;
  }
  if (error == 0)
    ::close(fd);
  else if (error != EOPNOTSUPP && error != EISDIR && error != EINVAL)
    return error;  // the file system takes unnamed files, but not this one
#endif
  return open_into(
      Call::kCreate, file,
      [&] { return ::openat(at, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600); }, name);
}

Error status(const File& file, FileStatus& status) {
  return look_into(status, [&](struct stat* st) { return ::fstat(FileAccess::fd(file), st); });
}

Error status(const std::string& name, FileStatus& status) {
  return look_into(status, [&](struct stat* st) { return ::stat(name.c_str(), st); });
}

Error resolve_links(const std::string& name, std::string& target, std::optional<FileId>& found) {
  std::string at = name;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    const Error error = attempt(Call::kResolve, [&](int) { return error_of(::lstat(at.c_str(), &st)); });
    if (error != 0 && error != ENOENT)
      return error;
    // The chain ends at a file, or where nothing is (yet): a dangling link.
    if (error == ENOENT || !S_ISLNK(st.st_mode)) {
      target = at;
      found = error == 0
                  ? std::optional(FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)})
                  : std::nullopt;
      return 0;
    }
    // A link that is not this user's is followed only as the kernel's rule
    // for shared folders allows.
    if (st.st_uid != ::geteuid()) {
      const std::string folder = at.substr(0, last_component(at));
      struct stat in {};
      if (::stat(folder.empty() ? "." : folder.c_str(), &in) != 0)
        return errno;
      if (foreign_in_shared_folder(st, in))
        return kForeignLink;
    }
    char link[PATH_MAX];  // filled only by a target longer than any path
    const ssize_t n = ::readlink(at.c_str(), link, sizeof link);
    if (n < 0 || n == static_cast<ssize_t>(sizeof link))
      return n < 0 ? errno : ENAMETOOLONG;
    const std::string to(link, static_cast<std::size_t>(n));
    at = !to.empty() && to[0] == '/' ? to : at.substr(0, last_component(at)) + to;
  }
  return ELOOP;
}

Error set_permissions(const File& file, const FileStatus* replaced) {
  const int fd = FileAccess::fd(file);
  const auto change = [](auto call) { return attempt(Call::kPermissions, [&](int) { return error_of(call()); }); };
  if (replaced == nullptr) {
    // No other thread runs now: the umask may be read by setting it.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return change([&] { return ::fchmod(fd, 0666 & ~mask); });
  }
  // The group, then the bits, then the owner, as gzip and zstd do: a user
  // who may give files away can still set the bits of this one, and one
  // who may not keeps the group where they belong to it. A group not kept
  // lends its bits to none: the file's own group gets what others have, at
  // most. A change of owner may clear bits that only the new owner should
  // have, which these are not.
  auto bits = static_cast<mode_t>(replaced->mode & 0777);
  if (change([&] { return ::fchown(fd, static_cast<uid_t>(-1), replaced->group); }) != 0)
    bits &= ~(S_IRWXG & ~(bits << 3));
  const Error error = change([&] { return ::fchmod(fd, bits); });
  (void)change([&] { return ::fchown(fd, replaced->owner, static_cast<gid_t>(-1)); });
  return error;
}

Error read_at(const File& file, std::int64_t offset, void* buffer, std::size_t size, std::size_t& done) {
  return transfer(Call::kRead, size, done,
                  [&](std::size_t n) { return ::pread(FileAccess::fd(file), buffer, n, static_cast<off_t>(offset)); });
}

Error write(const File& file, const void* data, std::size_t size, std::size_t& done) {
  return transfer(Call::kWrite, size, done, [&](std::size_t n) { return ::write(FileAccess::fd(file), data, n); });
}

void start_writeback([[maybe_unused]] const File& file, [[maybe_unused]] std::int64_t offset,
                     [[maybe_unused]] std::int64_t size) {
#if defined(SYNC_FILE_RANGE_WRITE)
  // Advisory: whatever it fails to start, sync() waits for.
  (void)::sync_file_range(FileAccess::fd(file), static_cast<off_t>(offset), static_cast<off_t>(size),
                          SYNC_FILE_RANGE_WRITE);
#endif
}

// The test seam stands in for fdatasync and fsync: it counts the system
// calls themselves, and one skipped shows.
Error sync(const File& file) {
  return attempt(Call::kSync, [&](int) { return error_of(::fdatasync(FileAccess::fd(file))); });
}

Error sync(const Folder& folder) {
  return attempt(Call::kSync, [&](int) {
    const Error error = error_of(::fsync(FileAccess::fd(folder)));
    return error == EBADF ? 0 : error;  // a folder opened only to name files in cannot be
  });
}

Error close(File& file) {
  if (!file.is_open())
    return 0;
  // Never retried: on Linux the descriptor is gone even when interrupted.
  return internal::after_close(error_of(::close(FileAccess::release(file))));
}

Error replace(const Folder& folder, File& file, const std::string& name, const std::string& target) {
  // A stop signal that comes after the last look waits for the rename. The
  // writing thread has ended: this one alone takes signals.
  sigset_t stops, before;
  sigemptyset(&stops);
  for (const int sig : kStopSignals) sigaddset(&stops, sig);
  ::pthread_sigmask(SIG_BLOCK, &stops, &before);
  const int at = FileAccess::fd(folder);
  const int fd = FileAccess::fd(file);
  Error error = stop_requested() ? EINTR : 0;
  // Named only now: a process killed from here to the rename leaves it.
  if (error == 0 && FileAccess::unnamed(file)) {
    error = attempt(Call::kLink, [&](int) {
      if (::linkat(AT_FDCWD, proc_path(fd).c_str(), at, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return 0;
      const Error through_proc = errno;
#if defined(AT_EMPTY_PATH)
      if (::linkat(fd, "", at, name.c_str(), AT_EMPTY_PATH) == 0)
        return 0;
#endif
      return through_proc;
    });
  }
  if (error == 0)
    error = close(file);
  if (error == 0)
    error = attempt(Call::kRename, [&](int) { return error_of(::renameat(at, name.c_str(), at, target.c_str())); });
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return error;
}

Error discard(const Folder& folder, File& file, const std::string& name) {
  const bool unnamed = FileAccess::unnamed(file);  // then gone with its descriptor
  (void)close(file);
  if (unnamed)
    return 0;
  return attempt(Call::kRemove, [&](int) { return error_of(::unlinkat(FileAccess::fd(folder), name.c_str(), 0)); });
}

Error print(Stream stream, std::string_view text) {
  const int fd = stream == Stream::kOut ? STDOUT_FILENO : STDERR_FILENO;
  while (!text.empty()) {
    std::size_t put = 0;
    if (const Error error =
            transfer(Call::kPrint, text.size(), put, [&](std::size_t n) { return ::write(fd, text.data(), n); }))
      return error;
    text.remove_prefix(put);
  }
  return 0;
}

bool is_terminal(Stream stream) {
  return ::isatty(stream == Stream::kOut ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

void prepare_process() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
      continue;
    // The lowest free descriptor: this one, since those below are open.
    const int null = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
}

void hold_own_console() {}  // a terminal stays open

void catch_stop_requests() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a write blocked on a pipe or FIFO must return.
  // Those started ignored (nohup, a background job) stay ignored.
  for (const int sig : kStopSignals) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_IGN)
      ::sigaction(sig, &action, nullptr);
  }
}

void end_by_stop_request() {
  const int sig = internal::g_stop.load();
  if (sig != 0) {
    ::signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(sig);
  }
  ::_exit(128 + sig);
}

#if defined(__arm__)
bool processor_has_neon() {
  return (::getauxval(AT_HWCAP) & HWCAP_NEON) != 0;
}
#endif

}  // namespace svfsplit::platform
