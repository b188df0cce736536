// The platform layer on Windows, through Win32 itself: binary files with
// 64-bit offsets, Unicode names, the console and its control events.
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "platform/platform.hpp"
#include "platform/platform_internal.hpp"

namespace svfsplit::platform {

using internal::attempt;
using internal::Call;

struct FileAccess {
  static HANDLE handle(const File& file) { return reinterpret_cast<HANDLE>(file.native_); }
  static HANDLE handle(const Folder& folder) { return handle(folder.file_); }
  static const std::string& path(const Folder& folder) { return folder.path_; }
  static File adopt(HANDLE handle) { return File(reinterpret_cast<std::intptr_t>(handle), false); }
  static Folder adopt(HANDLE handle, std::string path) {
    Folder folder;
    folder.file_ = adopt(handle);
    folder.path_ = std::move(path);
    return folder;
  }
  static HANDLE release(File& file) { return reinterpret_cast<HANDLE>(std::exchange(file.native_, File::kNone)); }
};

// Names travel inside the program in WTF-8 (see name_char_at()), so that
// every name comes back to UTF-16 as it was given.
std::wstring utf16(std::string_view utf8) {
  std::wstring text;
  for (std::size_t i = 0; i < utf8.size();) {
    const NameChar c = name_char_at(utf8, i);
    i += c.size;
    if (c.code >= 0x10000)
      text += static_cast<wchar_t>(0xD800 + ((c.code - 0x10000) >> 10));
    text += static_cast<wchar_t>(c.code >= 0x10000 ? 0xDC00 + (c.code & 0x3FF) : c.code);
  }
  return text;
}

namespace {

std::string narrow(std::wstring_view utf16) {
  constexpr unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
  std::string text;
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t c = utf16[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (utf16[++i] - 0xDC00);
    const int tail = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    text += static_cast<char>(kLead[tail] | (c >> (6 * tail)));
    for (int k = tail - 1; k >= 0; --k) text += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
  }
  return text;
}

// Windows errors without an errno-style code of their own are kept as
// this plus their number, and told by the system's own text.
constexpr Error kWindowsError = 0x20000;

// The errno-style codes of this layer: each with its reason, worded as on
// Linux so that a message reads the same on every system, and the Windows
// errors that mean the same.
struct ErrnoCode {
  Error error;
  const char* text;
  std::initializer_list<unsigned long> windows;
};
constexpr ErrnoCode kErrnoCodes[] = {
    {EPERM, "Operation not permitted", {}},
    {ENOENT,
     "No such file or directory",
     {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_INVALID_DRIVE, ERROR_BAD_NETPATH, ERROR_BAD_NET_NAME,
      ERROR_INVALID_NAME, ERROR_BAD_PATHNAME}},
    {EINTR, "Interrupted system call", {ERROR_OPERATION_ABORTED}},
    {EIO, "Input/output error", {}},
    {EBADF, "Bad file descriptor", {ERROR_INVALID_HANDLE}},
    {EAGAIN, "Resource temporarily unavailable", {}},
    {ENOMEM, "Cannot allocate memory", {ERROR_NOT_ENOUGH_MEMORY, ERROR_OUTOFMEMORY}},
    {EACCES, "Permission denied", {ERROR_ACCESS_DENIED, ERROR_WRITE_PROTECT}},
    {EBUSY, "Device or resource busy", {ERROR_BUSY}},
    {EEXIST, "File exists", {ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS}},
    {EXDEV, "Invalid cross-device link", {ERROR_NOT_SAME_DEVICE}},
    {ENOTDIR, "Not a directory", {ERROR_DIRECTORY}},
    {EISDIR, "Is a directory", {}},
    {EINVAL, "Invalid argument", {ERROR_INVALID_PARAMETER}},
    {EMFILE, "Too many open files", {ERROR_TOO_MANY_OPEN_FILES}},
    {EFBIG, "File too large", {ERROR_FILE_TOO_LARGE}},
    {ENOSPC, "No space left on device", {ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL}},
    {EPIPE, "Broken pipe", {ERROR_BROKEN_PIPE, ERROR_NO_DATA, ERROR_PIPE_NOT_CONNECTED}},
    {ENAMETOOLONG, "File name too long", {ERROR_FILENAME_EXCED_RANGE}},
    {ENOTEMPTY, "Directory not empty", {ERROR_DIR_NOT_EMPTY}},
    {ELOOP, "Too many levels of symbolic links", {ERROR_CANT_RESOLVE_FILENAME}},
    {EOPNOTSUPP, "Operation not supported", {ERROR_NOT_SUPPORTED}},
};

// The errno-style code for the last Win32 error.
Error last_error() {
  return internal::windows_error(::GetLastError());
}

// Set once the run has cleaned up, for a console that is closing.
HANDLE g_cleaned_up = nullptr;

BOOL WINAPI on_control_event(DWORD event) {
  internal::note_stop_request(static_cast<int>(event) + 1);
  // When the console closes, the process ends as this returns: wait for the
  // run to remove its temporary file first (the system allows a few seconds).
  const bool closing = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
  if (closing && g_cleaned_up != nullptr)
    ::WaitForSingleObject(g_cleaned_up, 4500);
  return TRUE;
}

// One read or write of up to `size` bytes, as attempt() runs it, through
// `move`: given how many bytes to move (within a single call's limit) and
// where to count those it moved, it returns whether it succeeded.
template <class Move>
Error transfer(Call kind, std::size_t size, std::size_t& done, Move move) {
  done = 0;
  return attempt(kind, [&](int fault) -> Error {
    DWORD moved = 0;
    if (!move(static_cast<DWORD>(std::min(internal::part(size, fault), std::size_t{1} << 30)), &moved))
      return last_error();
    done = moved;
    return 0;
  });
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Whether Windows takes the name literally: "\\?\C:\x", or its NT form
// "\??\C:\x".
bool is_literal(std::string_view name) {
  return name.starts_with("\\\\?\\") || name.starts_with("\\??\\");
}

// The full path of a name, as GetFullPathNameW makes it, in UTF-8. A
// literal name is taken as it is: the system does not touch it either.
std::string full_path(const std::string& name) {
  if (is_literal(name))
    return name;
  const std::wstring w = utf16(name.empty() ? "." : name);
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFullPathNameW(w.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0)
      return name;  // handed on as it is, for the call to say what is wrong
    if (n < full.size())
      return narrow(std::wstring_view(full).substr(0, n));
    full.resize(n);
  }
}

// A name as it is handed to the system: a full path, in the form that
// lifts the 260-character limit where it needs it.
std::wstring system_name(const std::string& name) {
  return utf16(internal::extended_length_path(full_path(name), 0));
}

// Whether the name is longer than the system takes at all: a component of
// more than 255 characters, or a path of more than 32,767. Windows would
// call it a bad name or a missing path.
bool too_long(std::wstring_view path) {
  std::size_t component = 0;
  for (const wchar_t c : path) {
    component = c == L'\\' || c == L'/' ? 0 : component + 1;
    if (component > 255)
      return true;
  }
  return path.size() > 32767;
}

// One CreateFileW of `path`, into `file`.
Error create_file(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags, File& file) {
  const HANDLE h = ::CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return last_error();
  file = FileAccess::adopt(h);
  return 0;
}

Error open_file(const std::string& name, DWORD access, DWORD share, DWORD disposition, DWORD flags, File& file,
                Call kind) {
  const std::wstring path = system_name(name);
  if (too_long(path))
    return ENAMETOOLONG;
  return attempt(kind, [&](int) { return create_file(path, access, share, disposition, flags, file); });
}

Error describe(HANDLE h, FileStatus& status) {
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    // A console, a pipe, the NUL device: no identity of a file on a volume.
    status = {.id = {~std::uint64_t{0}, reinterpret_cast<std::uintptr_t>(h)}};
    return 0;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info))
    return last_error();
  const FileId id{info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
  const auto size = static_cast<std::int64_t>((std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
  status = {id, (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0, size, info.dwFileAttributes};
  return 0;
}

HANDLE standard_handle(Stream stream) {
  return ::GetStdHandle(stream == Stream::kOut ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool is_console(HANDLE h) {
  DWORD mode = 0;
  return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &mode) != 0;
}

// Sets or clears a file's deletion when its last handle closes.
Error mark_for_deletion(HANDLE h, bool deleted) {
  FILE_DISPOSITION_INFO info{deleted};
  return ::SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) ? 0 : last_error();
}

// Why the file at `path` cannot be replaced, whoever runs the program: it
// is a folder, or read-only (Windows would refuse its rename as if another
// program held it). 0 when it can, or is not there.
Error cannot_replace(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return 0;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return EISDIR;
  return (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? EACCES : 0;
}

// A function of a system DLL's, which is loaded for it if need be (ntdll
// is in every process); null where it has none, or cannot be loaded (the
// .exe, which a null module stands for, exports nothing).
template <class Function>
Function system_function(const wchar_t* dll, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(::LoadLibraryW(dll), name)));
}

// Renames the file `h` to `name` in the folder `folder`, relative to its
// handle. The system's own call takes the name so; kernelbase's
// SetFileInformationByHandle does on Windows, but Wine's makes a full path
// of it first. A file that replaces another is renamed with POSIX semantics
// first: Windows 10 1709 and later then replace a file that others hold
// open allowing its deletion. Where that is refused (older systems, file
// systems without them, Wine 8), the rename is the classic one.
Error rename_in(HANDLE h, HANDLE folder, const std::wstring& name, bool replace) {
  using SetInformationFile = LONG(WINAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
  using StatusToError = ULONG(WINAPI*)(LONG);
  static const auto set_information = system_function<SetInformationFile>(L"ntdll.dll", "NtSetInformationFile");
  static const auto to_error = system_function<StatusToError>(L"ntdll.dll", "RtlNtStatusToDosError");
  constexpr int kFileRenameInformation = 10, kFileRenameInformationEx = 65;
  const DWORD bytes = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + bytes);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
  info->RootDirectory = folder;
  info->FileNameLength = bytes;
  std::memcpy(info->FileName, name.data(), bytes);
  IO_STATUS_BLOCK io{};
  const auto size = static_cast<ULONG>(buffer.size());
  LONG status = replace ? set_information(h, &io, info, size, kFileRenameInformationEx) : -1;
  if (status < 0) {
    info->Flags = replace ? TRUE : FALSE;  // ReplaceIfExists
    status = set_information(h, &io, info, size, kFileRenameInformation);
  }
  return status >= 0 ? 0 : internal::windows_error(to_error(status));
}

// One try at renaming the complete file `h` over `target` in the folder
// `in`, unless a stop was asked for: the stop keeps the old output. The
// delete mark of `h` is cleared for that instant only, and set again when
// the rename is refused, so that a process ended meanwhile leaves nothing.
Error try_rename(HANDLE h, HANDLE in, const std::wstring& target) {
  if (stop_requested())
    return EINTR;
  if (const Error error = attempt(Call::kLink, [&](int) { return mark_for_deletion(h, false); }))
    return error;
  const Error error = attempt(Call::kRename, [&](int) { return rename_in(h, in, target, true); });
  if (error != 0)
    (void)attempt(Call::kRemove, [&](int) { return mark_for_deletion(h, true); });
  return error;
}

// Opens a link itself, not what it leads to, and a folder as well.
constexpr DWORD kNoLink = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

// Whether another program holds the file at `path` open in a way that
// `share` does not allow: with kShareAll, without allowing its deletion.
bool held(const std::wstring& path, DWORD share) {
  File probe;
  return create_file(path, DELETE, share, OPEN_EXISTING, kNoLink, probe) == kInUse;
}

// Renames the complete file `h`, named `name`, over `target` in `folder`.
// A program that holds `target` open usually lets go within moments (a
// scanner, an indexer); one that holds it longer but allows its deletion
// has it moved aside, under `name` followed by ".old", and deleted once it
// lets go, as LLVM's tools do.
Error rename_over(HANDLE h, const Folder& folder, const std::wstring& name, const std::wstring& target) {
  const HANDLE in = FileAccess::handle(folder);
  const std::wstring path = utf16(FileAccess::path(folder)) + target;
  Error error = 0;
  for (int tries = 0; tries <= 40; ++tries) {
    if (const Error refused = cannot_replace(path))
      return refused;
    // Only a try that may succeed clears the temporary file's delete mark:
    // the first, unless the holder forbids deletion (the POSIX rename
    // replaces a file held otherwise), then only once nobody holds it.
    error = held(path, tries == 0 ? kShareAll : 0) && !stop_requested() ? kInUse : try_rename(h, in, target);
    if (error != kInUse && error != EACCES)
      return error;
    if (tries < 40)
      ::Sleep(50);
  }
  File opened;  // closed on the way out
  if (const Error refused = create_file(path, DELETE, kShareAll, OPEN_EXISTING, kNoLink, opened))
    return refused == kInUse ? kInUse : error;
  // Marked for deletion only once the new output has its name, so that a
  // process ended meanwhile leaves it whole, for the next run to put back
  // (open_existing_output). Put back if the rename fails all the same, or
  // if it cannot be deleted (a file mapped into memory): the new output
  // then goes back to its own name first.
  const HANDLE old = FileAccess::handle(opened);
  if (rename_in(old, in, name + L".old", false) != 0)
    return kInUse;
  error = try_rename(h, in, target);
  if (error == 0 && mark_for_deletion(old, true) == 0)
    return 0;
  if (error == 0) {
    if (rename_in(h, in, name, false) != 0)
      return 0;  // the new output stays, the old one hidden
    (void)mark_for_deletion(h, true);
    error = kInUse;
  }
  (void)rename_in(old, in, target, false);
  return error;
}

}  // namespace

namespace internal {

Error windows_error(unsigned long code) {
  if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION || code == ERROR_USER_MAPPED_FILE)
    return kInUse;
  for (const auto& known : kErrnoCodes) {
    if (std::ranges::find(known.windows, code) != known.windows.end())
      return known.error;
  }
  return code < 0x10000 ? kWindowsError + static_cast<Error>(code) : EIO;
}

std::string system_error_text(Error error) {
  if (const auto known = std::ranges::find(kErrnoCodes, error, &ErrnoCode::error); known != std::end(kErrnoCodes))
    return known->text;
  if (error <= kWindowsError)
    return "Unknown error " + std::to_string(error);
  // The system's own text for a Windows error, in English where it has it,
  // without its final period and line end.
  const auto code = static_cast<DWORD>(error - kWindowsError);
  constexpr DWORD kFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  wchar_t text[512];
  DWORD n = ::FormatMessageW(kFlags, nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, 512, nullptr);
  if (n == 0)
    n = ::FormatMessageW(kFlags, nullptr, code, 0, text, 512, nullptr);
  while (n > 0 && (text[n - 1] == L'\n' || text[n - 1] == L'\r' || text[n - 1] == L' ' || text[n - 1] == L'.')) --n;
  return n == 0 ? "Windows error " + std::to_string(code) : narrow(std::wstring_view(text, n));
}

}  // namespace internal

File::~File() {
  if (is_open())
    ::CloseHandle(FileAccess::handle(*this));
}

bool is_pattern(std::string_view name) {
  // "*.svf" reaches the program as it was typed: no file can have it as its
  // name. The '?' of a device path's prefix is no wildcard: "\\?\",
  // "//?/" or "/\?\", or "\??\".
  const auto separator = [&](std::size_t i) { return name[i] == '\\' || name[i] == '/'; };
  if (is_literal(name) || (name.size() >= 4 && separator(0) && separator(1) && name[2] == '?' && separator(3)))
    name.remove_prefix(4);
  return name.find_first_of("*?") != std::string_view::npos;
}

std::string meant_name(const std::string& name) {
  const auto start = name.find_last_of("\\/:") + 1;  // 0 when there is none
  std::string meant = name;
  // A short (8.3) name has a '~': its folder knows its long name, in a path
  // of any length.
  WIN32_FIND_DATAW found{};
  const HANDLE search = name.find('~', start) == std::string::npos || is_pattern(name)
                            ? INVALID_HANDLE_VALUE
                            : ::FindFirstFileW(system_name(name).c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    ::FindClose(search);
    meant = name.substr(0, start) + narrow(found.cFileName);
  }
  const auto end = meant.find_last_not_of(". ");
  if (!is_literal(name) && end != std::string::npos && end + 1 >= start)
    meant.resize(end + 1);
  return meant;
}

Error open_input(const std::string& name, File& file) {
  // Others may read, rename and delete the file meanwhile, not write it: a
  // file that a program is writing is in use. A folder opens too, to be
  // refused as not a regular file.
  return open_file(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                   file, Call::kOpen);
}

// A run ended between moving its held output aside and renaming the new
// one over it (see rename_over) left the old output hidden, under the
// name ".NAME.XXXXXX.old": it takes its name back, unless another has it.
void put_back(const Folder& folder, const std::string& entry) {
  const std::string& path = FileAccess::path(folder);
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW(system_name(path + "." + entry + ".??????.old").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return;
  ::FindClose(search);
  (void)::MoveFileExW(system_name(path + narrow(found.cFileName)).c_str(), system_name(path + entry).c_str(), 0);
}

Error open_existing_output(const Folder& folder, const std::string& entry, File& file) {
  const std::string name = FileAccess::path(folder) + entry;
  put_back(folder, entry);
  if (const Error error = cannot_replace(system_name(name)))
    return error;
  File opened;
  if (const Error error = open_file(name, GENERIC_WRITE, kShareAll, OPEN_EXISTING, 0, opened, Call::kOpen))
    return error;
  if (::GetFileType(FileAccess::handle(opened)) == FILE_TYPE_DISK) {
    // The rename at the end deletes the file: a program that holds it
    // without allowing that is named now, not after the whole conversion.
    File probe;
    if (const Error error = open_file(name, DELETE, kShareAll, OPEN_EXISTING, 0, probe, Call::kOpen))
      return error;
  }
  file = std::move(opened);
  return 0;
}

Error open_folder(const std::string& name, Folder& folder, std::size_t longest_entry) {
  std::string path = full_path(name);
  if (!path.ends_with('\\') && !path.ends_with('/'))
    path += '\\';
  path = internal::extended_length_path(path, longest_entry);
  const std::wstring wpath = utf16(path);
  return attempt(Call::kOpen, [&](int) -> Error {
    // Without delete sharing, nobody can rename or remove the folder while
    // the run works in it; where another program already holds it so,
    // the run goes on with a folder that can move.
    HANDLE h = INVALID_HANDLE_VALUE;
    for (const DWORD share : {DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE}, kShareAll}) {
      h = ::CreateFileW(wpath.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE, share, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      if (h != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_SHARING_VIOLATION)
        break;
    }
    if (h == INVALID_HANDLE_VALUE)
      return last_error();
    Folder opened = FileAccess::adopt(h, path);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
      return ENOTDIR;
    folder = std::move(opened);
    return 0;
  });
}

Error create_temporary(const Folder& folder, const std::string& name, File& file) {
  // With DELETE access, the file is renamed and removed through this
  // handle; another program can open it meanwhile only if it allows that.
  if (const Error error =
          open_file(FileAccess::path(folder) + name, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, file, Call::kCreate))
    return error;
  // Deleted when its last handle closes, whatever ends the process, until
  // replace() keeps it. A file system that cannot mark it leaves it to
  // discard().
  (void)mark_for_deletion(FileAccess::handle(file), true);
  return 0;
}

Error status(const File& file, FileStatus& status) {
  return attempt(Call::kStatus, [&](int) { return describe(FileAccess::handle(file), status); });
}

// What is at `name` now, following links.
Error look_at(const std::string& name, FileStatus& status) {
  const std::wstring path = system_name(name);
  if (too_long(path))
    return ENAMETOOLONG;
  File opened;  // closed once described
  const Error error = create_file(path, 0, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, opened);
  return error != 0 ? error : describe(FileAccess::handle(opened), status);
}

Error status(const std::string& name, FileStatus& status) {
  return attempt(Call::kStatus, [&](int) { return look_at(name, status); });
}

// Symbolic links and junctions at the output name are not followed: the
// rename replaces the link itself, and its target is left alone.
Error resolve_links(const std::string& name, std::string& target, std::optional<FileId>& found) {
  return attempt(Call::kResolve, [&](int) {
    target = name;
    FileStatus there{};
    const Error error = look_at(name, there);
    found = error == 0 ? std::optional(there.id) : std::nullopt;
    return error == ENOENT ? 0 : error;
  });
}

// The new output keeps the hidden, system and archive attributes of the
// file it replaces; a read-only one is refused before it comes to this.
Error set_permissions(const File& file, const FileStatus* replaced) {
  return attempt(Call::kPermissions, [&](int) -> Error {
    if (replaced == nullptr)
      return 0;
    constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    FILE_BASIC_INFO info{};  // times of 0: left as they are
    info.FileAttributes = (replaced->mode & kKept) != 0 ? (replaced->mode & kKept) : FILE_ATTRIBUTE_NORMAL;
    return ::SetFileInformationByHandle(FileAccess::handle(file), FileBasicInfo, &info, sizeof info) ? 0 : last_error();
  });
}

Error read_at(const File& file, std::int64_t offset, void* buffer, std::size_t size, std::size_t& done) {
  return transfer(Call::kRead, size, done, [&](DWORD n, DWORD* got) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    // The end of the file: nothing read, and no error.
    return ::ReadFile(FileAccess::handle(file), buffer, n, got, &at) || ::GetLastError() == ERROR_HANDLE_EOF;
  });
}

Error write(const File& file, const void* data, std::size_t size, std::size_t& done) {
  return transfer(Call::kWrite, size, done,
                  [&](DWORD n, DWORD* put) { return ::WriteFile(FileAccess::handle(file), data, n, put, nullptr); });
}

void start_writeback(const File&, std::int64_t, std::int64_t) {}

Error sync(const File& file) {
  return attempt(Call::kSync,
                 [&](int) -> Error { return ::FlushFileBuffers(FileAccess::handle(file)) ? 0 : last_error(); });
}

// NTFS journals a rename: there is nothing to flush for a folder.
Error sync(const Folder&) {
  return attempt(Call::kSync, [](int) { return 0; });
}

Error close(File& file) {
  if (!file.is_open())
    return 0;
  return internal::after_close(::CloseHandle(FileAccess::release(file)) ? 0 : last_error());
}

Error replace(const Folder& folder, File& file, const std::string& name, const std::string& target) {
  // Closing cannot fail once the writes have: the test seam's failure of
  // it is taken before the rename, which would leave nothing to undo.
  if (const Error error = internal::after_close(0))
    return error;
  if (const Error error = rename_over(FileAccess::handle(file), folder, utf16(name), utf16(target)))
    return error;
  ::CloseHandle(FileAccess::release(file));
  return 0;
}

Error discard(const Folder& folder, File& file, const std::string& name) {
  if (file.is_open()) {
    // Deleted when closed, whoever else has it open with delete sharing:
    // marked so from its creation, and again after each refused rename.
    const HANDLE h = FileAccess::handle(file);
    FILE_STANDARD_INFO info{};
    const bool marked = ::GetFileInformationByHandleEx(h, FileStandardInfo, &info, sizeof info) && info.DeletePending;
    const Error error = marked ? 0 : attempt(Call::kRemove, [&](int) { return mark_for_deletion(h, true); });
    ::CloseHandle(FileAccess::release(file));
    return error;
  }
  const std::wstring path = system_name(FileAccess::path(folder) + name);
  return attempt(Call::kRemove, [&](int) -> Error { return ::DeleteFileW(path.c_str()) ? 0 : last_error(); });
}

Error print(Stream stream, std::string_view text) {
  const HANDLE h = standard_handle(stream);
  if (h == nullptr || h == INVALID_HANDLE_VALUE)
    return 0;  // started without it (detached, a service): nobody to tell
  std::string lines;
  for (const char c : text) lines += c == '\n' ? std::string_view("\r\n") : std::string_view(&c, 1);
  // The console shows any name, whatever its code page: it is given UTF-16,
  // anything else the UTF-8 bytes.
  const bool console = is_console(h);
  const std::wstring wide_lines = console ? utf16(lines) : std::wstring();
  const std::size_t size = console ? wide_lines.size() : lines.size();
  for (std::size_t done = 0; done < size;) {
    std::size_t put = 0;
    if (const Error error = transfer(Call::kPrint, size - done, put, [&](DWORD n, DWORD* moved) {
          return console ? ::WriteConsoleW(h, wide_lines.data() + done, n, moved, nullptr)
                         : ::WriteFile(h, lines.data() + done, n, moved, nullptr);
        }))
      return error;
    done += put;
  }
  return 0;
}

bool is_terminal(Stream stream) {
  return is_console(standard_handle(stream));
}

void prepare_process() {
  // No message boxes for drives without media: a failure to report instead.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

// Whether a person sees the console's window (ConsoleReport::seen), as far
// as user32.dll can tell, loaded for this question only: the .exe imports
// system DLLs alone, and a run whose console stays open never loads it.
bool window_seen() {
  const HWND window = ::GetConsoleWindow();
  const auto visible = system_function<BOOL(WINAPI*)(HWND)>(L"user32.dll", "IsWindowVisible");
  const auto class_of = system_function<int(WINAPI*)(HWND, wchar_t*, int)>(L"user32.dll", "GetClassNameW");
  const auto station = system_function<HWINSTA(WINAPI*)()>(L"user32.dll", "GetProcessWindowStation");
  const auto flags_of =
      system_function<BOOL(WINAPI*)(HANDLE, int, void*, DWORD, DWORD*)>(L"user32.dll", "GetUserObjectInformationW");
  wchar_t name[32] = {};
  USEROBJECTFLAGS flags{};
  return window != nullptr && visible != nullptr && class_of != nullptr && station != nullptr && flags_of != nullptr &&
         visible(window) && class_of(window, name, 32) > 0 && std::wstring_view(name) != L"PseudoConsoleWindow" &&
         flags_of(station(), UOI_FLAGS, &flags, sizeof flags, nullptr) && (flags.dwFlags & WSF_VISIBLE) != 0;
}

void hold_own_console() {
  const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD ids[2];
  ConsoleReport console{::GetConsoleProcessList(ids, 2), is_console(in), is_console(standard_handle(Stream::kOut)),
                        ::GetConsoleWindow() != nullptr};
  // Whether a person sees the window is asked closer last, only of a
  // console that has one and that the rest would hold.
  if (console_closes_with_the_run(console))
    console.seen = window_seen();
  if (!console_closes_with_the_run(console))
    return;
  // The run is over: closing the window need not wait for it.
  if (g_cleaned_up != nullptr)
    ::SetEvent(g_cleaned_up);
  (void)print(Stream::kOut, "Press any key to close this window\n");
  ::FlushConsoleInputBuffer(in);
  ::SetConsoleMode(in, 0);  // Ctrl+C is a key too
  INPUT_RECORD record{};
  DWORD read = 0;
  do {
    if (!::ReadConsoleInputW(in, &record, 1, &read) || read == 0)
      return;
  } while (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown);
}

void catch_stop_requests() {
  g_cleaned_up = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(on_control_event, TRUE);
}

void end_by_stop_request() {
  if (g_cleaned_up != nullptr)
    ::SetEvent(g_cleaned_up);
  ::ExitProcess(STATUS_CONTROL_C_EXIT);
}

std::vector<std::string> utf8_arguments(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(narrow(argv[i]));
  return args;
}

}  // namespace svfsplit::platform
