// libFuzzer target over the whole conversion, on input held in memory.
// Besides crashes, leaks and undefined behaviour, it checks that reading
// through a window of a few bytes (so that every window edge is crossed,
// and every command is located through the search notes) or of some
// hundred bytes (so that some commands are located in one pass over the
// window and some not, and unchanged text is lent from the windows to a
// writing thread), and writing through a tiny buffer, give exactly
// the bytes of a normal run, as every version of the kernels does, and
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
// and would drown the fuzzer in output: leave them out.
bool declares_huge_length(std::string_view text) {
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
      if (value > 100000)
        return true;
    } else {
      value = 0;
    }
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
  const auto some =
      svfsplit::test::convert_text(text, size == 0 ? 64 : 64 + data[0] % 512, svfsplit::Output::kDefaultBuffer, true);
  if (normal.output != some.output || !same_report(normal.report, some.report))
    std::abort();
  // Every version of the kernels the processor runs, the one in use last.
  for (const svfsplit::KernelVersion* version : svfsplit::test::kernel_versions()) {
    if (version->runs_here() && (!svfsplit::use_kernel_version(version->name).empty() ||
                                 svfsplit::test::convert_text(text, window).output != normal.output))
      std::abort();
  }
  const auto expected = svfsplit::test::reference_convert(text);
  if (normal.output != expected.output || normal.report.unsplit_count != expected.unsplit)
    std::abort();
  return 0;
}
