// The platform layer on POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform.hpp"
#include "platform_internal.hpp"

namespace svfsplit::platform {

using internal::Call;

struct FileAccess {
  static int fd(const File& file) { return static_cast<int>(file.native_); }
  static int fd(const Folder& folder) { return static_cast<int>(folder.native_); }
  static File adopt(int fd) {
    File file;
    file.native_ = fd;
    return file;
  }
  static void adopt(Folder& folder, int fd) { folder.native_ = fd; }
  static int release(File& file) {
    const int fd = static_cast<int>(file.native_);
    file.native_ = File::kNone;
    return fd;
  }
};

namespace {

using internal::attempt;
using internal::part;

extern "C" void on_stop_signal(int sig) {
  internal::note_stop_request(sig);
}

// The error of a call that returned `result`: 0, or errno.
template <class Result>
Error error_of(Result result) {
  return result < 0 ? errno : 0;
}

Error open_file(const std::string& name, int flags, File& file, Call kind) {
  return attempt(kind, [&](int) {
    const int fd = ::open(name.c_str(), flags | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0)
      file = FileAccess::adopt(fd);
    return error_of(fd);
  });
}

void describe(const struct stat& st, FileStatus& status) {
  status.id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  status.regular = S_ISREG(st.st_mode);
  status.size = static_cast<std::int64_t>(st.st_size);
  status.mode = st.st_mode & 07777;
  status.owner = st.st_uid;
  status.group = st.st_gid;
}

std::string folder_of(const std::string& name) {
  const auto slash = name.rfind('/');
  return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

// Whether the kernel's rule for links in shared folders lets this user
// follow the link `link`, described by `st`: outside a sticky,
// world-writable folder always; inside one, only when the link is this
// user's or the folder owner's.
Error may_follow(const std::string& link, const struct stat& st) {
  if (st.st_uid == ::geteuid())
    return 0;
  const std::string folder = folder_of(link);
  struct stat in {};
  if (::stat(folder.empty() ? "." : folder.c_str(), &in) != 0)
    return errno;
  const bool shared = (in.st_mode & S_ISVTX) != 0 && (in.st_mode & S_IWOTH) != 0;
  return shared && st.st_uid != in.st_uid ? kForeignLink : 0;
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

Folder::~Folder() {
  if (native_ != kNone)
    ::close(static_cast<int>(native_));
}

Error open_input(const std::string& name, File& file) {
  // Non-blocking, so that a FIFO is refused rather than waited on.
  return open_file(name, O_RDONLY | O_NONBLOCK, file, Call::kOpen);
}

Error open_existing_output(const std::string& name, File& file) {
  File opened;
  if (const Error error = open_file(name, O_WRONLY | O_NONBLOCK, opened, Call::kOpen))
    return error;
  // Writes, once open, may block: the run must not lose data to EAGAIN.
  const int fd = FileAccess::fd(opened);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0)
    return errno;
  file = std::move(opened);
  return 0;
}

Error open_folder(const std::string& name, Folder& folder) {
#if defined(O_PATH)
  constexpr int kFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;  // only a place to name files in
#else
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
  return attempt(Call::kOpen, [&](int) {
    const int fd = ::open(name.empty() ? "." : name.c_str(), kFlags);
    if (fd >= 0) {
      Folder opened;
      FileAccess::adopt(opened, fd);
      folder = std::move(opened);
    }
    return error_of(fd);
  });
}

Error create_new(const Folder& folder, const std::string& name, File& file) {
  return attempt(Call::kCreate, [&](int) {
    const int fd =
        ::openat(FileAccess::fd(folder), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd >= 0)
      file = FileAccess::adopt(fd);
    return error_of(fd);
  });
}

Error status(const File& file, FileStatus& status) {
  struct stat st {};
  const Error error = attempt(Call::kStatus, [&](int) { return error_of(::fstat(FileAccess::fd(file), &st)); });
  if (error == 0)
    describe(st, status);
  return error;
}

Error status(const std::string& name, FileStatus& status) {
  struct stat st {};
  const Error error = attempt(Call::kStatus, [&](int) { return error_of(::stat(name.c_str(), &st)); });
  if (error == 0)
    describe(st, status);
  return error;
}

Error resolve_links(const std::string& name, std::string& target) {
  std::string at = name;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (const Error error = attempt(Call::kResolve, [&](int) { return error_of(::lstat(at.c_str(), &st)); })) {
      if (error != ENOENT)
        return error;
      target = at;  // nothing there (yet): a dangling link ends here
      return 0;
    }
    if (!S_ISLNK(st.st_mode)) {
      target = at;
      return 0;
    }
    if (const Error error = may_follow(at, st))
      return error;
    std::vector<char> link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    for (;;) {
      const ssize_t n = ::readlink(at.c_str(), link.data(), link.size());
      if (n < 0)
        return errno;
      if (static_cast<std::size_t>(n) < link.size()) {
        link.resize(static_cast<std::size_t>(n));
        break;
      }
      link.resize(link.size() * 2);  // the link grew since lstat
    }
    const std::string to(link.begin(), link.end());
    at = !to.empty() && to[0] == '/' ? to : folder_of(at) + to;
  }
  return ELOOP;
}

Error set_permissions(const File& file, const FileStatus* replaced) {
  const int fd = FileAccess::fd(file);
  return attempt(Call::kPermissions, [&](int) {
    mode_t bits = 0;
    if (replaced != nullptr) {
      // Owner and group first: changing them may clear permission bits.
      // Only a privileged process may give a file away; others keep their
      // own, and the group where they belong to it.
      if (::fchown(fd, replaced->owner, replaced->group) != 0)
        (void)::fchown(fd, static_cast<uid_t>(-1), replaced->group);
      bits = static_cast<mode_t>(replaced->mode & 0777);
    } else {
      // No other thread runs now: the umask may be read by setting it.
      const mode_t mask = ::umask(0);
      ::umask(mask);
      bits = 0666 & ~mask;
    }
    return error_of(::fchmod(fd, bits));
  });
}

Error read_at(const File& file, std::int64_t offset, void* buffer, std::size_t size, std::size_t& done) {
  done = 0;
  return attempt(Call::kRead, [&](int fault) {
    const ssize_t got = ::pread(FileAccess::fd(file), buffer, part(size, fault), static_cast<off_t>(offset));
    done = got > 0 ? static_cast<std::size_t>(got) : 0;
    return error_of(got);
  });
}

Error write(const File& file, const void* data, std::size_t size, std::size_t& done) {
  done = 0;
  return attempt(Call::kWrite, [&](int fault) {
    const ssize_t put = ::write(FileAccess::fd(file), data, part(size, fault));
    done = put > 0 ? static_cast<std::size_t>(put) : 0;
    return error_of(put);
  });
}

Error close(File& file) {
  if (!file.is_open())
    return 0;
  // Never retried: on Linux the descriptor is gone even when interrupted.
  return internal::after_close(error_of(::close(FileAccess::release(file))));
}

Error replace(const Folder& folder, File& file, const std::string& name, const std::string& target) {
  if (const Error error = close(file))
    return error;
  const int fd = FileAccess::fd(folder);
  return attempt(Call::kRename, [&](int) { return error_of(::renameat(fd, name.c_str(), fd, target.c_str())); });
}

Error discard(const Folder& folder, File& file, const std::string& name) {
  (void)close(file);
  return attempt(Call::kRemove, [&](int) { return error_of(::unlinkat(FileAccess::fd(folder), name.c_str(), 0)); });
}

Error print(Stream stream, std::string_view text) {
  const int fd = stream == Stream::kOut ? STDOUT_FILENO : STDERR_FILENO;
  while (!text.empty()) {
    ssize_t put = 0;
    if (const Error error = attempt(Call::kPrint, [&](int fault) {
          put = ::write(fd, text.data(), part(text.size(), fault));
          return error_of(put);
        }))
      return error;
    text.remove_prefix(static_cast<std::size_t>(put));
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

void catch_stop_requests() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a write blocked on a pipe or FIFO must return.
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
      continue;  // started ignored (nohup, a background job): stays ignored
    ::sigaction(sig, &action, nullptr);
  }
}

void end_by_stop_request() {
  const int sig = internal::stop_request_code();
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

}  // namespace svfsplit::platform
