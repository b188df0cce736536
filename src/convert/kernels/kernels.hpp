// The byte kernels under the copy loop, the field searches and the
// segment lines, each written once (generic.hpp) over a block type and
// built for each instruction set: portable C++, SSE2, AVX2 and NEON.
//
// Words used here and by the callers, one for each idea:
//   block  64 bytes loaded, compared and stored at once; a comparison
//          gives a mask, bit i for the block's byte i.
//   stop   a byte that ends a field's digits: its ')', or a '(' or ';'
//          out of place.
//   blank  white space inside hex data, not data: ' ' and '\t' to '\r'.
//   digit  any other byte of a field (not checked to be hex).
//   special  a byte at most ')', or a ';' (the highest blank or stop but
//          one, and the highest): every blank and every stop is one, and
//          so are a few digits; a block without any is all digits.
//   room   where a field's digits are gathered, up to a limit; digits
//          that do not fit overflow it and are not kept.
//   slice  the 64 digits of one field on a full segment line.
//   row    a field's digits between two gaps; its width is their count.
//   gap    the one or two blanks that end a row (a line end, an indent).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace svfsplit {

// The stops and the blanks, defined here only: the kinds of bytes, the set
// of stops and the special bytes of the kernels are derived from them.
inline constexpr std::string_view kStopBytes = ")(;";
inline constexpr std::string_view kBlankBytes = " \t\n\v\f\r";

// What a byte is inside a field.
enum Kind : unsigned char { kDigit, kBlank, kStop };

// Looked up rather than compared: a lookup costs the gathering 2 of its
// instructions per block fewer.
inline constexpr std::array<Kind, 256> kKinds = [] {
  std::array<Kind, 256> kinds;
  kinds.fill(kDigit);
  for (const unsigned char b : kBlankBytes) kinds[b] = kBlank;
  for (const unsigned char b : kStopBytes) kinds[b] = kStop;
  return kinds;
}();

constexpr bool is_blank(unsigned char b) {
  return kKinds[b] == kBlank;
}

// One to three bytes searched for together, a byte repeated to fill three.
struct ByteSet {
  std::array<unsigned char, 3> bytes{};

  constexpr explicit ByteSet(std::string_view s) {
    for (std::size_t i = 0; i < 3; ++i) bytes[i] = static_cast<unsigned char>(s[std::min(i, s.size() - 1)]);
  }
  constexpr bool holds(unsigned char x) const { return x == bytes[0] || x == bytes[1] || x == bytes[2]; }
};

inline constexpr ByteSet kStops(kStopBytes);

// The fixed text of a full segment line: texts[0], then each slice and the
// text after it, `slices` (1 to 3) of them. Each text is at most 16 bytes,
// held in 16 so that it can be stored in one go: at the start of them,
// but the last one at their end, so that it can be stored ending where
// the line does.
struct LineFrame {
  static constexpr std::size_t kDigits = 64;  // of each slice

  int slices = 1;
  std::array<std::array<char, 16>, 4> texts{};
  std::array<std::uint8_t, 4> sizes{};

  template <std::size_t kTexts>
  constexpr explicit LineFrame(const std::array<std::string_view, kTexts>& pieces) : slices(kTexts - 1) {
    static_assert(kTexts >= 2 && kTexts <= 4);
    for (std::size_t i = 0; i < kTexts; ++i) {
      std::copy(pieces[i].begin(), pieces[i].end(),
                i + 1 < kTexts ? texts[i].begin() : texts[i].end() - pieces[i].size());
      sizes[i] = static_cast<std::uint8_t>(pieces[i].size());
    }
  }
  constexpr std::size_t line_size() const {
    std::size_t size = kDigits * static_cast<std::size_t>(slices);
    for (int i = 0; i <= slices; ++i) size += sizes[static_cast<std::size_t>(i)];
    return size;
  }
};

// One build of the kernels.
struct KernelVersion {
  const char* name;
  bool (*runs_here)();

  // The first byte of `set` in [p, p + n), or nullptr.
  const unsigned char* (*find_first_of)(const unsigned char* p, std::size_t n, ByteSet set);

  // The start of the first line in [p, end) that the copy loop examines:
  // the byte after a line feed that "SDR" follows, or that fewer than three
  // bytes follow before `end` (what comes next is not known yet); nullptr
  // when there is none.
  const unsigned char* (*find_line_to_examine)(const unsigned char* p, const unsigned char* end);

  // find_first_of(p, n, kStops) that also copies the digits before the
  // stop (its bytes that are not blanks) to `out`, advancing it, as long as
  // they fit before `limit`. Sets `overflowed` when some did not fit; the
  // search goes on to the stop all the same. Bytes past `out` may be
  // written over, up to `limit`.
  const unsigned char* (*gather_digits)(const unsigned char* p, std::size_t n, char*& out, const char* limit,
                                        bool& overflowed);

  // Lays out `count` lines of `frame` at `p` and returns their end. Their
  // slices are taken from the ends backward: the first line's from the 64
  // bytes before ends[i], the next line's from the 64 before those, and so
  // on. Writes nothing past the last line.
  char* (*lay_out_digit_lines)(char* p, const LineFrame& frame, const std::array<const char*, 3>& ends,
                               std::size_t count);
};

// The version in use, read where it is called: an outside call costs
// the benchmark's input B 0.01 of the program's own instructions per byte.
extern const KernelVersion* g_kernels_in_use;
inline const KernelVersion& kernels() {
  return *g_kernels_in_use;
}

// Every version built, the portable one first.
std::span<const KernelVersion* const> kernel_versions();

// Makes the version called `name` the one in use; else leaves the one in
// use and says why not.
std::string use_kernel_version(std::string_view name);

}  // namespace svfsplit
