// A plain, slow statement of the conversion's rules over a whole string,
// written independently of the converter (no windows, no search notes, no
// backward reads), to compare the converter against.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace svfsplit::test {

struct ReferenceResult {
  std::string output;
  std::uint64_t unsplit = 0;
};

ReferenceResult reference_convert(std::string_view in);

}  // namespace svfsplit::test
