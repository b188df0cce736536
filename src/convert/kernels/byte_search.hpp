// The byte-search kernels under the copy loop, the field searches and the
// field reading: bytes found in one pass, 16 at a time with SSE2 and 64 at a
// time with AVX2 where the processor has it, with plain loops for others.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace svfsplit {

// One to three bytes searched for together.
struct ByteSet {
  std::array<unsigned char, 3> bytes{};
  int count = 0;

  constexpr ByteSet(unsigned char a) : bytes{a, a, a}, count(1) {}
  constexpr ByteSet(unsigned char a, unsigned char b) : bytes{a, b, b}, count(2) {}
  constexpr ByteSet(unsigned char a, unsigned char b, unsigned char c) : bytes{a, b, c}, count(3) {}
};

// White space inside hex data is not data: '\t' to '\r', and ' '.
constexpr bool is_blank(unsigned char b) {
  return b == ' ' || (b >= '\t' && b <= '\r');
}

// What ends a field's digits: its ')', or a '(' or ';' out of place.
inline constexpr ByteSet kFieldEndBytes(')', '(', ';');

// The first byte of `set` in [p, p + n), or nullptr; adds to `examined`
// the bytes it looked at.
const unsigned char* find_first_of(const unsigned char* p, std::size_t n, const ByteSet& set, std::uint64_t& examined);

// The start of the first line in [p, end) that the copy loop examines: the
// byte after a line feed that "SDR" follows, or that fewer than three bytes
// follow before `end` (what comes next is not known yet); nullptr when
// there is none.
const unsigned char* find_line_to_examine(const unsigned char* p, const unsigned char* end);

// The shape of the lines of digits a gathering saw last, for the next one
// to try first: a width, then the same one to eight blanks after each
// line. Only the speed depends on it.
struct LineShape {
  std::size_t width = 0;       // 0: none seen
  std::size_t stride = 0;      // the width and the blanks
  std::uint64_t blanks = 0;    // their bytes, loaded as one number
  std::uint64_t compared = 0;  // the bits of such a number that hold them
};

// find_first_of(p, n, kFieldEndBytes, examined) that also copies the bytes
// before the hit that are not blanks to `out`, advancing it, as long as
// they fit before `limit`. Sets `overflowed` when some did not fit; the
// search itself goes on to the hit all the same. Bytes past `out` may be
// written over, up to `limit`. `seen` is read and updated.
const unsigned char* gather_field_digits(const unsigned char* p, std::size_t n, std::uint64_t& examined, char*& out,
                                         const char* limit, bool& overflowed, LineShape& seen);

// Whether the first `size` (1 to 4) of the 4 bytes at p hold a '(' or a
// ';'. The bytes are compared all at once: a byte that is equal is one
// that is zero after the bytes are xored with it.
inline bool holds_open_or_semicolon(const unsigned char* p, int size) {
  std::uint32_t x;
  std::memcpy(&x, p, 4);
  const std::uint32_t first = size == 4                                    ? ~std::uint32_t{0}
                              : std::endian::native == std::endian::little ? (std::uint32_t{1} << 8 * size) - 1
                                                                           : ~std::uint32_t{0} << 8 * (4 - size);
  const auto zero_byte = [first](std::uint32_t v) {
    v |= ~first;
    return ((v - 0x01010101u) & ~v & 0x80808080u) != 0;
  };
  return zero_byte(x ^ 0x28282828u) || zero_byte(x ^ 0x3B3B3B3Bu);
}

// One field of a command in the shape nearly every file gives it: a
// keyword of `keyword` bytes that hold no '(' or ';' (those after its first
// byte, when that was the field before's `next`), its '(', digits up to a
// ')', then, within 8 bytes, `next` (the next keyword's first byte) or the
// command's ';'.
struct FieldShape {
  int keyword;
  unsigned char next;
};

// What gather_usual_fields() found.
struct UsualFields {
  int count = 0;                // fields
  std::array<char*, 3> ends{};  // of each one's digits, which follow the one's before
  const unsigned char* semicolon = nullptr;
  std::uint64_t examined = 0;  // bytes, as the field searches count them
};

// Gathers the digits of the fields at `p`, up to `end`, that keep to
// `shapes` (at most 3), to `out`, up to `limit`, until the ';' after one of
// them; `seen` is read and updated as by gather_field_digits(). False when
// they leave the shape, or the input or the room runs out, before the ';':
// nothing else is told then.
bool gather_usual_fields(const unsigned char* p, const unsigned char* end, std::span<const FieldShape> shapes,
                         char* out, const char* limit, LineShape& seen, UsualFields& found);

// How many bytes just before `p` (at most `need`, none before `low`) are
// above ' ': surely digits, since every blank is at or below ' '.
int digits_before(const unsigned char* p, const unsigned char* low, int need);

// The line feeds in [p, p + n).
std::uint64_t count_line_feeds(const unsigned char* p, std::size_t n);

// Copies `n` bytes to `to` past the processor's caches, where it has
// stores that do so (SSE2, AVX2), for bytes that the writing thread reads next:
// such stores neither fetch the lines they fill nor take them back from
// the core that read them last. Other processors copy as usual. The
// stores are fenced before it returns.
void copy_streaming(char* to, const char* from, std::size_t n);

// The fixed text of a line of digit runs: texts[0], then each run's
// digits and the text after them, `runs` (1 to 3) of them. Each text is
// at most 16 bytes, held in 16 so that it can be moved in one go: at the
// start of them, but the last one at their end, so that it can be stored
// ending where the line does.
struct LineFrame {
  static constexpr std::size_t kDigits = 64;  // of each run, on each line

  int runs = 1;
  std::array<std::array<char, 16>, 4> texts{};
  std::array<std::uint8_t, 4> sizes{};

  template <std::size_t kTexts>
  constexpr explicit LineFrame(const std::array<std::string_view, kTexts>& pieces) : runs(kTexts - 1) {
    static_assert(kTexts >= 2 && kTexts <= 4);
    for (std::size_t i = 0; i < kTexts; ++i) {
      std::copy(pieces[i].begin(), pieces[i].end(),
                i + 1 < kTexts ? texts[i].begin() : texts[i].end() - pieces[i].size());
      sizes[i] = static_cast<std::uint8_t>(pieces[i].size());
    }
  }
  constexpr std::size_t line_size() const {
    std::size_t size = kDigits * static_cast<std::size_t>(runs);
    for (int i = 0; i <= runs; ++i) size += sizes[static_cast<std::size_t>(i)];
    return size;
  }
};

// Lays out `count` lines of `frame` at `p` and returns their end. Their
// runs of digits are taken from the ends backward: the first line's from
// the 64 bytes before ends[i], the next line's from the 64 before those,
// and so on. Writes nothing past the last line.
char* lay_out_digit_lines(char* p, const LineFrame& frame, const std::array<const char*, 3>& ends, std::size_t count);

// Each way this processor can run the kernels above, the plain loops
// first and the one in use last, so that tests can hold them to each other.
struct KernelVersion {
  const char* name;
  const unsigned char* (*find_line_to_examine)(const unsigned char* p, const unsigned char* end);
  const unsigned char* (*gather_field_digits)(const unsigned char* p, std::size_t n, std::uint64_t& examined,
                                              char*& out, const char* limit, bool& overflowed, LineShape& seen);
  bool (*gather_usual_fields)(const unsigned char* p, const unsigned char* end, std::span<const FieldShape> shapes,
                              char* out, const char* limit, LineShape& seen, UsualFields& found);
  void (*copy_streaming)(char* to, const char* from, std::size_t n);
  char* (*lay_out_digit_lines)(char* p, const LineFrame& frame, const std::array<const char*, 3>& ends,
                               std::size_t count);
};
std::span<const KernelVersion> kernel_versions();

}  // namespace svfsplit
