// What "End task" leaves while svfsplit.exe waits for a program that holds
// its old output: a measurement under Wine (or Windows), not a test. Run by
// bench/end_task.sh, which builds it.
//
//   svfsplit_end_task SEAM_EXE HOLDER_EXE FOLDER MODE KILLS [LONGEST_MS]
//
// Each round converts a small file over an old output with the test build
// (SEAM_EXE), paused at its first rename; the holder (HOLDER_EXE, in MODE:
// "map" maps the old output as a viewer does, "all" reads it sharing read,
// write and delete) then takes the old output for 2.5 s, the run goes on,
// and is ended by TerminateProcess at a moment drawn evenly from 0 to
// LONGEST_MS (2,200 by default: past its move aside, about 2.05 s on). A
// run that ends first is not counted, but tells how often it cleared the
// temporary file's delete mark. Once the holder lets go, the folder is
// looked at: a temporary file left (".a.gvf.XXXXXX"), the old output left
// hidden (".a.gvf.XXXXXX.old"), no output under its name. Where there is
// none, the test build runs again, failing at its rename, and must have
// put the old output back. Prints the counts once KILLS runs were ended.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <random>
#include <string>
#include <vector>

namespace {

const std::string kOld = "the old output\r\n";

std::wstring g_folder;

std::wstring in_folder(const std::wstring& name) {
  return g_folder + L"\\" + name;
}

void write(const std::wstring& path, const std::string& text) {
  const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD done = 0;
  ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
  ::CloseHandle(h);
}

// The file's bytes, or "<none>".
std::string read(const std::wstring& path) {
  const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return "<none>";
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  ::CloseHandle(h);
  return text;
}

// The names in the folder that start with '.', but "." and "..".
std::vector<std::wstring> hidden() {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW(in_folder(L".*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..")
      names.push_back(name);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return names;
}

// Starts `command` in the folder, its streams on NUL, with `faults` for the
// test build and the pause file.
HANDLE start(const std::wstring& exe, std::wstring command, const std::wstring& faults) {
  std::wstring environment;
  if (wchar_t* block = ::GetEnvironmentStringsW()) {
    for (const wchar_t* e = block; *e != L'\0'; e += std::wcslen(e) + 1) environment.append(e).push_back(L'\0');
    ::FreeEnvironmentStringsW(block);
  }
  environment += L"SVFSPLIT_FAULTS=" + faults + L'\0' + L"SVFSPLIT_PAUSE_FILE=" + in_folder(L"paused") + L'\0' +
                 L"SVFSPLIT_FAULT_REPORT=" + in_folder(L"report.txt") + L'\0' + L'\0';
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE nul = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                   OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                                        environment.data(), g_folder.c_str(), &startup, &process);
  ::CloseHandle(nul);
  if (!started) {
    std::fprintf(stderr, "cannot start %ls\n", exe.c_str());
    std::exit(2);
  }
  ::CloseHandle(process.hThread);
  return process.hProcess;
}

void wait_for_file(const std::wstring& path) {
  for (int i = 0; i < 4000 && ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) ::Sleep(2);
}

void remove_all() {
  for (const auto& name : hidden()) ::DeleteFileW(in_folder(name).c_str());
  for (const wchar_t* name : {L"a.gvf", L"a.svf", L"paused", L"ready.txt", L"report.txt"})
    ::DeleteFileW(in_folder(name).c_str());
}

}  // namespace

extern "C" int wmain(int argc, wchar_t** argv) {
  if (argc < 6)
    return 2;
  const std::wstring seam = argv[1], holder_exe = argv[2], mode = argv[4];
  g_folder = argv[3];
  const int kills = _wtoi(argv[5]);
  const int longest = argc > 6 ? _wtoi(argv[6]) : 2200;
  ::CreateDirectoryW(g_folder.c_str(), nullptr);
  std::mt19937 random{std::random_device{}()};
  int landed = 0, finished = 0, temporary = 0, aside = 0, none = 0, put_back = 0, lost = 0;
  while (landed < kills) {
    remove_all();
    write(in_folder(L"a.svf"), "X\r\nSDR 8 TDI (01);\r\nRUNTEST 1 TCK;\r\n");
    write(in_folder(L"a.gvf"), kOld);
    const HANDLE run = start(seam, L"svfsplit a.svf", L"rename:1:pause");
    wait_for_file(in_folder(L"paused"));
    const HANDLE holder = start(holder_exe, L"holder " + mode + L" a.gvf 2500 ready.txt", L"");
    wait_for_file(in_folder(L"ready.txt"));
    const DWORD after = std::uniform_int_distribution<DWORD>(0, static_cast<DWORD>(longest))(random);
    for (int i = 0; i < 400 && !::DeleteFileW(in_folder(L"paused").c_str()); ++i) ::Sleep(2);
    const ULONGLONG went_on = ::GetTickCount64();
    const bool ended = ::WaitForSingleObject(run, after) == WAIT_TIMEOUT && ::TerminateProcess(run, 1);
    const ULONGLONG lasted = ::GetTickCount64() - went_on;
    ::WaitForSingleObject(run, INFINITE);
    ::CloseHandle(run);
    ::WaitForSingleObject(holder, INFINITE);
    ::CloseHandle(holder);
    if (!ended) {
      // The test build counts the tries that cleared the delete mark.
      const std::string report = read(in_folder(L"report.txt"));
      const auto at = report.find("calls link ");
      std::printf("run ended by itself %llu ms after it went on, its delete mark cleared %d times\n", lasted,
                  at == std::string::npos ? -1 : std::atoi(report.c_str() + at + 11));
      ++finished;
      continue;
    }
    ++landed;
    bool old_hidden = false;
    for (const auto& name : hidden()) {
      const bool is_aside = name.ends_with(L".old");
      (is_aside ? aside : temporary) += 1;
      old_hidden = old_hidden || is_aside;
      std::printf("kill %d at %lu ms: left %ls\n", landed, after, name.c_str());
    }
    if (read(in_folder(L"a.gvf")) != "<none>")
      continue;
    ++none;
    // The next run puts the old output back before it fails at its rename.
    const HANDLE again = start(seam, L"svfsplit a.svf", L"rename:1:EXDEV");
    ::WaitForSingleObject(again, INFINITE);
    ::CloseHandle(again);
    (read(in_folder(L"a.gvf")) == kOld ? put_back : lost) += 1;
    std::printf("kill %d at %lu ms: no a.gvf (old output %s); the next run %s it back\n", landed, after,
                old_hidden ? "hidden" : "gone", read(in_folder(L"a.gvf")) == kOld ? "put" : "did not put");
  }
  remove_all();
  std::printf(
      "holder %ls: %d kills (%d runs ended before theirs); temporary file left %d, old output left hidden %d, "
      "no output under its name %d (put back by the next run %d, lost %d)\n",
      mode.c_str(), landed, finished, temporary, aside, none, put_back, lost);
  return 0;
}
