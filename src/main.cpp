// svfsplit: the command line, its messages and the exit status.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "driver.hpp"

namespace {

constexpr const char* kVersion = "1.0.0";

// Exit statuses.
constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;
constexpr int kUnsplit = 3;

volatile std::sig_atomic_t g_signal = 0;

extern "C" void on_signal(int sig) {
  g_signal = sig;
  svfsplit::request_stop();
}

void catch_signals() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP})
    sigaction(sig, &action, nullptr);
  // A file-size limit must show as a failed write, not end the process.
  std::signal(SIGXFSZ, SIG_IGN);
}

// Ends the process by the signal that interrupted it, as a caller expects.
[[noreturn]] void die_of_signal(int sig) {
  std::fflush(stdout);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
  std::_Exit(128 + sig);
}

void print_warnings(const svfsplit::ConvertReport& report) {
  const auto listed = std::min<std::uint64_t>(report.unsplit_count, svfsplit::kReportedUnsplit);
  for (std::uint64_t i = 0; i < listed; ++i) {
    std::printf("Warning: line %llu: SDR of %lu bits copied unsplit\n",
                static_cast<unsigned long long>(report.unsplit[i].line),
                static_cast<unsigned long>(report.unsplit[i].bits));
  }
  if (report.unsplit_count > listed) {
    std::printf("Warning: %llu more SDR commands copied unsplit\n",
                static_cast<unsigned long long>(report.unsplit_count - listed));
  }
}

int convert(const std::string& input_name) {
  using svfsplit::FileConversion;
  const std::string output_name = svfsplit::derive_output_name(input_name);
  catch_signals();

  FileConversion files;
  switch (files.open(input_name, output_name)) {
    case FileConversion::Opened::kOk:
      break;
    case FileConversion::Opened::kCannotOpen:
      std::printf("Could not open file\n");
      return kFailure;
    case FileConversion::Opened::kSameFile:
      std::printf("Could not write %s: it is the input file\n", output_name.c_str());
      return kFailure;
  }

  std::printf("Processing SDR command...\n");
  std::fflush(stdout);
  const auto result = files.run();
  if (g_signal != 0) {
    files.discard();
    die_of_signal(g_signal);
  }
  if (result.read_error != 0) {
    files.discard();
    std::printf("Could not read %s: %s\n", input_name.c_str(), std::strerror(result.read_error));
    return kFailure;
  }
  if (result.write_error != 0) {
    files.discard();
    std::printf("Could not write %s: %s\n", output_name.c_str(), std::strerror(result.write_error));
    return kFailure;
  }
  print_warnings(result.report);
  std::printf("\nConversion successfully completed!!!\n");
  return result.report.unsplit_count > 0 ? kUnsplit : kSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  const char* program = argc > 0 ? argv[0] : "svfsplit";
  int status = kUsage;
  if (argc == 2 && std::string_view(argv[1]) == "--help") {
    std::printf("Usage: %s original_filename (e.g.: file.svf)\n", program);
    std::printf("Writes a copy of an SVF file, ending in gvf, with every SDR command of more than 256 bits split into "
                "segments of at most 256 bits.\n");
    status = kSuccess;
  } else if (argc == 2 && std::string_view(argv[1]) == "--version") {
    std::printf("svfsplit %s\n", kVersion);
    status = kSuccess;
  } else if (argc == 2) {
    status = convert(argv[1]);
  } else {
    std::printf("Usage: %s original_filename (e.g.: file.svf)\n", program);
  }
  // Standard output that cannot be written is a failure too.
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    status = status == kSuccess || status == kUnsplit ? kFailure : status;
  return status;
}
