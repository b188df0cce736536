// The conversion: copy an SVF stream, splitting every long SDR command into
// segment lines of at most 256 bits.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "convert/search_notes.hpp"
#include "io/input.hpp"
#include "io/output.hpp"
#include "io/progress.hpp"

namespace svfsplit {

// Commands of more bits than this are split.
inline constexpr std::uint32_t kMaxUnsplitBits = 256;
// Longest length, in digits, that is read as a length at all.
inline constexpr int kMaxLengthDigits = 59;
// How many unsplit commands are reported one by one.
inline constexpr int kReportedUnsplit = 10;

struct UnsplitCommand {
  std::int64_t offset = 0;  // of its "S"
  std::uint64_t line = 0;   // 1-based
  std::uint32_t bits = 0;
};

struct ConvertReport {
  // The long commands copied unsplit, the one on the first line included.
  std::uint64_t unsplit_count = 0;
  std::array<UnsplitCommand, kReportedUnsplit> unsplit{};  // the first ones
  // The input begins with a UTF-16 byte-order mark, or holds a NUL byte in
  // its first kTextCheck bytes (as far as its first window holds them, as
  // the program's always does): not 8-bit text, whose SDR commands cannot
  // be recognised. It is copied all the same.
  bool not_8bit_text = false;
};

// How many bytes at the start of the input are looked at for a NUL byte.
inline constexpr int kTextCheck = 64 * 1024;

// What split_long_sdr keeps from one command to the next: the notes of its
// searches, the windows of the readers that take each field's digits, and
// room for the digits gathered while the fields are searched.
struct SplitState {
  static constexpr std::size_t kFieldWindow = 64 * 1024;

  explicit SplitState(Input& in);

  SearchNotes notes;
  std::array<Input, 3> readers;  // TDI, TDO, MASK
  // A command's digits, blanks left out, as far as they fit. The room is
  // as large as the main window: every command that fits the window has
  // its digits kept.
  std::size_t digit_room;
  std::unique_ptr<char[]> digits;
  // Told, now and then, how far the conversion has got; may be null.
  Progress* progress = nullptr;
  // Commands that start before this offset are located through the notes.
  std::int64_t scanned_until = 0;
};

// Copies `in` to `out` from the input's current position to its end,
// examining the line after every line feed it copies for an SDR command
// and replacing each long one by its segment lines. The first line, which
// follows no line feed, is not split, but a long command there (after a
// UTF-8 byte-order mark or not) is reported as copied unsplit. Stops early when
// a stop has been requested or the output has failed. Read and write
// errors are left in the input's source and in `out` for the caller.
// `progress`, when given, is told now and then how far the input is done.
ConvertReport convert_stream(Input& in, Output& out, Progress* progress = nullptr);

// What split_long_sdr did with a command.
struct SplitResult {
  enum Outcome {
    kSplit,     // segment lines written; the input is after the command
    kEnded,     // the run must stop partway: a stop request, a failed read or write
    kNotSplit,  // not laid out so that it can be split; nothing written
  };
  Outcome outcome;
  char last = 0;  // kSplit: the last byte consumed, ';' or a blank after it
};

// Replaces one long SDR command by its segment lines. Entered with the
// input just past the character that ended the length's digits. On
// success, leaves the input after the command's ';' and at most two line
// end or blank bytes after it (stopping after a line feed). After
// kNotSplit, the input position is unspecified.
SplitResult split_long_sdr(Input& in, Output& out, std::uint32_t length, SplitState& state);

}  // namespace svfsplit
