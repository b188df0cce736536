// The kernels, written once over a block of 64 bytes (Block) made of the
// vectors of one instruction set, which each version's file gives as a
// type V before it instantiates them with version_of<V>():
//   V::Vector, V::kBytes      a vector, of 8, 16 or 32 bytes; vectors are
//                             combined with | and &
//   V::load(p), V::store(p, v)
//   V::eq(v, c), V::le(v, c)  a vector whose bytes are not 0 just where a
//                             byte is c, or at most c (unsigned: the tests
//                             place bytes from 0x80 up in fields)
//   V::any(v), V::bits(v)     whether a byte is not 0; bit i set where byte
//                             i is not
//   or V::mask(vectors)       in place of bits: those bits of a whole block
// The file of a version that needs its instruction set enabled function by
// function defines SVFSPLIT_TARGET to the attribute that does so.
#pragma once

#include <bit>
#include <cstring>

#include "convert/kernels/kernels.hpp"

#ifndef SVFSPLIT_TARGET
#define SVFSPLIT_TARGET
#endif
// A part of a kernel, inlined into it whatever the compiler would choose:
// left to it, the parts of the gathering cost B's own instructions per
// byte 0.014 (some of them) to 0.15 (all) more.
#define SVFSPLIT_PART [[gnu::always_inline]] SVFSPLIT_TARGET inline

namespace svfsplit::generic {
namespace {

constexpr std::ptrdiff_t kBlock = 64;

// A place in the input.
using In = const unsigned char*;

// A block: the operations of its vectors, each applied to all of them.
template <class V>
struct Block {
  static constexpr int kVectors = kBlock / V::kBytes;
  typename V::Vector v[kVectors];

  SVFSPLIT_TARGET static Block load(const void* p) {
    Block x;
    for (int i = 0; i < kVectors; ++i) x.v[i] = V::load(static_cast<const char*>(p) + i * V::kBytes);
    return x;
  }
  SVFSPLIT_TARGET void store(void* p) const {
    for (int i = 0; i < kVectors; ++i) V::store(static_cast<char*>(p) + i * V::kBytes, v[i]);
  }
  template <auto kOp, class Arg>
  SVFSPLIT_TARGET Block each(Arg arg) const {
    Block x;
    for (int i = 0; i < kVectors; ++i) x.v[i] = kOp(v[i], arg);
    return x;
  }
  SVFSPLIT_TARGET Block eq(unsigned char c) const { return each<V::eq>(c); }
  SVFSPLIT_TARGET Block le(unsigned char c) const { return each<V::le>(c); }
  SVFSPLIT_TARGET Block operator|(const Block& o) const {
    Block x;
    for (int i = 0; i < kVectors; ++i) x.v[i] = v[i] | o.v[i];
    return x;
  }
  SVFSPLIT_TARGET Block operator&(const Block& o) const {
    Block x;
    for (int i = 0; i < kVectors; ++i) x.v[i] = v[i] & o.v[i];
    return x;
  }
  SVFSPLIT_TARGET bool any() const {
    typename V::Vector all = v[0];
    for (int i = 1; i < kVectors; ++i) all = all | v[i];
    return V::any(all);
  }
  SVFSPLIT_TARGET std::uint64_t mask() const {
    std::uint64_t m = 0;
    if constexpr (requires { V::mask(v); })
      m = V::mask(v);
    else
      for (int i = 0; i < kVectors; ++i) m |= std::uint64_t{V::bits(v[i])} << i * V::kBytes;
    return m;
  }
};

template <class B>
SVFSPLIT_TARGET In find_first_of(In p, std::size_t n, ByteSet set) {
  const In end = p + n;
  for (; end - p >= kBlock; p += kBlock) {
    const B x = B::load(p);
    const B hits = x.eq(set.bytes[0]) | x.eq(set.bytes[1]) | x.eq(set.bytes[2]);
    if (hits.any())
      return p + std::countr_zero(hits.mask());
  }
  const In hit = std::find_if(p, end, [set](unsigned char b) { return set.holds(b); });
  return hit == end ? nullptr : hit;
}

template <class B>
SVFSPLIT_TARGET In find_line_to_examine(In p, In end) {
  // A block looks at the 3 bytes after it too.
  for (; end - p >= kBlock + 3; p += kBlock) {
    const B line_feeds_before_s = B::load(p).eq('\n') & B::load(p + 1).eq('S');
    if (!line_feeds_before_s.any())
      continue;
    for (std::uint64_t lf = line_feeds_before_s.mask(); lf != 0; lf &= lf - 1) {
      const In line = p + std::countr_zero(lf) + 1;
      if (line[1] == 'D' && line[2] == 'R')
        return line;
    }
  }
  for (; p != end; ++p) {
    if (*p == '\n' && (end - p < 4 || (p[1] == 'S' && p[2] == 'D' && p[3] == 'R')))
      return p + 1;
  }
  return nullptr;
}

// The special bytes: those at most ')', and ';'. Every blank and every stop
// must be one.
constexpr unsigned char kLowSpecialsUpTo = ')', kHighestSpecial = ';';
constexpr auto is_special = [](unsigned char b) { return b <= kLowSpecialsUpTo || b == kHighestSpecial; };
static_assert(std::ranges::all_of(kBlankBytes, is_special) && std::ranges::all_of(kStopBytes, is_special));
template <class B>
SVFSPLIT_TARGET B specials(const B& x) {
  return x.le(kLowSpecialsUpTo) | x.eq(kHighestSpecial);
}

// The size of the gap that the special bytes `m` (not 0) of the block at p
// are from the first on, if they are one; else 0.
inline std::ptrdiff_t gap_size(In p, std::uint64_t m) {
  const int first = std::countr_zero(m);
  const std::uint64_t rest = m >> first;
  const bool gap = (rest | 2) == 3 && is_blank(p[first]) && is_blank(p[first + (rest >> 1)]);
  return gap ? 1 + static_cast<std::ptrdiff_t>(rest >> 1) : 0;
}

// The `size` bytes (1 or 2) of a gap at p, as loaded two at a time.
inline std::uint16_t gap_at(In p, std::ptrdiff_t size) {
  std::uint16_t bytes;
  std::memcpy(&bytes, p, 2);
  return static_cast<std::uint16_t>(bytes & (size == 1 ? 0xFF : 0xFFFF));
}

// Rows of `width` digits (at least a block) each followed by a gap like
// the one of `size` blanks before q, from q to o: a row at a time while its
// digits hold no special byte and its blanks are those, as long as it
// ends before `last`. Returns where the rows stop, in the input; `o`
// advances with them.
template <class B>
SVFSPLIT_PART In copy_rows(In q, In last, char*& o, std::ptrdiff_t width, std::ptrdiff_t size) {
  const std::uint16_t gap = gap_at(q - size, size);
  const std::ptrdiff_t stride = width + size;
  char* d = o;  // a local: stores through a char pointer could change `o`
  for (auto rows = (last - q) / stride; rows > 0; --rows, q += stride, d += width) {
    if (gap_at(q + width, size) != gap)
      break;
    // The last block ends where the row does.
    const B end = B::load(q + width - kBlock);
    B special = specials(end);
    for (std::ptrdiff_t at = 0; at < width - kBlock; at += kBlock) {
      const B x = B::load(q + at);
      x.store(d + at);
      special = special | specials(x);
    }
    end.store(d + width - kBlock);
    if (special.any())
      break;
  }
  o = d;
  return q;
}

// The usual: one or two blanks (a line end, an indent) end a row, in a
// block or just after it, the blanks told by a word of bits; then the rows
// after them go by a row at a time while they keep to the width and blanks
// of the one before: the program's own instructions per byte of the
// benchmark's input B fall from 1.93 to 1.63, and of A from 0.66 to 0.48.
// Each part below takes the block at p, stored whole at o already, moves
// o past its digits and `row` to where the digits after its last blank
// start, and returns where the next block starts.

// A block whose special bytes `m` are a gap of `size` bytes, and digits.
template <class B>
SVFSPLIT_PART In after_gap(In p, std::uint64_t m, std::ptrdiff_t size, In last, char*& o, In& row) {
  const std::ptrdiff_t first = std::countr_zero(m);
  const std::ptrdiff_t width = p + first - row;
  o += first;
  row = p + first + size;
  if (width >= kBlock) {
    p = row = copy_rows<B>(row, last, o, width, size);
  } else {  // the digits after the gap, stored again where the row ends
    B::load(row).store(o);
    o += p + kBlock - row;
    p += kBlock;
  }
  return p;
}

// Any other block with special bytes `m`: the digits after each blank are
// stored again where those before it end, up to a stop, where it returns
// and sets `stopped`.
template <class B>
SVFSPLIT_PART In around_specials(In p, std::uint64_t m, char*& o, In& row, bool& stopped) {
  std::ptrdiff_t from = 0;  // where the digits not yet kept start
  for (; m != 0 && kKinds[p[std::countr_zero(m)]] != kStop; m &= m - 1) {
    if (const std::ptrdiff_t at = std::countr_zero(m); is_blank(p[at])) {
      // The digits before the block's first blank are in place already.
      if (from != 0)
        B::load(p + from).store(o);
      o += at - from;
      from = at + 1;
    }
  }
  const std::ptrdiff_t end = m != 0 ? std::countr_zero(m) : kBlock;  // where the block's digits end
  if (from != 0) {
    B::load(p + from).store(o);
    row = p + from;
  }
  o += end - from;
  stopped = end != kBlock;
  return p + end;
}

// A byte at a time from p up to a stop, while the room holds the digits;
// then the stop is searched for. Returns it, or nullptr.
template <class B>
SVFSPLIT_PART In gather_bytes(In p, In end, char*& o, const char* limit, bool& overflowed) {
  for (; p != end && kKinds[*p] != kStop && (o != limit || is_blank(*p)); ++p) {
    if (!is_blank(*p))
      *o++ = static_cast<char>(*p);
  }
  if (p != end && kKinds[*p] == kDigit) {
    overflowed = true;
    p = find_first_of<B>(p, static_cast<std::size_t>(end - p), kStops);
  }
  return p == end ? nullptr : p;
}

// A block at a time while the input and the room hold two more, up to a
// stop: the block is stored whole, then its digits are kept as above.
// Then a byte at a time.
template <class B>
SVFSPLIT_TARGET In gather_digits(In p, std::size_t n, char*& out, const char* limit, bool& overflowed) {
  const In end = p + n;
  char* o = out;  // a local: stores through a char pointer could change `out`
  In row = p;
  bool stopped = false;
  // o moves no farther than p: where the input holds two more blocks, so
  // does the room.
  const std::ptrdiff_t reach = std::min(end - p, limit - o) - 2 * kBlock;
  for (const In last = p + std::max(reach, std::ptrdiff_t{0}); reach >= 0 && p <= last;) {
    const B x = B::load(p);
    x.store(o);
    const std::uint64_t m = specials(x).mask();
    // All digits: a gap just after them ends a row that started at the
    // block or before, at least a block wide, so the rows after it go by.
    if (m == 0) {
      o += kBlock;
      p += kBlock;
      if (const std::ptrdiff_t size = !is_blank(*p) ? 0 : is_blank(p[1]) ? 2 : 1; size != 0)
        p = row = copy_rows<B>(p + size, last, o, p - row, size);
    } else if (const std::ptrdiff_t size = gap_size(p, m); size != 0) {
      p = after_gap<B>(p, m, size, last, o, row);
    } else if (p = around_specials<B>(p, m, o, row, stopped); stopped) {
      break;
    }
  }
  if (!stopped)
    p = gather_bytes<B>(p, end, o, limit, overflowed);
  out = o;
  return p;
}

// The texts are stored whole, each before the digits that are stored over
// its bytes past it; the last text, ending where the line does, before the
// last slice.
template <class B, int kSlices>
SVFSPLIT_TARGET char* lay_out_lines(char* p, const LineFrame& frame, const std::array<const char*, 3>& ends,
                                    std::size_t count) {
  // Locals, which stores through a char pointer cannot change.
  const std::array<std::array<char, 16>, 4> texts = frame.texts;
  std::array<const char*, kSlices> from;           // the slices of the line at p
  std::array<std::size_t, kSlices + 1> text_at{};  // each slice ends where the next text starts
  for (int i = 0; i < kSlices; ++i) {
    text_at[i + 1] = text_at[i] + frame.sizes[i] + LineFrame::kDigits;
    from[i] = ends[i] - LineFrame::kDigits;
  }
  const std::size_t size = text_at[kSlices] + frame.sizes[kSlices];
  for (std::size_t back = 0; count != 0; --count, p += size, back += LineFrame::kDigits) {
    for (int i = 0; i < kSlices; ++i) {
      std::memcpy(p + text_at[i], texts[i].data(), 16);
      if (i + 1 == kSlices)
        std::memcpy(p + size - 16, texts[kSlices].data(), 16);
      B::load(from[i] - back).store(p + text_at[i + 1] - LineFrame::kDigits);
    }
  }
  return p;
}

template <class B>
SVFSPLIT_TARGET char* lay_out_digit_lines(char* p, const LineFrame& frame, const std::array<const char*, 3>& ends,
                                          std::size_t count) {
  return frame.slices == 3   ? lay_out_lines<B, 3>(p, frame, ends, count)
         : frame.slices == 2 ? lay_out_lines<B, 2>(p, frame, ends, count)
                             : lay_out_lines<B, 1>(p, frame, ends, count);
}

// For a version that every processor of its kind runs (portable C++;
// SSE2, which every x86-64 processor has).
inline bool runs_everywhere() {
  return true;
}

template <class V>
constexpr KernelVersion version_of(const char* name, bool (*runs_here)()) {
  using B = Block<V>;
  return {name, runs_here, find_first_of<B>, find_line_to_examine<B>, gather_digits<B>, lay_out_digit_lines<B>};
}

}  // namespace
}  // namespace svfsplit::generic
