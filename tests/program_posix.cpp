// run_program on POSIX systems: fork, exec, and pipes for both streams.
#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <sstream>
#include <thread>

#include "program.hpp"

extern char** environ;

namespace svfsplit::test {

namespace {

std::string drain(int fd) {
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return text;
}

void limit(int resource, std::uint64_t bytes) {
  if (bytes == 0)
    return;
  const rlimit value{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
  ::setrlimit(resource, &value);
}

// Longer than any run of the tests takes, under the sanitizers too.
constexpr auto kLongestRun = std::chrono::seconds(90);

const passwd* nobody() {
  return ::getpwnam("nobody");
}

}  // namespace

bool running_as_root() {
  return ::geteuid() == 0;
}

bool can_run_unprivileged() {
  return !running_as_root() || nobody() != nullptr;
}

ProgramRun run_program(const fs::path& dir, const std::vector<std::string>& args, const ProgramOptions& options) {
  using Stdout = ProgramOptions::Stdout;
  int out[2];
  int err[2];
  if (::pipe(out) != 0)
    return {};
  if (options.stderr_terminal ? ::openpty(&err[0], &err[1], nullptr, nullptr, nullptr) != 0 : ::pipe(err) != 0)
    return {};
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
  for (const auto& [name, value] : options.environment) env_strings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> arg_strings(args);
  std::string binary = options.binary;
#if defined(SVFSPLIT_EMULATOR)
  // "qemu-arm -L /usr/arm-linux-gnueabi -0 ARGV0 BINARY ARGS...": the
  // program runs under the emulator, and sees the name it was given.
  std::vector<std::string> emulated;
  std::istringstream words(SVFSPLIT_EMULATOR);
  for (std::string word; words >> word;) emulated.push_back(word);
  binary = emulated.front();
  emulated.insert(emulated.end(), {"-0", args.empty() ? options.binary : args.front(), options.binary});
  emulated.insert(emulated.end(), args.begin() + (args.empty() ? 0 : 1), args.end());
  arg_strings = emulated;
#endif
  std::vector<char*> argv;
  for (auto& a : arg_strings) argv.push_back(a.data());
  argv.push_back(nullptr);
  const passwd* user = options.as_unprivileged && running_as_root() ? nobody() : nullptr;
  const uid_t uid = user != nullptr ? user->pw_uid : 0;
  const gid_t gid = user != nullptr ? user->pw_gid : 0;

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(out[0]);
    ::close(err[0]);
    if (options.stderr_closed)
      ::close(2);
    else
      ::dup2(err[1], 2);
    switch (options.stdout_kind) {
      case Stdout::kPipe:
        ::dup2(out[1], 1);
        break;
      case Stdout::kFull:
        ::dup2(::open("/dev/full", O_WRONLY), 1);
        break;
      case Stdout::kClosedPipe: {
        int closed[2];
        if (::pipe(closed) != 0)
          ::_exit(127);
        ::close(closed[0]);
        ::dup2(closed[1], 1);
        break;
      }
      case Stdout::kClosed:
        ::close(1);
        break;
      case Stdout::kFilledPipe: {
        // A pipe that nobody reads, full; its reading end stays open, so
        // that writing to it blocks.
        int filled[2];
        if (::pipe(filled) != 0)
          ::_exit(127);
        const auto size = static_cast<std::size_t>(::fcntl(filled[1], F_GETPIPE_SZ));
        const std::string fill(size, 'x');
        if (::write(filled[1], fill.data(), fill.size()) != static_cast<ssize_t>(fill.size()))
          ::_exit(127);
        ::dup2(filled[1], 1);
        break;
      }
    }
    if (options.stdin_closed)
      ::close(0);
    if (::chdir(dir.c_str()) != 0)
      ::_exit(127);
    limit(RLIMIT_FSIZE, options.file_size_limit);
    limit(RLIMIT_AS, options.memory_limit);
    // The stop signals as a shell leaves them, whatever the tests were
    // started with (nohup, a background job, a CI agent): a run must end
    // when it is told to.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) ::signal(sig, SIG_DFL);
    if (options.ignored_signal != 0)
      ::signal(options.ignored_signal, SIG_IGN);
    if (options.umask >= 0)
      ::umask(static_cast<mode_t>(options.umask));
    if (user != nullptr && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
      ::_exit(126);
    if (options.own_user_namespace && ::unshare(CLONE_NEWUSER) != 0)
      ::_exit(126);
    ::execve(binary.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);

  // The watchdog: sends the signal asked for, and kills a run that ignores
  // it or goes on for too long (it would hang the test). The child is
  // marked ended before it is reaped, so that no process that takes its
  // number next is signalled.
  std::mutex mutex;
  std::condition_variable changed;
  bool ended = false;
  const auto ended_by = [&](std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(mutex);
    return changed.wait_until(lock, until, [&] { return ended; });
  };
  const auto signal_child = [&](int sig) {
    const std::lock_guard lock(mutex);
    if (!ended)
      ::kill(pid, sig);
  };
  std::thread watchdog([&] {
    using namespace std::chrono;
    const auto start = steady_clock::now();
    if (options.signal != 0) {
      ended_by(start + options.delay);
      while (options.signal_when && !options.signal_when() && steady_clock::now() < start + seconds(20) &&
             !ended_by(steady_clock::now() + milliseconds(1))) {
      }
      signal_child(options.signal);
      if (!ended_by(steady_clock::now() + seconds(10)))
        signal_child(SIGKILL);
    }
    if (!ended_by(start + kLongestRun))
      signal_child(SIGKILL);
  });
  ProgramRun result;
  std::thread err_reader([&] { result.err = drain(err[0]); });
  result.out = drain(out[0]);
  result.out_bytes = result.out;
  err_reader.join();
  siginfo_t info{};
  ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  {
    const std::lock_guard lock(mutex);
    ended = true;
  }
  changed.notify_all();
  watchdog.join();
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status))
    result.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    result.signal = WTERMSIG(status);
  return result;
}

}  // namespace svfsplit::test
