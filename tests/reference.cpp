#include "reference.hpp"

#include <algorithm>
#include <optional>

namespace svfsplit::test {

namespace {

struct Span {
  std::size_t open = 0;
  std::size_t close = 0;
};

bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

class Reference {
 public:
  explicit Reference(std::string_view in) : in_(in) {}

  ReferenceResult run() {
    // The first line, after a UTF-8 byte-order mark or not, is not split;
    // a long command there counts as unsplit.
    std::size_t i = in_.starts_with("\xef\xbb\xbf") ? 3 : 0;
    result_.output += in_.substr(0, i);
    bool line_start = i < in_.size() && recognise(i, false);
    while (i < in_.size()) {
      if (line_start) {
        line_start = recognise(i);
        continue;
      }
      result_.output += in_[i];
      line_start = in_[i] == '\n';
      ++i;
    }
    return result_;
  }

 private:
  // Handles the line at i, splitting a long command if `splits`;
  // returns whether the next position starts a line.
  bool recognise(std::size_t& i, bool splits = true) {
    const std::size_t n = in_.size();
    std::size_t j = i;
    for (const char letter : {'S', 'D', 'R'}) {
      if (j >= n) {
        result_.output += in_.substr(i, j - i);
        i = j;
        return false;
      }
      if (in_[j] != letter) {
        result_.output += in_.substr(i, j + 1 - i);
        i = j + 1;
        return in_[j] == '\n';
      }
      ++j;
    }
    if (j >= n) {
      result_.output += "SDR";
      i = j;
      return false;
    }
    ++j;  // the separator
    std::uint64_t length = 0;
    int digits = 0;
    while (j < n && in_[j] >= '0' && in_[j] <= '9') {
      if (digits == 59) {
        result_.output += in_.substr(i, j + 1 - i);
        i = j + 1;
        return false;
      }
      length = std::min<std::uint64_t>(length * 10 + static_cast<std::uint64_t>(in_[j] - '0'), 1ull << 32);
      ++digits;
      ++j;
    }
    if (length > 256 && length < (1ull << 32)) {
      if (splits && j < n && in_[j] != ';') {
        if (const auto resume = split(j + 1, static_cast<std::uint32_t>(length))) {
          i = resume->first;
          return resume->second == '\n';
        }
      }
      ++result_.unsplit;
      result_.output += in_[i];  // the command's "S", then plain bytes
      ++i;
      return false;
    }
    const std::size_t end = std::min(j + 1, n);
    result_.output += in_.substr(i, end - i);
    i = end;
    return j < n && in_[j] == '\n';
  }

  std::optional<Span> field(std::size_t from, std::size_t unexamined) const {
    std::optional<std::size_t> open;
    for (std::size_t p = from;; ++p) {
      if (p >= in_.size() || in_[p] == ';')
        return std::nullopt;
      if (in_[p] == '(') {
        if (open)
          return std::nullopt;
        open = p;
      } else if (in_[p] == ')' && p >= from + unexamined) {
        if (!open)
          return std::nullopt;
        return Span{*open, p};
      }
    }
  }

  // The first of `a` or ';' from p, or npos.
  std::size_t find(std::size_t p, char a) const {
    while (p < in_.size() && in_[p] != a && in_[p] != ';') ++p;
    return p < in_.size() ? p : std::string_view::npos;
  }

  // The field's ceil(length / 4) digits, zero-extended or cut, file order.
  std::string digits(const Span& s, std::uint32_t length) const {
    std::string d;
    for (std::size_t p = s.open + 1; p < s.close; ++p) {
      if (!blank(in_[p]))
        d += in_[p];
    }
    const std::size_t want = (static_cast<std::size_t>(length) + 3) / 4;
    if (d.size() >= want)
      return d.substr(d.size() - want);
    return std::string(want - d.size(), '0') + d;
  }

  // Writes the segments of the command whose keyword starts at `entry`;
  // returns where the copy goes on and the last byte consumed.
  std::optional<std::pair<std::size_t, char>> split(std::size_t entry, std::uint32_t length) {
    std::optional<Span> fields[3];
    fields[0] = field(entry, 4);
    if (!fields[0])
      return std::nullopt;
    std::size_t p = find(fields[0]->close + 1, 'T');
    if (p != std::string_view::npos && in_[p] == 'T') {
      if (!(fields[1] = field(p + 1, 3)))
        return std::nullopt;
      p = find(fields[1]->close + 1, 'M');
      if (p != std::string_view::npos && in_[p] == 'M') {
        if (!(fields[2] = field(p + 1, 4)))
          return std::nullopt;
        p = find(fields[2]->close + 1, ';');
      }
    }
    if (p == std::string_view::npos)
      return std::nullopt;

    std::string data[3];
    for (int f = 0; f < 3; ++f) {
      if (fields[f])
        data[f] = digits(*fields[f], length);
    }
    const std::uint32_t segments = (length + 255) / 256;
    for (std::uint32_t k = 0; k < segments; ++k) {
      const bool last = k + 1 == segments;
      const std::size_t remainder = length - 256ull * k;
      const std::size_t count = last ? (remainder + 3) / 4 : 64;
      const std::size_t start = data[0].size() - 64 * k - count;
      result_.output += last ? "SDR " + std::to_string(remainder) + " TDI (" : std::string("SDRS 256 TDI (");
      result_.output += data[0].substr(start, count);
      if (fields[1])
        result_.output += ") TDO (" + data[1].substr(start, count);
      if (fields[2])
        result_.output += ") MASK (" + data[2].substr(start, count);
      result_.output += ") ;\n";
    }

    char last = ';';
    std::size_t q = p + 1;
    for (int t = 0; t < 2 && last != '\n' && q < in_.size(); ++t) {
      const char c = in_[q];
      if (c != '\r' && c != '\n' && c != ' ' && c != '\t')
        break;
      last = c;
      ++q;
    }
    return std::make_pair(q, last);
  }

  std::string_view in_;
  ReferenceResult result_;
};

}  // namespace

ReferenceResult reference_convert(std::string_view in) {
  return Reference(in).run();
}

}  // namespace svfsplit::test
