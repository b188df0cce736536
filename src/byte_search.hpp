// The byte-search kernels under the field searches and the field reading:
// a few bytes found in one pass, sixteen at a time where SSE2 is there.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace svfsplit {

// One to three bytes searched for together.
struct ByteSet {
  std::array<unsigned char, 3> bytes{};
  int count = 0;

  constexpr ByteSet(unsigned char a) : bytes{a, a, a}, count(1) {}
  constexpr ByteSet(unsigned char a, unsigned char b) : bytes{a, b, b}, count(2) {}
  constexpr ByteSet(unsigned char a, unsigned char b, unsigned char c) : bytes{a, b, c}, count(3) {}
};

// White space inside hex data is not data.
constexpr bool is_blank(unsigned char b) {
  return b == '\n' || b == '\r' || b == ' ' || b == '\t' || b == '\v' || b == '\f';
}

// What ends a field's digits: its ')', or a '(' or ';' out of place.
inline constexpr ByteSet kFieldEndBytes(')', '(', ';');

// The first byte of `set` in [p, p + n), or nullptr; adds to `examined`
// the bytes it looked at.
const unsigned char* find_first_of(const unsigned char* p, std::size_t n, const ByteSet& set, std::uint64_t& examined);

// find_first_of(p, n, kFieldEndBytes, examined) that also copies the bytes
// before the hit that are not blanks to `out`, advancing it, as long as
// they fit before `limit`. Sets `overflowed` when some did not fit; the
// search itself goes on to the hit all the same.
const unsigned char* gather_field_digits(const unsigned char* p, std::size_t n, std::uint64_t& examined, char*& out,
                                         const char* limit, bool& overflowed);

// How many bytes just before `p` (at most `need`, none before `low`) are
// above ' ': surely digits, since every blank is at or below ' '.
int digits_before(const unsigned char* p, const unsigned char* low, int need);

}  // namespace svfsplit
