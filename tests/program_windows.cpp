// run_program on Windows: CreateProcessW, with pipes for both streams and
// the environment block extended. Options that only POSIX systems have are
// left to the tests that use them, which skip on Windows.
#include <windows.h>

#include <thread>

#include "platform/platform.hpp"
#include "program.hpp"

namespace svfsplit::test {

namespace {

std::wstring wide(const std::string& utf8) {
  return platform::utf16(utf8);
}

// A path as the build wrote it (a Unix path under Wine), as Windows
// reads it: Wine's drive Z: is the Unix root.
std::wstring windows_path(const std::string& path) {
  std::wstring w = wide(path);
  if (!w.empty() && w[0] == L'/')
    w = L"Z:" + w;
  for (auto& c : w) c = c == L'/' ? L'\\' : c;
  return w;
}

// One argument of a command line, quoted as the C runtime unquotes it.
std::wstring quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
    return arg;
  std::wstring q = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    q.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    q += c;
  }
  q.append(backslashes * 2, L'\\');
  return q + L"\"";
}

std::string drain(HANDLE pipe) {
  std::string text;
  char buf[4096];
  DWORD n = 0;
  while (::ReadFile(pipe, buf, sizeof buf, &n, nullptr) && n > 0) text.append(buf, n);
  ::CloseHandle(pipe);
  return text;
}

std::string lf_line_ends(const std::string& text) {
  std::string lf;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' || i + 1 >= text.size() || text[i + 1] != '\n')
      lf += text[i];
  }
  return lf;
}

}  // namespace

std::uintptr_t start_program(const fs::path& dir, const std::string& binary, const std::vector<std::string>& args) {
  std::wstring command;
  for (const auto& a : args) command += (command.empty() ? L"" : L" ") + quoted(wide(a));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(windows_path(binary).c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        dir.wstring().c_str(), &startup, &process))
    return 0;
  ::CloseHandle(process.hThread);
  return reinterpret_cast<std::uintptr_t>(process.hProcess);
}

int wait_for(std::uintptr_t process) {
  const auto h = reinterpret_cast<HANDLE>(process);
  if (::WaitForSingleObject(h, 60000) != WAIT_OBJECT_0)
    ::TerminateProcess(h, 1);
  DWORD code = 1;
  ::GetExitCodeProcess(h, &code);
  ::CloseHandle(h);
  return static_cast<int>(code);
}

bool running_as_root() {
  return false;
}

bool can_run_unprivileged() {
  return false;
}

ProgramRun run_program(const fs::path& dir, const std::vector<std::string>& args, const ProgramOptions& options) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out_read = nullptr, out_write = nullptr, err_read = nullptr, err_write = nullptr;
  if (!::CreatePipe(&out_read, &out_write, &inherit, 0) || !::CreatePipe(&err_read, &err_write, &inherit, 0))
    return {};
  ::SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  if (options.stdout_kind == ProgramOptions::Stdout::kClosedPipe)
    ::CloseHandle(std::exchange(out_read, nullptr));  // a pipe nobody reads

  std::wstring command;
  for (const auto& a : args) command += (command.empty() ? L"" : L" ") + quoted(wide(a));
  std::wstring environment;
  if (wchar_t* block = ::GetEnvironmentStringsW()) {
    for (const wchar_t* e = block; *e != L'\0'; e += std::wcslen(e) + 1) environment.append(e).push_back(L'\0');
    ::FreeEnvironmentStringsW(block);
  }
  for (const auto& [name, value] : options.environment) environment.append(wide(name + "=" + value)).push_back(L'\0');
  environment.push_back(L'\0');

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = options.stdin_closed ? nullptr : ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = options.stdout_kind == ProgramOptions::Stdout::kClosed ? nullptr : out_write;
  startup.hStdError = options.stderr_closed ? nullptr : err_write;
  PROCESS_INFORMATION process{};
  const std::wstring binary = windows_path(options.binary);
  // Under Wine, starting a program fails now and then while others start
  // or end (once in a CI run of several hundred); another try starts it.
  bool started = false;
  for (int tries = 0; tries < 3 && !started; ++tries) {
    started = ::CreateProcessW(binary.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                               environment.data(), dir.wstring().c_str(), &startup, &process) != 0;
  }
  ::CloseHandle(out_write);
  ::CloseHandle(err_write);
  // Ends the run as asked, as Task Manager's "End task" does, and one that
  // goes on for too long: it would hang the test.
  std::thread watchdog([&] {
    using namespace std::chrono;
    const auto start = steady_clock::now();
    if (started && options.signal != 0) {
      ::WaitForSingleObject(process.hProcess, static_cast<DWORD>(options.delay.count()));
      while (options.signal_when && !options.signal_when() && steady_clock::now() < start + seconds(20) &&
             ::WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT) {
      }
      ::TerminateProcess(process.hProcess, 1);
    }
    if (started && ::WaitForSingleObject(process.hProcess, 90000) == WAIT_TIMEOUT)
      ::TerminateProcess(process.hProcess, 1);
  });
  ProgramRun result;
  std::thread err_reader([&] { result.err = drain(err_read); });
  result.out_bytes = out_read != nullptr ? drain(out_read) : "";
  err_reader.join();
  watchdog.join();
  result.out = lf_line_ends(result.out_bytes);
  result.err = lf_line_ends(result.err);
  if (!started)
    return result;
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  result.status = static_cast<int>(code);
  return result;
}

}  // namespace svfsplit::test
