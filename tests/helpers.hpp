// Running the conversion on text in memory.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "convert/convert.hpp"
#include "convert/kernels/kernels.hpp"

namespace svfsplit::test {

// Every version of the kernels that this processor runs, the portable one
// first.
inline std::vector<const KernelVersion*> runnable_kernel_versions() {
  std::vector<const KernelVersion*> versions;
  for (const KernelVersion* version : kernel_versions()) {
    if (version->runs_here())
      versions.push_back(version);
  }
  return versions;
}

struct Converted {
  std::string output;
  ConvertReport report;
  std::uint64_t bytes_searched = 0;  // by the kernels, to locate the fields of long commands
  std::uint64_t searches = 0;        // for a byte of a set, rather than for a field's end with its digits
};

// While it lives, the version of the kernels in use counts into `into`
// how often it is asked for a byte of a set, and how many bytes its
// searches look at, up to the one each finds.
struct KernelCounts {
  static inline const KernelVersion* real = nullptr;
  static inline Converted* into = nullptr;
  KernelVersion counting = *g_kernels_in_use;

  explicit KernelCounts(Converted& result) {
    real = g_kernels_in_use;
    into = &result;
    counting.find_first_of = [](const unsigned char* p, std::size_t n, ByteSet set) {
      return seen(p, n, (++into->searches, real->find_first_of(p, n, set)));
    };
    counting.gather_digits = [](const unsigned char* p, std::size_t n, char*& out, const char* limit, bool& over) {
      return seen(p, n, real->gather_digits(p, n, out, limit, over));
    };
    g_kernels_in_use = &counting;
  }
  ~KernelCounts() { g_kernels_in_use = real; }
  static const unsigned char* seen(const unsigned char* p, std::size_t n, const unsigned char* hit) {
    into->bytes_searched += hit == nullptr ? n : static_cast<std::size_t>(hit - p) + 1;
    return hit;
  }
};

// With `lend`, unchanged text is lent from the input's windows to a
// second thread that writes it, as a run on files does.
inline Converted convert(const Source& source, std::size_t window = Input::kDefaultWindow,
                         std::size_t buffer = Output::kDefaultBuffer, bool lend = false) {
  Converted result;
  Input in(source, window);
  Output out(result.output, buffer, lend ? Output::Writer::kSecondThread : Output::Writer::kThisThread);
  if (lend)
    in.lend_windows(3);
  const KernelCounts counts(result);
  result.report = convert_stream(in, out);
  out.flush();
  return result;
}

inline Converted convert_text(std::string_view text, std::size_t window = Input::kDefaultWindow,
                              std::size_t buffer = Output::kDefaultBuffer, bool lend = false) {
  return convert(Source::memory({reinterpret_cast<const unsigned char*>(text.data()), text.size()}), window, buffer,
                 lend);
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Window sizes that put window edges everywhere in short inputs.
inline constexpr std::size_t kWindows[] = {1, 2, 3, 5, 8, 13, 64, 65, 4096, Input::kDefaultWindow};

// `n` hex digits, varied so that a misplaced digit shows.
inline std::string hex_digits(std::size_t n, unsigned seed = 0) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += kHex[(i * 7 + seed * 3 + i / 16) % 16];
  return s;
}

}  // namespace svfsplit::test
