// libFuzzer target over the whole conversion, on input held in memory.
// Besides crashes, leaks and undefined behaviour, it checks that reading
// through a window of a few bytes (so that every window edge is crossed,
// and every command is located through the search notes) or of some
// hundred bytes (so that some commands are located in one pass over the
// window and some not, and unchanged text is lent from the windows to a
// writing thread), and writing through a tiny buffer, give exactly
// the bytes of a normal run, as every version of the kernels does through
// each of those windows and one that holds the whole input, and
// that all agree with the plain statement of the rules in the tests.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "convert/kernels/kernels.hpp"
#include "helpers.hpp"
#include "reference.hpp"

namespace {

// Lengths of millions of bits are handled like short ones, only slower,
// and would drown the fuzzer in output: leave them out (the digits after
// "SDR" and a separator; a field's digits are no length).
bool declares_huge_length(std::string_view text) {
  for (auto at = text.find("SDR"); at != std::string_view::npos; at = text.find("SDR", at + 1)) {
    std::uint64_t value = 0;
    for (auto i = at + 4; i < text.size() && text[i] >= '0' && text[i] <= '9' && value <= 100000; ++i)
      value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    if (value > 100000)
      return true;
  }
  return false;
}

bool same_report(const svfsplit::ConvertReport& a, const svfsplit::ConvertReport& b) {
  if (a.unsplit_count != b.unsplit_count)
    return false;
  for (std::size_t i = 0; i < svfsplit::kReportedUnsplit; ++i) {
    if (a.unsplit[i].line != b.unsplit[i].line || a.unsplit[i].bits != b.unsplit[i].bits ||
        a.unsplit[i].offset != b.unsplit[i].offset)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (declares_huge_length(text))
    return 0;
  const auto normal = svfsplit::test::convert_text(text);
  const std::size_t window = size == 0 ? 1 : 1 + data[size / 2] % 5;
  const auto tiny = svfsplit::test::convert_text(text, window, 3);
  if (normal.output != tiny.output || !same_report(normal.report, tiny.report))
    std::abort();
  const std::size_t some_window = size == 0 ? 64 : 64 + data[0] % 512;
  const auto some = svfsplit::test::convert_text(text, some_window, svfsplit::Output::kDefaultBuffer, true);
  if (normal.output != some.output || !same_report(normal.report, some.report))
    std::abort();
  // Every version of the kernels the processor runs, the one in use last,
  // through windows of a few bytes, of blocks, and of the whole input.
  for (const svfsplit::KernelVersion* version : svfsplit::test::runnable_kernel_versions()) {
    svfsplit::use_kernel_version(version->name);  // found by that name: runs here
    for (const std::size_t w : {window, some_window, svfsplit::Input::kDefaultWindow}) {
      if (svfsplit::test::convert_text(text, w).output != normal.output)
        std::abort();
    }
  }
  const auto expected = svfsplit::test::reference_convert(text);
  if (normal.output != expected.output || normal.report.unsplit_count != expected.unsplit)
    std::abort();
  return 0;
}
