// The copy loop and the recognition of SDR commands at line starts.
#include "convert/convert.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "convert/kernels/byte_search.hpp"

namespace svfsplit {

namespace {

constexpr bool is_digit(int c) {
  return c >= '0' && c <= '9';
}

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
    bool line_start = false;  // the first line follows no line feed
    for (;;) {
      if (line_start) {
        line_start = recognise_sdr();
        continue;
      }
      if (!copy_text())
        break;
      line_start = true;
    }
    if (!report_.interrupted && report_.unsplit_count > 0)
      number_unsplit_lines();
    report_.bytes_searched = state_.notes.bytes_searched() + state_.bytes_scanned;
    report_.located_in_memory = state_.located_in_memory;
    report_.split_at_once = state_.split_at_once;
    return report_;
  }

 private:
  // The longest head of a line that recognise_sdr() reads: "SDR", the
  // separator, the digits of a length and the byte after them.
  static constexpr std::size_t kLongestHead = 5 + kMaxLengthDigits;

  bool copy_text();
  void pass_on(std::span<const unsigned char> bytes);
  bool recognise_sdr();
  bool split_or_copy(std::uint32_t bits, int after, std::int64_t start);
  template <class Next, class Settle>
  bool recognise(Next next, Settle settle, std::int64_t start);
  void note_unsplit(std::int64_t offset, std::uint32_t bits);
  void number_unsplit_lines();

  Input& in_;
  Output& out_;
  SplitState state_;
  ConvertReport report_;
  std::int64_t next_progress_ = 0;  // input offset of the next report
  std::size_t lend_from_;           // bytes: the shortest stretch lent
};

// The progress line is told of the copy loop's offset every this many bytes.
constexpr std::int64_t kProgressStep = 1 << 20;

// Copies bytes up to and including the next line feed whose line may be
// an SDR command: one followed by "SDR", or too near the end of the window
// to tell, found in one pass over the window. Other line feeds are copied
// in the same run, and their lines need no examination: they do not start
// with "SDR". Returns true when it
// stopped after such a line feed, false at the end of the input or when the
// run must stop.
bool CopyLoop::copy_text() {
  for (;;) {
    if (platform::stop_requested()) {
      report_.interrupted = true;
      return false;
    }
    if (out_.failed())
      return false;
    if (state_.progress != nullptr && in_.tell() >= next_progress_) {
      state_.progress->at(in_.tell());
      next_progress_ = in_.tell() + kProgressStep;
    }
    const auto window = in_.ahead();
    if (window.empty())
      return false;
    if (const auto* line = find_line_to_examine(window.data(), window.data() + window.size())) {
      const auto n = static_cast<std::size_t>(line - window.data());
      pass_on(window.first(n));
      in_.skip(n);
      return true;
    }
    pass_on(window);
    in_.skip(window.size());
  }
}

// Writes bytes of the window that go out unchanged: a long stretch is lent
// to the output's writing thread, where it can take it, so that it is
// written from the window without a copy; the rest is copied.
void CopyLoop::pass_on(std::span<const unsigned char> bytes) {
  if (bytes.size() >= lend_from_) {
    if (Lease* const lease = in_.lease(); lease != nullptr && out_.lend(bytes.data(), bytes.size(), *lease))
      return;
  }
  out_.write(bytes.data(), bytes.size());
}

// Examines the line that starts at the input's position, right after a
// line feed that has been written. Writes what it reads unless a long SDR
// is split, and returns true when the last byte it wrote or consumed is a
// line feed, so that the next line is examined in turn. The line's head is
// read straight from the window where it holds the longest head there is.
bool CopyLoop::recognise_sdr() {
  const std::int64_t start = in_.tell();
  const auto window = in_.ahead();
  if (window.size() >= kLongestHead) {
    const unsigned char* p = window.data();
    // The usual head, "SDR", a separator and up to 9 digits, whose length
    // cannot saturate: taken in one go and written from the window.
    if (p[0] == 'S' && p[1] == 'D' && p[2] == 'R' && is_digit(p[4])) {
      std::uint32_t length = p[4] - '0';
      std::size_t used = 5;
      for (; used < 13 && is_digit(p[used]); ++used) length = length * 10 + (p[used] - '0');
      if (const int c = p[used]; !is_digit(c)) {
        if (length > kMaxUnsplitBits) {
          in_.skip(used + 1);
          return split_or_copy(length, c, start);
        }
        out_.write(p, used + 1);
        in_.skip(used + 1);
        return c == '\n';
      }
    }
    return recognise([&p] { return static_cast<int>(*p++); },
                     [&] { in_.skip(static_cast<std::size_t>(p - window.data())); }, start);
  }
  return recognise([this] { return in_.get(); }, [] {}, start);
}

// Splits the long SDR command whose head, up to and including the byte
// `after` its length, has been read; copies the whole command through as
// plain text, from its "S" at `start`, when it cannot be split.
bool CopyLoop::split_or_copy(std::uint32_t bits, int after, std::int64_t start) {
  if (after != ';' && after != kEnd) {
    const SplitResult split = split_long_sdr(in_, out_, bits, state_);
    if (split.outcome != SplitResult::kNotSplit)
      return split.outcome == SplitResult::kSplit && split.last == '\n';
  }
  note_unsplit(start, bits);
  in_.seek(start);
  return false;
}

// recognise_sdr() with the line's bytes from `next`, which gives kEnd at
// the end of the input; `settle` leaves the input after the bytes taken.
template <class Next, class Settle>
bool CopyLoop::recognise(Next next, Settle settle, std::int64_t start) {
  static constexpr char kSdr[] = {'S', 'D', 'R'};
  for (std::size_t i = 0; i < sizeof kSdr; ++i) {
    const int c = next();
    if (c == kSdr[i])
      continue;
    settle();
    // Not an SDR command: what matched so far and this byte are plain text.
    out_.write(kSdr, i);
    if (c == kEnd)
      return false;
    out_.put(static_cast<char>(c));
    return c == '\n';
  }

  std::array<char, kLongestHead - 1> header;
  std::memcpy(header.data(), kSdr, sizeof kSdr);
  std::size_t used = 3;
  int c = next();  // the separator, never examined
  if (c == kEnd) {
    settle();
    out_.write(header.data(), used);
    return false;
  }
  header[used++] = static_cast<char>(c);

  std::uint64_t length = 0;
  int digits = 0;
  for (c = next(); is_digit(c); c = next()) {
    if (digits == kMaxLengthDigits) {
      // No length is written with so many digits: the line is plain text.
      settle();
      out_.write(header.data(), used);
      out_.put(static_cast<char>(c));
      return false;
    }
    header[used++] = static_cast<char>(c);
    ++digits;
    length = std::min(length * 10 + static_cast<std::uint64_t>(c - '0'), kTooLong);
  }
  settle();

  if (length > kMaxUnsplitBits && length < kTooLong)
    return split_or_copy(static_cast<std::uint32_t>(length), c, start);

  out_.write(header.data(), used);
  if (c == kEnd)
    return false;
  out_.put(static_cast<char>(c));
  return c == '\n';
}

void CopyLoop::note_unsplit(std::int64_t offset, std::uint32_t bits) {
  if (report_.unsplit_count < kReportedUnsplit)
    report_.unsplit[report_.unsplit_count] = {offset, 0, bits};
  ++report_.unsplit_count;
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
      line += count_line_feeds(window.data(), n);
      in_.skip(n);
    }
    command.line = line;
  }
}

}  // namespace

ConvertReport convert_stream(Input& in, Output& out, Progress* progress) {
  CopyLoop loop(in, out, progress);
  return loop.run();
}

}  // namespace svfsplit
