// The segmenter: a long SDR command becomes segment lines of at most 256
// bits, least significant segment first.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>

#include "convert.hpp"
#include "fields.hpp"

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

// Copies `text` to `p` and returns the end of the copy; a full segment's
// digits are copied with a size the compiler knows.
inline char* put(char* p, std::string_view text) {
  if (text.size() == kSegmentDigits)
    std::memcpy(p, text.data(), kSegmentDigits);
  else
    std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

// Lays out one segment line at `p` and returns its end; `last_bits` is 0
// for all but the closing line.
char* lay_out_segment(char* p, std::uint32_t last_bits, const FieldCursor& tdi, const FieldCursor* tdo,
                      const FieldCursor* mask) {
  if (last_bits == 0) {
    p = put(p, kFullHead);
  } else {
    p = put(p, kLastHead);
    p = std::to_chars(p, p + 3, last_bits).ptr;
    p = put(p, kTdi);
  }
  p = put(p, tdi.digits());
  if (tdo != nullptr) {
    p = put(p, kTdo);
    p = put(p, tdo->digits());
  }
  if (mask != nullptr) {
    p = put(p, kMask);
    p = put(p, mask->digits());
  }
  return put(p, kTail);
}

// Lays out `count` full segments whose digits all lie in kept digits, in
// file order, that end at ends[0] (TDI), ends[1] (TDO) and ends[2] (MASK),
// as far as the command has `kFields` of them; the last 64 go first.
// Returns the end of what it laid out.
template <int kFields>
char* lay_out_kept(char* p, const std::array<const char*, 3>& ends, std::uint32_t count) {
  for (std::size_t from_end = kSegmentDigits; from_end <= count * std::size_t{kSegmentDigits};
       from_end += kSegmentDigits) {
    p = put(p, kFullHead);
    p = put(p, {ends[0] - from_end, kSegmentDigits});
    if constexpr (kFields > 1) {
      p = put(p, kTdo);
      p = put(p, {ends[1] - from_end, kSegmentDigits});
    }
    if constexpr (kFields > 2) {
      p = put(p, kMask);
      p = put(p, {ends[2] - from_end, kSegmentDigits});
    }
    p = put(p, kTail);
  }
  return p;
}

// Lays out the next `count` segments, all full, at p straight from the
// digits kept for every field, and returns their end; nullptr, with nothing
// taken, when some field's digits were not kept.
char* lay_out_kept_segments(char* p, std::uint32_t count, FieldCursor& tdi, FieldCursor* tdo, FieldCursor* mask) {
  const std::size_t digits = std::size_t{count} * kSegmentDigits;
  std::array<const char*, 3> ends = {tdi.kept_end(digits), tdo ? tdo->kept_end(digits) : nullptr,
                                     mask ? mask->kept_end(digits) : nullptr};
  if (ends[0] == nullptr || (tdo != nullptr && ends[1] == nullptr) || (mask != nullptr && ends[2] == nullptr))
    return nullptr;
  for (FieldCursor* field : {&tdi, tdo, mask}) {
    if (field != nullptr)
      field->skip(digits);
  }
  if (mask != nullptr)
    return lay_out_kept<3>(p, ends, count);
  if (tdo != nullptr)
    return lay_out_kept<2>(p, ends, count);
  return lay_out_kept<1>(p, ends, count);
}

// Segment lines are laid out straight in the output's buffer this many at
// a time, with one check of its room for them all.
constexpr std::uint32_t kSegmentsAtATime = 64;

// Inside a long command, the progress line is told every this many
// segments that its input is done in proportion to the segments written.
constexpr std::uint32_t kSegmentsPerProgress = 4096;

void report_progress(Progress& progress, std::int64_t from, std::int64_t to, double share) {
  progress.at(from + static_cast<std::int64_t>(static_cast<double>(to - from) * share));
}

// Moves the input past the command's ';' and at most two line end or blank
// bytes after it, stopping after a line feed; returns the last byte consumed.
char resume_after(Input& in, std::int64_t semicolon) {
  in.seek(semicolon + 1);
  char last = ';';
  for (int i = 0; i < 2 && last != '\n'; ++i) {
    const int c = in.get();
    if (c != '\r' && c != '\n' && c != ' ' && c != '\t') {
      if (c != kEnd)
        in.step_back(1);
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
std::optional<Layout> locate(Input& in, std::uint32_t length, SplitState& state) {
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
      auto layout = locate_fields_in(bytes, entry, sink, scan, state.lines_seen);
      state.bytes_scanned += scan.examined;
      if (!scan.ran_out) {
        if (layout)
          ++state.located_in_memory;
        else
          state.scanned_until = scan.end;
        return layout;
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
  return locate_fields(in, state.notes, sink);
}

}  // namespace

SplitState::SplitState(Input& in)
    : notes(in),
      readers{Input(in.source(), std::min(in.window_size(), kFieldWindow)),
              Input(in.source(), std::min(in.window_size(), kFieldWindow)),
              Input(in.source(), std::min(in.window_size(), kFieldWindow))},
      digit_room(in.window_size()),
      digits(std::make_unique_for_overwrite<char[]>(digit_room)) {}

SplitResult split_long_sdr(Input& in, Output& out, std::uint32_t length, SplitState& state) {
  const std::int64_t entry = in.tell();
  const auto layout = locate(in, length, state);
  if (!layout)
    return {SplitResult::kNotSplit};

  FieldCursor tdi(in, state.readers[0], layout->tdi);
  std::optional<FieldCursor> tdo;
  std::optional<FieldCursor> mask;
  if (layout->tdo)
    tdo.emplace(in, state.readers[1], *layout->tdo);
  if (layout->mask)
    mask.emplace(in, state.readers[2], *layout->mask);

  const std::uint32_t segments = (length >> 8) + ((length & 0xFF) != 0 ? 1 : 0);
  for (std::uint32_t k = 0; k < segments;) {
    if (platform::stop_requested() || out.failed() || in.source().error() != 0)
      return {SplitResult::kEnded};
    if (state.progress != nullptr && k % kSegmentsPerProgress == 0 && k > 0)
      report_progress(*state.progress, entry, layout->semicolon + 1, static_cast<double>(k) / segments);
    // A buffer too small for a run of lines takes them one by one.
    const std::uint32_t run = std::min(segments - k, kSegmentsAtATime);
    char* const room = out.room(run * kLongestLine);
    std::array<char, kLongestLine> spare;
    char* const start = room != nullptr ? room : spare.data();
    char* p = start;
    const std::uint32_t end = k + (room != nullptr ? run : 1);
    // The full segments of the run in one go, where their digits were kept.
    if (const std::uint32_t full = std::min(end, segments - 1) - k; room != nullptr && full > 0) {
      if (char* const laid = lay_out_kept_segments(p, full, tdi, tdo ? &*tdo : nullptr, mask ? &*mask : nullptr)) {
        p = laid;
        k += full;
      }
    }
    for (; k < end; ++k) {
      const bool last = k + 1 == segments;
      const std::uint32_t bits = last ? length - 256 * (segments - 1) : 256;
      const int m = static_cast<int>((bits + 3) / 4);
      tdi.take_digits(m);
      if (tdo)
        tdo->take_digits(m);
      if (mask)
        mask->take_digits(m);
      p = lay_out_segment(p, last ? bits : 0, tdi, tdo ? &*tdo : nullptr, mask ? &*mask : nullptr);
    }
    const auto size = static_cast<std::size_t>(p - start);
    if (room != nullptr)
      out.added(size);
    else
      out.write(spare.data(), size);
  }
  return {SplitResult::kSplit, resume_after(in, layout->semicolon)};
}

}  // namespace svfsplit
