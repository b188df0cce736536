// svfsplit: the command line, its messages and the exit status.
#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "cli/driver.hpp"
#include "convert/kernels/kernels.hpp"
#include "platform/platform.hpp"
#include "svfsplit_version.h"  // made at build time

namespace {

namespace platform = svfsplit::platform;
using platform::Stream;

// Exit statuses.
constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;
constexpr int kUnsplit = 3;

// Why a line could not be written to standard output, the first time; 0
// while every line could.
platform::Error g_stdout_error = 0;

void say(const std::string& line) {
  if (const platform::Error error = platform::print(Stream::kOut, line + "\n"); g_stdout_error == 0)
    g_stdout_error = error;
}

// "--help" and "-h" everywhere; "/?" and "-?" too where Windows users
// type them (no file can be named so there).
bool asks_for_help(const std::string& arg) {
  constexpr bool kWindows = platform::kNativePathStyle == platform::PathStyle::kWindows;
  return arg == "--help" || arg == "-h" || (kWindows && (arg == "/?" || arg == "-?"));
}

// A line on standard error for each problem, after the fixed line on
// standard output.
void complain(const std::vector<std::string>& problems) {
  for (const std::string& problem : problems) (void)platform::print(Stream::kError, "svfsplit: " + problem + "\n");
}

// Ends a run that was asked to stop, as the request would have ended it,
// leaving no temporary file behind.
[[noreturn]] void stop_run(svfsplit::FileConversion& files) {
  files.discard();
  complain(files.problems());
  platform::end_by_stop_request();
}

int convert(const std::string& input_name) {
  using svfsplit::FileConversion;
  // The version of the kernels to use, as tests ask for each in turn.
  const auto kernels = platform::environment("SVFSPLIT_KERNEL");
  if (const std::string problem = kernels ? svfsplit::use_kernel_version(*kernels) : ""; !problem.empty()) {
    complain({"SVFSPLIT_KERNEL=" + *kernels + ": " + problem});
    return kUsage;
  }
  // Named after the file the name opens: "LONGFI~1.SVF" replaces
  // longfilename.gvf on Windows, not a new LONGFI~1.gvf.
  const std::string meant = platform::meant_name(input_name);
  const std::string output_name = svfsplit::derive_output_name(meant);

  FileConversion files;
  // A failure's fixed line, then the problems behind it, once what the run
  // left is removed.
  const auto fail = [&](const std::string& line) {
    files.discard();
    say(line);
    complain(files.problems());
    return kFailure;
  };
  const auto opened = files.open(input_name, output_name);
  if (platform::stop_requested())
    stop_run(files);
  if (opened == FileConversion::Opened::kSameFile)
    return fail("Could not write " + svfsplit::shown_name(output_name) + ": it is the input file");
  if (opened == FileConversion::Opened::kCannotOpen)
    return fail("Could not open file");

  say("Processing SDR command...");
  // A last component of several dots is cut at the first: said, so that a
  // batch over design_v1.2.svf and design_v1.3.svf shows that both write
  // design_v1.gvf.
  if (meant.find('.', output_name.size() - 3) != std::string::npos)
    complain({svfsplit::quoted_name(input_name) + " is written to " + svfsplit::quoted_name(output_name) +
              ", its name up to the first dot"});
  const auto [report, read_error, write_error] = files.run();
  if (platform::stop_requested())
    stop_run(files);
  if (read_error != 0)
    return fail("Could not read " + svfsplit::shown_name(input_name) + ": " + platform::error_text(read_error));
  if (write_error != 0)
    return fail("Could not write " + svfsplit::shown_name(output_name) + ": " + platform::error_text(write_error));
  // Converted, the output in place: a stop ends the run at once from now
  // on, even one that comes while a line waits on a full pipe.
  platform::stop_at_once();
  if (report.not_8bit_text)
    say("Warning: the input is not 8-bit text (UTF-16, or NUL bytes): SDR commands in it are not recognised");
  // The commands copied unsplit: the first ones by line, the rest counted.
  const auto listed = std::min<std::uint64_t>(report.unsplit_count, svfsplit::kReportedUnsplit);
  for (std::uint64_t i = 0; i < listed; ++i) {
    say("Warning: line " + std::to_string(report.unsplit[i].line) + ": SDR of " +
        std::to_string(report.unsplit[i].bits) + " bits copied unsplit");
  }
  if (report.unsplit_count > listed)
    say("Warning: " + std::to_string(report.unsplit_count - listed) + " more SDR commands copied unsplit");
  say("\nConversion successfully completed!!!");
  return report.unsplit_count > 0 || report.not_8bit_text ? kUnsplit : kSuccess;
}

int run(const std::vector<std::string>& args) {
  platform::prepare_process();
  const std::string usage = "Usage: " + (args.empty() ? "svfsplit" : args[0]) + " original_filename (e.g.: file.svf)";
  int status = kUsage;
  if (args.size() == 2 && asks_for_help(args[1])) {
    say(usage);
    say("Writes a copy of an SVF file, ending in gvf, with every SDR command of more than 256 bits split into "
        "segments of at most 256 bits.");
    status = kSuccess;
  } else if (args.size() == 2 && args[1] == "--version") {
    say("svfsplit " SVFSPLIT_VERSION);
    status = kSuccess;
  } else if (args.size() == 2) {
    platform::catch_stop_requests();
    try {
      status = convert(args[1]);
    } catch (const std::exception& e) {
      // Only a string of a message can throw here (out of memory); the
      // files have been cleaned up on the way out.
      complain({e.what()});
      status = kFailure;
    }
  } else {
    say(usage);
  }
  // Standard output that cannot be written is a failure too, said where
  // it can be: a full disk or a closed pipe would leave no trace otherwise.
  if (g_stdout_error != 0)
    complain({"cannot write standard output: " + platform::error_text(g_stdout_error)});
  if (g_stdout_error != 0 && (status == kSuccess || status == kUnsplit))
    status = kFailure;
  platform::hold_own_console();
  return status;
}

}  // namespace

#if defined(_WIN32)
// Unicode arguments: any name, whatever the code page.
extern "C" int wmain(int argc, wchar_t** argv) {
  return run(platform::utf8_arguments(argc, argv));
}
#else
int main(int argc, char** argv) {
  return run(std::vector<std::string>(argv, argv + argc));
}
#endif
