// The copy loop and the recognition of SDR commands at line starts.
#include "convert/convert.hpp"

#include <algorithm>
#include <limits>

#include "convert/kernels/kernels.hpp"

namespace svfsplit {

namespace {

// Unchanged stretches of at least this many bytes (or a quarter of the
// window, when that is less) are written from the window without a copy.
constexpr std::size_t kLendFrom = 64 * 1024;

// Lengths are kept saturated at this value: anything above the largest
// 32-bit length is impossible and is copied through.
constexpr std::uint64_t kTooLong = std::uint64_t{std::numeric_limits<std::uint32_t>::max()} + 1;

class CopyLoop {
 public:
  CopyLoop(Input& in, Output& out, Progress* progress)
      : in_(in), out_(out), state_(in), lend_from_(std::clamp<std::size_t>(in.window_size() / 4, 1, kLendFrom)) {
    state_.progress = progress;
  }

  ConvertReport run() {
    report_.not_8bit_text = not_8bit_text();
    // A UTF-8 byte-order mark starts no line; the first line is looked at
    // for a long command all the same, not split.
    if (const std::int64_t start = in_.tell(); in_.get() != 0xef || in_.get() != 0xbb || in_.get() != 0xbf)
      in_.seek(start);
    else
      out_.write("\xef\xbb\xbf", 3);
    first_line_ = in_.tell();
    for (bool line_start = true; line_start || copy_text();) line_start = recognise_sdr();
    if (report_.unsplit_count > 0 && !platform::stop_requested())
      number_unsplit_lines();
    return report_;
  }

 private:
  // The longest head of a line that recognise_sdr() reads: "SDR", the
  // separator, the digits of a length and the byte after them.
  static constexpr std::size_t kLongestHead = 5 + kMaxLengthDigits;

  bool not_8bit_text();
  bool copy_text();
  void pass_on(std::span<const unsigned char> bytes);
  bool recognise_sdr();
  bool recognise(std::span<const unsigned char> head, std::int64_t start);
  bool pass_head(std::span<const unsigned char> bytes);
  bool split_or_copy(std::uint32_t bits, int after, std::int64_t start);
  void number_unsplit_lines();

  Input& in_;
  Output& out_;
  SplitState state_;
  ConvertReport report_;
  std::int64_t next_progress_ = 0;  // input offset of the next report
  std::size_t lend_from_;           // bytes: the shortest stretch lent
  std::int64_t first_line_ = 0;     // where the line that follows no line feed starts: not split
};

// The progress line is told of the copy loop's offset every this many bytes.
constexpr std::int64_t kProgressStep = 1 << 20;

// Whether the input from its position on begins with a UTF-16 byte-order
// mark, or holds a NUL byte in its first kTextCheck bytes, as far as the
// first window holds them: nothing is read a second time.
bool CopyLoop::not_8bit_text() {
  const auto head = in_.ahead();
  const std::size_t n = std::min<std::size_t>(head.size(), kTextCheck);
  const bool mark = n >= 2 && ((head[0] == 0xff && head[1] == 0xfe) || (head[0] == 0xfe && head[1] == 0xff));
  return mark || kernels().find_first_of(head.data(), n, ByteSet(std::string_view("\0", 1))) != nullptr;
}

// Copies bytes up to and including the next line feed whose line may be
// an SDR command: one followed by "SDR", or too near the end of the window
// to tell, found in one pass over the window. Other line feeds are copied
// in the same run, and their lines need no examination: they do not start
// with "SDR". Returns true when it
// stopped after such a line feed, false at the end of the input or when the
// run must stop.
bool CopyLoop::copy_text() {
  for (;;) {
    if (platform::stop_requested() || out_.failed())
      return false;
    if (state_.progress != nullptr && in_.tell() >= next_progress_) {
      state_.progress->at(in_.tell());
      next_progress_ = in_.tell() + kProgressStep;
    }
    const auto window = in_.ahead();
    if (window.empty())
      return false;
    if (const auto* line = kernels().find_line_to_examine(window.data(), window.data() + window.size())) {
      pass_on(window.first(static_cast<std::size_t>(line - window.data())));
      return true;
    }
    pass_on(window);
  }
}

// Writes bytes of the window that go out unchanged, and moves the input
// past them: a long stretch is lent to the output's writing thread, where
// it can take it, so that it is written from the window without a copy;
// the rest is copied. Inlined into its two callers: the program's own
// instructions per byte of the benchmark's input B fall from 1.55 to 1.53.
[[gnu::always_inline]] inline void CopyLoop::pass_on(std::span<const unsigned char> bytes) {
  in_.skip(bytes.size());
  if (bytes.size() >= lend_from_) {
    if (Lease* const lease = in_.lease(); lease != nullptr && out_.lend(bytes.data(), bytes.size(), *lease))
      return;
  }
  out_.write(bytes.data(), bytes.size());
}

// Examines the line that starts at the input's position, right after a
// line feed that has been written (or the first line). Splits it when it is a long SDR, and
// returns true when the last byte it wrote or consumed is a line feed, so
// that the next line is examined in turn. Any other line is left to the
// text scan, whole, with the input at its start. The line's head
// is read from the window, moved to hold the longest head there is when
// it can; else, in a window smaller than that or at the input's end, from
// a copy.
bool CopyLoop::recognise_sdr() {
  const std::int64_t start = in_.tell();
  auto head = in_.ahead();
  if (head.size() < kLongestHead)
    head = in_.ahead_in_full();
  std::array<unsigned char, kLongestHead> copy;
  if (head.size() < kLongestHead) {
    std::size_t n = 0;
    for (int c; n < copy.size() && (c = in_.get()) != kEnd;) copy[n++] = static_cast<unsigned char>(c);
    in_.seek(start);
    head = std::span(copy).first(n);
  }
  return recognise(head, start);
}

// recognise_sdr() over `head`, the line's first kLongestHead bytes, or
// all there are before the end of the input; the input is at its start.
bool CopyLoop::recognise(std::span<const unsigned char> head, std::int64_t start) {
  // Up to and including the byte at `at`, as far as the head goes.
  const auto through = [head](std::size_t at) { return head.first(std::min(at + 1, head.size())); };
  std::size_t at = 0;
  while (at < 3 && at < head.size() && head[at] == "SDR"[at]) ++at;
  if (at < 3 || head.size() == 3)
    return false;  // not an SDR command: plain text
  std::uint64_t length = 0;
  for (at = 4; at < head.size() && head[at] >= '0' && head[at] <= '9'; ++at)  // after the separator, never examined
    length = std::min(length * 10 + static_cast<std::uint64_t>(head[at] - '0'), kTooLong);
  // Plain text (no length is written with more digits than that), left
  // to the text scan; but a line feed after "SDR" starts no line to
  // examine, and is passed on here with what follows.
  if (at > 4 + kMaxLengthDigits || length <= kMaxUnsplitBits || length == kTooLong)
    return head[3] == '\n' && pass_head(through(at));
  in_.skip(through(at).size());
  return split_or_copy(static_cast<std::uint32_t>(length), at < head.size() ? head[at] : kEnd, start);
}

// Writes the bytes of a line's head that go out unchanged and moves the
// input past them; true when the last is a line feed.
bool CopyLoop::pass_head(std::span<const unsigned char> bytes) {
  out_.write(bytes.data(), bytes.size());
  in_.skip(bytes.size());
  return bytes.back() == '\n';
}

// Splits the long SDR command whose head, up to and including the byte
// `after` its length, has been read; copies the whole command through as
// plain text, from its "S" at `start`, when it cannot be split or is on
// the first line.
bool CopyLoop::split_or_copy(std::uint32_t bits, int after, std::int64_t start) {
  if (start != first_line_ && after != ';' && after != kEnd) {
    const SplitResult split = split_long_sdr(in_, out_, bits, state_);
    if (split.outcome != SplitResult::kNotSplit)
      return split.outcome == SplitResult::kSplit && split.last == '\n';
  }
  if (report_.unsplit_count < kReportedUnsplit)
    report_.unsplit[report_.unsplit_count] = {start, 0, bits};
  ++report_.unsplit_count;
  in_.seek(start);
  return false;
}

// Counts line feeds from the start of the input to give each reported
// command its line number; runs only when there is something to report.
void CopyLoop::number_unsplit_lines() {
  const auto reported = std::min<std::uint64_t>(report_.unsplit_count, kReportedUnsplit);
  std::uint64_t line = 1;
  in_.seek(0);
  for (std::uint64_t i = 0; i < reported; ++i) {
    auto& command = report_.unsplit[i];
    while (in_.tell() < command.offset) {
      const auto window = in_.ahead();
      if (window.empty())
        break;
      const auto n = static_cast<std::size_t>(
          std::min<std::int64_t>(static_cast<std::int64_t>(window.size()), command.offset - in_.tell()));
      line += static_cast<std::uint64_t>(std::count(window.data(), window.data() + n, '\n'));
      in_.skip(n);
    }
    command.line = line;
  }
}

}  // namespace

ConvertReport convert_stream(Input& in, Output& out, Progress* progress) {
  return CopyLoop(in, out, progress).run();
}

}  // namespace svfsplit
