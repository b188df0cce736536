// Running the conversion on text in memory.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "convert/convert.hpp"

namespace svfsplit::test {

struct Converted {
  std::string output;
  ConvertReport report;
  std::uint64_t bytes_read = 0;
};

// With `lend`, unchanged text is lent from the input's windows to a
// second thread that writes it, as a run on files does.
inline Converted convert_text(std::string_view text, std::size_t window = Input::kDefaultWindow,
                              std::size_t buffer = Output::kDefaultBuffer, bool lend = false) {
  Converted result;
  const Source source = Source::memory({reinterpret_cast<const unsigned char*>(text.data()), text.size()});
  Input in(source, window);
  Output out(result.output, buffer, lend ? Output::Writer::kSecondThread : Output::Writer::kThisThread);
  if (lend)
    in.lend_windows(3);
  result.report = convert_stream(in, out);
  out.flush();
  result.bytes_read = source.bytes_read();
  return result;
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
