// svfsplit_holder: holds a file open as another Windows program would (a
// player, an editor, a virus scanner), for the tests of svfsplit.exe among
// other programs.
//
//   svfsplit_holder none|read|readwrite|all FILE MS READY
//       opens FILE for reading, allowing others that sharing, writes READY
//       ("held", or "failed") and holds the file for MS milliseconds;
//   svfsplit_holder watch FOLDER MS READY
//       writes READY ("watching"), then opens the first file whose name
//       starts with '.' that appears in FOLDER within MS milliseconds,
//       allowing reading and writing but not deletion, as scanners do; adds
//       to READY "opened" (and holds it for half a second) or "refused".
#ifndef NOMINMAX
#define NOMINMAX
#endif
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
    if (::GetLastError() == ERROR_SHARING_VIOLATION)
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
  DWORD share = 0;
  if (mode == L"read")
    share = FILE_SHARE_READ;
  else if (mode == L"readwrite")
    share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  else if (mode == L"all")
    share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
  say(ready, h != INVALID_HANDLE_VALUE ? "held" : "failed");
  ::Sleep(ms);
  ::CloseHandle(h);
  return 0;
}
