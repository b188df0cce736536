// The kernels, written once over a block of 64 bytes (Block) made of the
// vectors of one instruction set, which each version's file gives as a
// type V before it instantiates them with version_of<V>():
//   V::Vector, V::kBytes      a vector, of 8, 16 or 32 bytes; vectors are
//                             combined with | and &
//   V::load(p), V::store(p, v)
//   V::eq(v, c), V::le(v, c)  a vector whose bytes are not 0 just where a
//                             byte is c, or at most c (unsigned)
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

namespace svfsplit::generic {
namespace {

constexpr std::ptrdiff_t kBlock = 64;

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

// The blanks among the bytes below 64, every byte that gather_digits marks.
constexpr std::uint64_t kLowBlanks = [] {
  std::uint64_t bits = 0;
  for (unsigned b = 0; b < 64; ++b) bits |= std::uint64_t{kKinds[b] == kBlank} << b;
  return bits;
}();

template <class B>
SVFSPLIT_TARGET const unsigned char* find_first_of(const unsigned char* p, std::size_t n, ByteSet set) {
  const unsigned char* const end = p + n;
  for (; end - p >= kBlock; p += kBlock) {
    const B x = B::load(p);
    const B hits = x.eq(set.bytes[0]) | x.eq(set.bytes[1]) | x.eq(set.bytes[2]);
    if (hits.any())
      return p + std::countr_zero(hits.mask());
  }
  const unsigned char* const hit = std::find_if(p, end, [set](unsigned char b) { return set.holds(b); });
  return hit == end ? nullptr : hit;
}

template <class B>
SVFSPLIT_TARGET const unsigned char* find_line_to_examine(const unsigned char* p, const unsigned char* end) {
  // A block looks at the 3 bytes after it too.
  for (; end - p >= kBlock + 3; p += kBlock) {
    const B line_feeds_before_s = B::load(p).eq('\n') & B::load(p + 1).eq('S');
    if (!line_feeds_before_s.any())
      continue;
    for (std::uint64_t lf = line_feeds_before_s.mask(); lf != 0; lf &= lf - 1) {
      const unsigned char* const line = p + std::countr_zero(lf) + 1;
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

// The special bytes of a block (see kernels.hpp).
template <class B>
SVFSPLIT_TARGET B specials(const B& x) {
  return x.le(')') | x.eq(';');
}

// A gap: its 1 or 2 bytes, as loaded.
struct Gap {
  std::uint16_t bytes;
  std::ptrdiff_t size;

  static Gap at(const unsigned char* p, std::ptrdiff_t size) {
    std::uint16_t bytes;
    std::memcpy(&bytes, p, 2);
    return {static_cast<std::uint16_t>(bytes & (size == 1 ? 0xFF : 0xFFFF)), size};
  }
};

// Lines of `width` digits (at least a block) each followed by the 1 or 2
// blanks of `gap`, from q to o: a line at a time while its digits hold no
// special byte and its blanks are those, as long as it ends before `last`.
// Returns where the lines stop, in the input; `o` advances with them.
template <class B>
SVFSPLIT_TARGET const unsigned char* copy_lines(const unsigned char* q, const unsigned char* last, char*& o,
                                                std::ptrdiff_t width, const Gap& gap) {
  const std::ptrdiff_t stride = width + gap.size;
  char* d = o;  // a local: stores through a char pointer could change `o`
  for (auto lines = (last - q) / stride; lines > 0; --lines, q += stride, d += width) {
    if (Gap::at(q + width, gap.size).bytes != gap.bytes)
      break;
    // The last block ends where the line does.
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

// A block at a time while the input and the room hold two more: the
// block is stored whole, and when it holds bytes at or below ')' or a
// ';' (blanks and stops among them) each run of digits after a blank is
// stored again where the digits before it end.
template <class B>
SVFSPLIT_TARGET const unsigned char* gather_digits(const unsigned char* p, std::size_t n, char*& out, const char* limit,
                                                   bool& overflowed) {
  const unsigned char* const end = p + n;
  char* o = out;                  // a local: stores through a char pointer could change `out`
  const unsigned char* line = p;  // where the digits since the last blank start
  // o moves no farther than p: where the input holds two more blocks, so
  // does the room.
  if (const std::ptrdiff_t reach = std::min(end - p, limit - o) - 2 * kBlock; reach >= 0) {
    for (const unsigned char* const last = p + reach; p <= last;) {
      const B x = B::load(p);
      x.store(o);
      std::uint64_t m = specials(x).mask();
      // The usual: one or two blanks (a line end, an indent) between two
      // runs of digits, in the block or just after it, the blanks told by a
      // word of bits. Then the lines after them go by a line at a time
      // while they keep to the width and blanks of the one before: the
      // program's own instructions per byte of the benchmark's input B fall
      // from 1.93 to 1.63, and of A from 0.66 to 0.48.
      std::ptrdiff_t first = kBlock;
      Gap gap{};
      if (m == 0) {
        if (!is_blank(p[kBlock])) {
          o += kBlock;
          p += kBlock;
          continue;
        }
        gap = Gap::at(p + kBlock, is_blank(p[kBlock + 1]) ? 2 : 1);
      } else if (const std::uint64_t run = m >> (first = std::countr_zero(m));
                 (run | 2) == 3 && (kLowBlanks >> p[first] & kLowBlanks >> p[first + (run >> 1)] & 1) != 0) {
        gap = Gap::at(p + first, 1 + static_cast<std::ptrdiff_t>(run >> 1));
      }
      if (gap.size != 0) {
        const std::ptrdiff_t width = p + first - line;
        o += first;
        line = p + first + gap.size;
        if (width >= kBlock) {
          p = line = copy_lines<B>(line, last, o, width, gap);
          continue;
        }
        B::load(line).store(o);
        o += kBlock - first - gap.size;
        p += kBlock;
        continue;
      }
      std::ptrdiff_t from = 0;  // where the digits not yet kept start
      for (; m != 0; m &= m - 1) {
        const std::ptrdiff_t at = std::countr_zero(m);
        const Kind kind = kKinds[p[at]];
        if (kind == kDigit)
          continue;  // at or below ')'
        // The first run of a block is in place already.
        if (from != 0)
          B::load(p + from).store(o);
        o += at - from;
        if (kind == kStop) {
          out = o;
          return p + at;
        }
        from = at + 1;
        line = p + from;
      }
      if (from != 0)
        B::load(p + from).store(o);
      o += kBlock - from;
      p += kBlock;
    }
  }
  for (; p != end; ++p) {
    const Kind kind = kKinds[*p];
    if (kind == kStop)
      break;
    if (kind == kBlank)
      continue;
    if (o == limit) {
      overflowed = true;
      out = o;
      return find_first_of<B>(p, static_cast<std::size_t>(end - p), kStops);
    }
    *o++ = static_cast<char>(*p);
  }
  out = o;
  return p == end ? nullptr : p;
}

// The texts are stored whole, each before the digits that are stored over
// its bytes past it; the last text, ending where the line does, before the
// last run.
template <class B, int kRuns>
SVFSPLIT_TARGET char* lay_out_lines(char* p, const LineFrame& frame, const std::array<const char*, 3>& ends,
                                    std::size_t count) {
  // Locals, which stores through a char pointer cannot change.
  const std::array<std::array<char, 16>, 4> texts = frame.texts;
  std::array<const char*, kRuns> from;  // the runs of the line at p
  std::array<std::size_t, kRuns> text_at;
  std::array<std::size_t, kRuns> run_at;
  std::size_t size = 0;
  for (int i = 0; i < kRuns; ++i) {
    text_at[i] = size;
    size += frame.sizes[i];
    from[i] = ends[i] - LineFrame::kDigits;
    run_at[i] = size;
    size += LineFrame::kDigits;
  }
  size += frame.sizes[kRuns];
  for (std::size_t back = 0; count != 0; --count, p += size, back += LineFrame::kDigits) {
    for (int i = 0; i < kRuns; ++i) {
      std::memcpy(p + text_at[i], texts[i].data(), 16);
      if (i + 1 == kRuns)
        std::memcpy(p + size - 16, texts[kRuns].data(), 16);
      B::load(from[i] - back).store(p + run_at[i]);
    }
  }
  return p;
}

template <class B>
SVFSPLIT_TARGET char* lay_out_digit_lines(char* p, const LineFrame& frame, const std::array<const char*, 3>& ends,
                                          std::size_t count) {
  switch (frame.runs) {
    case 3:
      return lay_out_lines<B, 3>(p, frame, ends, count);
    case 2:
      return lay_out_lines<B, 2>(p, frame, ends, count);
    default:
      return lay_out_lines<B, 1>(p, frame, ends, count);
  }
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
