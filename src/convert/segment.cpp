// The segmenter: a long SDR command becomes segment lines of at most 256
// bits, least significant segment first.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

#include "convert/convert.hpp"
#include "convert/fields.hpp"
#include "convert/kernels/kernels.hpp"

namespace svfsplit {

namespace {

// The pieces of a segment line. A full segment's head is the longest one
// ("SDR 256 TDI (" for the last is shorter or as long).
constexpr std::string_view kFullHead = "SDRS 256 TDI (";
constexpr std::string_view kLastHead = "SDR ";
constexpr std::string_view kTdi = " TDI (";
constexpr std::string_view kTdo = ") TDO (";
constexpr std::string_view kMask = ") MASK (";
constexpr std::string_view kTail = ") ;\n";
// Every segment line fits in this many bytes, those of a full segment
// with all three fields; the figure is checked against its pieces, so that
// neither can change alone.
constexpr std::size_t kLongestLine = 225;
static_assert(kFullHead.size() + 3 * kSegmentDigits + kTdo.size() + kMask.size() + kTail.size() == kLongestLine);
static_assert(kLastHead.size() + 3 + kTdi.size() <= kFullHead.size());

inline char* put(char* p, std::string_view text) {
  std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

// Lays out one segment line at `p` from the digits of its `fields` fields,
// TDI first, and returns its end; `last_bits` is 0 for all but the closing
// line. The texts are put one by one, so that each copy has a size known
// here: B's own instructions per byte fall from 1.58 to 1.56.
char* lay_out_segment(char* p, int fields, std::uint32_t last_bits, const std::array<std::string_view, 3>& digits) {
  if (last_bits == 0) {
    p = put(p, kFullHead);
  } else {
    p = put(p, kLastHead);
    p = std::to_chars(p, p + 3, last_bits).ptr;
    p = put(p, kTdi);
  }
  p = put(p, digits[0]);
  if (fields > 1)
    p = put(put(p, kTdo), digits[1]);
  if (fields > 2)
    p = put(put(p, kMask), digits[2]);
  return put(p, kTail);
}

// The frames of full segment lines of 1 to 3 fields, TDI first.
constexpr std::array<LineFrame, 3> kFullLines = {LineFrame(std::array{kFullHead, kTail}),
                                                 LineFrame(std::array{kFullHead, kTdo, kTail}),
                                                 LineFrame(std::array{kFullHead, kTdo, kMask, kTail})};
static_assert(LineFrame::kDigits == kSegmentDigits && kFullLines[2].line_size() == kLongestLine);

// A command's fields, whose digits are given from the last by cursors:
// from those kept while the fields were searched, else read from the input.
class Fields {
 public:
  // MASK comes only after TDO; the cursors of the fields a command lacks
  // are never read.
  Fields(Input& in, SplitState& state, const Layout& layout)
      : count_(1 + (layout.tdo ? 1 : 0) + (layout.mask ? 1 : 0)),
        cursors_{FieldCursor(in, state.readers[0], layout.tdi),
                 FieldCursor(in, state.readers[1], layout.tdo.value_or(layout.tdi)),
                 FieldCursor(in, state.readers[2], layout.mask.value_or(layout.tdi))} {}

  int count() const { return count_; }

  // `wanted` full segments when every field holds them, whose digits then
  // end at `ends`, else none; those taken are skipped.
  std::uint32_t take_full(std::uint32_t wanted, std::array<const char*, 3>& ends) {
    const std::size_t digits = wanted * std::size_t{kSegmentDigits};
    for (int i = 0; i < count_; ++i) {
      if ((ends[i] = cursors_[i].kept_end(digits)) == nullptr)
        return 0;
    }
    for (int i = 0; i < count_; ++i) cursors_[i].skip(digits);
    return wanted;
  }
  // The next `m` digits (1 to 64) of each field.
  void take(std::size_t m, std::array<std::string_view, 3>& digits) {
    for (int i = 0; i < count_; ++i) digits[i] = cursors_[i].take_digits(static_cast<int>(m));
  }

 private:
  int count_;
  std::array<FieldCursor, 3> cursors_;
};

// Segment lines are laid out straight in the output's buffer this many at
// a time, with one check of its room for them all.
constexpr std::uint32_t kSegmentsAtATime = 64;

// Inside a long command, the progress line is told every this many
// segments that its input is done in proportion to the segments written.
constexpr std::uint32_t kSegmentsPerProgress = 4096;

// Moves the input past the command's ';' and at most two line end or blank
// bytes after it, stopping after a line feed; returns the last byte consumed.
inline char resume_after(Input& in, std::int64_t semicolon) {
  in.seek(semicolon + 1);
  char last = ';';
  for (int i = 0; i < 2 && last != '\n'; ++i) {
    const int c = in.get();
    if (c != '\r' && c != '\n' && c != ' ' && c != '\t') {
      if (c != kEnd)
        in.seek(in.tell() - 1);
      break;
    }
    last = static_cast<char>(c);
  }
  return last;
}

// Commands of at most this many digits per field are located in memory
// when they can be (64 Kibit).
constexpr std::size_t kShortCommandDigits = 16 * 1024;

// Locates the command's fields at the input's position. A short command
// that the main window holds whole, the usual case, is read in one forward
// pass over it; one that starts near the window's end is given a window
// that starts with it first. A command that cannot be split is not scanned for
// again: every command that starts in the stretch its scan covered is
// located through the search notes, which keep the run linear however
// many such commands overlap; so is one that runs past a full window.
// The pass in memory pays: the benchmark's input B takes 1.46 of the
// program's own instructions per byte with it, 2.32 through the notes
// alone (A and T the same either way).
bool locate(Input& in, std::uint32_t length, SplitState& state, Layout& layout) {
  const std::int64_t entry = in.tell();
  const DigitSink room{state.digits.get(), state.digits.get() + state.digit_room};
  // Only commands much shorter than the window gain: for a long one the
  // notes cost nothing next to its bytes, while a scan in memory that runs
  // past the window's end would be done twice.
  const bool short_command = length / 4 <= std::min<std::size_t>(kShortCommandDigits, in.window_size() / 4);
  if (short_command && entry >= state.scanned_until) {
    // A window that cannot hold the first field's digits is filled first.
    auto bytes = in.ahead();
    if (bytes.size() < length / 4)
      bytes = in.ahead_in_full();
    for (bool slid = false;; slid = true) {
      WindowScan scan;
      DigitSink sink = room;
      const bool found = locate_fields_in(bytes, entry, sink, scan, layout);
      if (!scan.ran_out) {
        if (!found)
          state.scanned_until = scan.end;
        return found;
      }
      const std::size_t held = bytes.size();
      if (!slid && held < in.window_size() && (bytes = in.ahead_in_full()).size() > held)
        continue;
      state.scanned_until = scan.end;
      break;
    }
  }
  in.seek(entry);
  DigitSink sink = room;
  return locate_fields(in, state.notes, sink, layout);
}

// Writes every segment line of the command of `length` bits from `fields`;
// false when the run must stop partway. `progress`, when given, is told
// how far the command's input, from `from` to `to`, is done.
bool lay_out_segments(Input& in, Output& out, std::uint32_t length, Fields& fields, Progress* progress,
                      std::int64_t from, std::int64_t to) {
  const std::uint32_t segments = (length >> 8) + ((length & 0xFF) != 0 ? 1 : 0);
  std::array<const char*, 3> ends;
  std::array<std::string_view, 3> digits;
  for (std::uint32_t k = 0; k < segments;) {
    if (platform::stop_requested() || out.failed() || in.source().error() != 0)
      return false;
    if (progress != nullptr && k % kSegmentsPerProgress == 0 && k > 0)
      progress->at(from + static_cast<std::int64_t>(static_cast<double>(to - from) * k / segments));
    // A buffer too small for a batch of lines takes them one by one.
    const std::uint32_t batch = std::min(segments - k, kSegmentsAtATime);
    char* const room = out.room(batch * kLongestLine);
    std::array<char, kLongestLine> spare;
    char* const start = room != nullptr ? room : spare.data();
    char* p = start;
    const std::uint32_t end = k + (room != nullptr ? batch : 1);
    // The full segments of the batch in one go, where their digits were kept.
    if (const std::uint32_t full = std::min(end, segments - 1) - k; room != nullptr && full > 0) {
      if (const std::uint32_t held = fields.take_full(full, ends); held > 0) {
        p = kernels().lay_out_digit_lines(p, kFullLines[fields.count() - 1], ends, held);
        k += held;
      }
    }
    for (; k < end; ++k) {
      const bool last = k + 1 == segments;
      const std::uint32_t bits = last ? length - 256 * (segments - 1) : 256;
      fields.take((bits + 3) / 4, digits);
      p = lay_out_segment(p, fields.count(), last ? bits : 0, digits);
    }
    const auto size = static_cast<std::size_t>(p - start);
    if (room != nullptr)
      out.added(size);
    else
      out.write(spare.data(), size);
  }
  return true;
}

}  // namespace

SplitState::SplitState(Input& in)
    : notes(in),
      readers{Input(in.source(), std::min(in.window_size(), kFieldWindow)),
              Input(in.source(), std::min(in.window_size(), kFieldWindow)),
              Input(in.source(), std::min(in.window_size(), kFieldWindow))},
      digit_room(in.window_size()),
      digits(new char[digit_room]) {}  // not cleared: only what is gathered is read

SplitResult split_long_sdr(Input& in, Output& out, std::uint32_t length, SplitState& state) {
  const std::int64_t entry = in.tell();
  Layout layout;
  if (!locate(in, length, state, layout))
    return {SplitResult::kNotSplit};
  Fields fields(in, state, layout);
  if (!lay_out_segments(in, out, length, fields, state.progress, entry, layout.semicolon + 1))
    return {SplitResult::kEnded};
  return {SplitResult::kSplit, resume_after(in, layout.semicolon)};
}

}  // namespace svfsplit
