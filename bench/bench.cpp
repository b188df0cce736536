// Benchmark: converts generated vendor-style files, and copies them with
// dd (bs=1M: two copies through user space, as any filter makes) and with
// cat (which copies inside the kernel), alternately; prints the median
// times, the medians of the ratios run by run (so that a slow moment of the
// machine weighs on one pair only), and the converter's peak resident
// memory, once replacing the outputs of the run before and once with new
// files. Replacing, it also compares with dd conv=fdatasync, since a file
// that replaces another is synced before the rename. Where valgrind is
// installed, it then counts with callgrind the converter's own instructions
// per input byte: all it runs but the C library's memory copies (which
// callgrind counts a byte at a time) and the dynamic loader's start-up.
// That figure does not move with the load of the machine.
//
// Given another build with --against, it runs that one too in every pair,
// right after the first, and prints the median of their ratios: on a
// virtual machine the ratio to dd drifts from one hour to the next, the
// ratio between two builds timed in the same pairs does not.
//
//   svfsplit_bench PATH/TO/svfsplit WORK_FOLDER [RUNS] [--against PATH/TO/other/svfsplit]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Writes hex digits wrapped at `width` columns, continuation lines
// starting with `indent`.
class Writer {
 public:
  explicit Writer(const fs::path& path) : out_(path, std::ios::binary) {}

  void text(const std::string& s) {
    out_ << s;
    size_ += s.size();
  }

  void hex(std::size_t digits, std::size_t width, const std::string& eol, const std::string& indent) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string line;
    for (std::size_t i = 0; i < digits; ++i) {
      if (i > 0 && i % width == 0) {
        text(line + eol + indent);
        line.clear();
      }
      line += kHex[rng_() & 15];
    }
    text(line);
  }

  std::size_t size() const { return size_; }

 private:
  std::ofstream out_;
  std::size_t size_ = 0;
  std::mt19937 rng_{2026};
};

// Long commands with TDI, TDO and MASK until `bytes` are written.
void generate(const fs::path& path, std::size_t bytes, std::uint32_t bits, std::size_t width, const std::string& eol,
              const std::string& indent) {
  Writer w(path);
  w.text("! generated benchmark input" + eol + "TRST OFF;" + eol + "ENDDR IDLE;" + eol);
  const std::size_t digits = (bits + 3) / 4;
  while (w.size() < bytes) {
    w.text("SIR 10 TDI (3A1);" + eol + "SDR 32 TDI (00000000) TDO (12345678) MASK (FFFFFFFF);" + eol);
    w.text("SDR " + std::to_string(bits) + " TDI (");
    w.hex(digits, width, eol, indent);
    w.text(")" + eol + indent + "TDO (");
    w.hex(digits, width, eol, indent);
    w.text(")" + eol + indent + "MASK (");
    w.hex(digits, width, eol, indent);
    w.text(");" + eol + "RUNTEST 100 TCK;" + eol);
  }
}

// B's file with every "SDR" at a line start made "SDX": nothing is split,
// and the converter only copies.
void generate_text_only(const fs::path& from, const fs::path& path) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (std::size_t at = text.find("\nSDR"); at != std::string::npos; at = text.find("\nSDR", at + 1))
    text[at + 3] = 'X';
  out << text;
}

struct Sample {
  double seconds = 0;
  long peak_kib = 0;
  int status = 0;
};

// Runs argv with standard output sent to `stdout_path`. Dirty pages of
// the previous run are written back first, so that no run pays for another.
Sample run(const std::vector<std::string>& args, const std::string& stdout_path) {
  sync();
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Sample s;
  s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  s.peak_kib = usage.ru_maxrss;
  s.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return s;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Result {
  double convert_seconds = 0;
  double dd_seconds = 0;
  double cat_seconds = 0;
  double to_dd = 0;  // median of the ratios, pair by pair
  double to_cat = 0;
  // Replacing: against dd conv=fdatasync, which waits for the disk too.
  double to_dd_synced = 0;
  double to_other = 0;  // to the build given with --against
  long peak_kib = 0;
};

// With `fresh`, every target is removed before its run (a first
// conversion); without, each run overwrites the file of the run before
// (svfsplit renames a new file over it, dd and the shell truncate theirs).
Result measure(const std::string& svfsplit, const std::string& other, const fs::path& input, int runs, bool fresh) {
  std::vector<double> converts, dds, cats, to_dd, to_cat, to_dd_synced, to_other;
  long peak = 0;
  const fs::path output = fs::path(input).replace_extension(".gvf");
  const fs::path dd_copy = fs::path(input).replace_extension(".dd");
  const fs::path cat_copy = fs::path(input).replace_extension(".cat");
  for (int i = 0; i < runs; ++i) {
    // A new target is removed just before the run that makes it, so that
    // each program meets the same conditions: the freeing of the file
    // removed is written back before its run (see run()), not during it.
    const auto convert = [&](const std::string& program) {
      if (fresh)
        fs::remove(output);
      const Sample c = run({program, input.string()}, "/dev/null");
      if (c.status != 0) {
        std::fprintf(stderr, "%s failed on %s with status %d\n", program.c_str(), input.c_str(), c.status);
        std::exit(1);
      }
      return c;
    };
    const Sample c = convert(svfsplit);
    converts.push_back(c.seconds);
    if (!other.empty())
      to_other.push_back(c.seconds / convert(other).seconds);
    peak = std::max(peak, c.peak_kib);
    if (fresh)
      fs::remove(dd_copy);
    dds.push_back(
        run({"dd", "if=" + input.string(), "of=" + dd_copy.string(), "bs=1M", "status=none"}, "/dev/null").seconds);
    if (fresh)
      fs::remove(cat_copy);
    cats.push_back(run({"cat", input.string()}, cat_copy.string()).seconds);
    to_dd.push_back(c.seconds / dds.back());
    to_cat.push_back(c.seconds / cats.back());
    if (!fresh) {
      // svfsplit syncs a file that replaces another before the rename.
      const Sample synced =
          run({"dd", "if=" + input.string(), "of=" + dd_copy.string(), "bs=1M", "conv=fdatasync", "status=none"},
              "/dev/null");
      to_dd_synced.push_back(c.seconds / synced.seconds);
    }
  }
  fs::remove(output);
  fs::remove(dd_copy);
  fs::remove(cat_copy);
  return {median(converts),
          median(dds),
          median(cats),
          median(to_dd),
          median(to_cat),
          fresh ? 0 : median(to_dd_synced),
          other.empty() ? 0 : median(to_other),
          peak};
}

}  // namespace

// Runs a command and gives what it printed, or "" when it could not run.
std::string output_of(const std::string& command) {
  std::string text;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    std::array<char, 4096> buf;
    for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0;) text.append(buf.data(), n);
    if (pclose(pipe) != 0)
      return "";
  }
  return text;
}

// The converter's own instructions per byte of `input`, counted by
// callgrind; negative when valgrind cannot count them.
double own_instructions_per_byte(const std::string& svfsplit, const fs::path& input, const fs::path& work) {
  const fs::path counts = work / "callgrind.out";
  const std::string quiet = " >/dev/null 2>&1";
  if (output_of("valgrind --tool=callgrind --callgrind-out-file=" + counts.string() + " " + svfsplit + " " +
                input.string() + quiet + " && echo ok") != "ok\n")
    return -1;
  fs::remove(fs::path(input).replace_extension(".gvf"));
  // One line per function: "1,234,567 (12.34%)  file:function [object]".
  std::istringstream lines(output_of("callgrind_annotate --auto=no --threshold=100 " + counts.string()));
  fs::remove(counts);
  const std::regex row(R"(^\s*([0-9,]+) \(.*%\)\s+(.*)$)");
  const std::regex not_own(R"(mem(cpy|move|set)|ld-linux)");
  double total = -1;
  double excluded = 0;
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, row))
      continue;
    std::string digits = m[1];
    digits.erase(std::remove(digits.begin(), digits.end(), ','), digits.end());
    const double count = std::stod(digits);
    if (m[2].str().find("PROGRAM TOTALS") != std::string::npos)
      total = count;
    else if (std::regex_search(m[2].str(), not_own))
      excluded += count;
  }
  return total < 0 ? -1 : (total - excluded) / static_cast<double>(fs::file_size(input));
}

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string other;
  if (const auto at = std::find(args.begin(), args.end(), "--against"); at != args.end() && at + 1 != args.end()) {
    other = fs::absolute(at[1]).string();
    args.erase(at, at + 2);
  }
  if (args.size() < 2) {
    std::fprintf(stderr, "usage: %s PATH/TO/svfsplit WORK_FOLDER [RUNS] [--against PATH/TO/other/svfsplit]\n", argv[0]);
    return 2;
  }
  const std::string svfsplit = fs::absolute(args[0]).string();
  const fs::path work = args[1];
  const int runs = args.size() > 2 ? std::max(1, std::atoi(args[2].c_str())) : 5;
  fs::create_directories(work);

  struct Input {
    const char* name;
    const char* what;
    std::size_t bytes;
    std::uint32_t bits;
    std::size_t width;
    const char* eol;
    const char* indent;
  };
  const Input inputs[] = {
      {"A", "1,048,576-bit SDRs, wrapped at 128, CR LF", 200u << 20, 1048576, 128, "\r\n", ""},
      {"B", "2,080-bit SDRs, LF, tab-indented", 100u << 20, 2080, 64, "\n", "\t"},
      {"C", "input A's kind cut to 20 MB", 20u << 20, 1048576, 128, "\r\n", ""},
      {"T", "input B with nothing to split (SDR made SDX)", 0, 0, 0, "", ""},
  };
  std::printf("%-3s %-44s %-9s %7s %10s %7s %7s %8s %6s %6s %8s %9s %7s\n", "in", "what", "targets", "MB", "svfsplit s",
              "dd s", "cat s", "svf MB/s", "/dd", "/cat", "/dd+sync", "peak KiB", "/other");
  for (const auto& in : inputs) {
    const fs::path path = work / (std::string(in.name) + ".svf");
    if (!fs::exists(path) && in.bits == 0)
      generate_text_only(work / "B.svf", path);
    else if (!fs::exists(path))
      generate(path, in.bytes, in.bits, in.width, in.eol, in.indent);
    const double mb = static_cast<double>(fs::file_size(path)) / 1e6;
    for (const bool fresh : {false, true}) {
      const Result r = measure(svfsplit, other, path, runs, fresh);
      const std::string synced = fresh ? "-" : std::to_string(r.to_dd_synced).substr(0, 4);
      const std::string to_other = other.empty() ? "-" : std::to_string(r.to_other).substr(0, 5);
      std::printf("%-3s %-44s %-9s %7.1f %10.3f %7.3f %7.3f %8.0f %6.2f %6.2f %8s %9ld %7s\n", in.name, in.what,
                  fresh ? "new" : "existing", mb, r.convert_seconds, r.dd_seconds, r.cat_seconds,
                  mb / r.convert_seconds, r.to_dd, r.to_cat, synced.c_str(), r.peak_kib, to_other.c_str());
      std::fflush(stdout);
    }
  }
  std::printf("\nown instructions per input byte (callgrind, without memcpy, memmove, memset and start-up):\n");
  for (const auto& in : inputs) {
    const double per_byte = own_instructions_per_byte(svfsplit, work / (std::string(in.name) + ".svf"), work);
    if (per_byte < 0) {
      std::printf("valgrind not found, or it failed: not counted\n");
      break;
    }
    if (other.empty()) {
      std::printf("%-3s %-44s %6.3f\n", in.name, in.what, per_byte);
    } else {
      const double others = own_instructions_per_byte(other, work / (std::string(in.name) + ".svf"), work);
      std::printf("%-3s %-44s %6.3f (the other build: %.3f)\n", in.name, in.what, per_byte, others);
    }
    std::fflush(stdout);
  }
  return 0;
}
