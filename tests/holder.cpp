// svfsplit_holder: holds a file open as another Windows program would (a
// player, an editor, a virus scanner), for the tests of svfsplit.exe among
// other programs.
//
//   svfsplit_holder none|read|readwrite|all|write|map|lock|readonly FILE MS READY
//       opens FILE for reading, allowing others that sharing (write: for
//       writing, allowing all; map: for reading, allowing all, and maps it
//       into memory as a viewer does; lock: likewise, and locks its first
//       byte; readonly: likewise, and makes it read-only meanwhile), writes
//       READY ("held", or "failed") and holds the file for MS milliseconds;
//   svfsplit_holder watch FOLDER MS READY
//       writes READY ("watching"), then opens the first file whose name
//       starts with '.' that appears in FOLDER within MS milliseconds,
//       allowing reading and writing but not deletion, as scanners do; adds
//       to READY "opened" (and holds it for half a second) or "refused".
#include <windows.h>

#include <string>

namespace {

void say(const std::wstring& path, const std::string& text) {
  const HANDLE h = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_ALWAYS, 0, nullptr);
  DWORD done = 0;
  ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
  ::CloseHandle(h);
}

std::string watch(const std::wstring& folder, DWORD ms) {
  const ULONGLONG deadline = ::GetTickCount64() + ms;
  while (::GetTickCount64() < deadline) {
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW((folder + L"\\.*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
      continue;
    std::wstring name;
    do {
      const std::wstring n = found.cFileName;
      if (n != L"." && n != L"..")
        name = n;
    } while (name.empty() && ::FindNextFileW(search, &found));
    ::FindClose(search);
    if (name.empty())
      continue;
    const HANDLE h = ::CreateFileW((folder + L"\\" + name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      ::Sleep(500);
      ::CloseHandle(h);
      return "opened";
    }
    if (::GetLastError() == ERROR_SHARING_VIOLATION || ::GetLastError() == ERROR_ACCESS_DENIED)
      return "refused";
  }
  return "nothing seen";
}

}  // namespace

extern "C" int wmain(int argc, wchar_t** argv) {
  if (argc != 5)
    return 2;
  const std::wstring mode = argv[1];
  const std::wstring path = argv[2];
  const auto ms = static_cast<DWORD>(_wtoi(argv[3]));
  const std::wstring ready = argv[4];
  if (mode == L"watch") {
    say(ready, "watching ");
    say(ready, watch(path, ms));
    return 0;
  }
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  if (mode == L"none")
    share = 0;
  else if (mode == L"read")
    share = FILE_SHARE_READ;
  else if (mode == L"readwrite")
    share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  const DWORD access = mode == L"write" ? GENERIC_WRITE : GENERIC_READ;
  const HANDLE h = ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE mapping = nullptr;
  const void* view = nullptr;
  bool held = h != INVALID_HANDLE_VALUE;
  if (held && mode == L"map") {
    mapping = ::CreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
    view = mapping != nullptr ? ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    held = view != nullptr;
  }
  if (held && mode == L"lock") {
    OVERLAPPED at{};
    held = ::LockFileEx(h, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
  }
  if (held && mode == L"readonly")
    held = ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY) != 0;
  say(ready, held ? "held" : "failed");
  ::Sleep(ms);
  if (mode == L"readonly")
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (view != nullptr)
    ::UnmapViewOfFile(view);
  if (mapping != nullptr)
    ::CloseHandle(mapping);
  ::CloseHandle(h);
  return 0;
}
