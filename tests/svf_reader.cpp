#include "svf_reader.hpp"

#include <cctype>
#include <stdexcept>

namespace svfsplit::test {

namespace {

std::string without_blanks(std::string_view s) {
  std::string out;
  for (const char c : s) {
    if (!std::isspace(static_cast<unsigned char>(c)))
      out += c;
  }
  return out;
}

// Splits an SDR statement's text (after the keyword) into length and fields.
ScanCommand parse_scan(std::string keyword, std::string_view body) {
  ScanCommand cmd;
  cmd.keyword = std::move(keyword);
  std::size_t i = 0;
  auto skip_blanks = [&] {
    while (i < body.size() && std::isspace(static_cast<unsigned char>(body[i]))) ++i;
  };
  skip_blanks();
  while (i < body.size() && std::isdigit(static_cast<unsigned char>(body[i])))
    cmd.length = cmd.length * 10 + static_cast<std::uint64_t>(body[i++] - '0');
  for (;;) {
    skip_blanks();
    if (i >= body.size())
      break;
    std::string name;
    while (i < body.size() && std::isalpha(static_cast<unsigned char>(body[i])))
      name += static_cast<char>(std::toupper(static_cast<unsigned char>(body[i++])));
    skip_blanks();
    if (name.empty() || i >= body.size() || body[i] != '(')
      throw std::runtime_error("bad scan command field near: " + std::string(body.substr(i, 40)));
    const auto close = body.find(')', i);
    if (close == std::string_view::npos)
      throw std::runtime_error("unclosed field");
    cmd.fields.emplace_back(name, without_blanks(body.substr(i + 1, close - i - 1)));
    i = close + 1;
  }
  return cmd;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  throw std::runtime_error("not a hex digit: " + std::string(1, c));
}

const std::string* field(const ScanCommand& cmd, std::string_view name) {
  for (const auto& [key, hex] : cmd.fields) {
    if (key == name)
      return &hex;
  }
  return nullptr;
}

}  // namespace

std::vector<ScanCommand> read_scan_commands(std::string_view text) {
  std::vector<ScanCommand> commands;
  std::string statement;
  bool in_parens = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!in_parens && (c == '!' || (c == '/' && i + 1 < text.size() && text[i + 1] == '/'))) {
      while (i < text.size() && text[i] != '\n') ++i;
      statement += '\n';
      continue;
    }
    if (c == '(')
      in_parens = true;
    if (c == ')')
      in_parens = false;
    if (c != ';' || in_parens) {
      statement += c;
      continue;
    }
    std::size_t start = 0;
    while (start < statement.size() && std::isspace(static_cast<unsigned char>(statement[start]))) ++start;
    std::size_t end = start;
    while (end < statement.size() && std::isalpha(static_cast<unsigned char>(statement[end]))) ++end;
    const std::string keyword = statement.substr(start, end - start);
    if (keyword == "SDR" || keyword == "SDRS")
      commands.push_back(parse_scan(keyword, std::string_view(statement).substr(end)));
    statement.clear();
  }
  return commands;
}

std::string hex_to_bits(std::string_view hex, std::uint64_t bits) {
  std::string out;
  out.reserve(bits);
  for (auto it = hex.rbegin(); it != hex.rend() && out.size() < bits; ++it) {
    const int v = hex_value(*it);
    for (int b = 0; b < 4 && out.size() < bits; ++b) out += (v >> b) & 1 ? '1' : '0';
  }
  out.resize(bits, '0');
  return out;
}

std::vector<Bits> long_commands(const std::vector<ScanCommand>& input) {
  std::vector<Bits> result;
  for (const auto& cmd : input) {
    if (cmd.keyword != "SDR" || cmd.length <= 256 || cmd.fields.empty())
      continue;
    Bits bits;
    bits.length = cmd.length;
    bits.fields["TDI"] = hex_to_bits(cmd.fields[0].second, cmd.length);
    std::size_t i = 1;
    while (i < cmd.fields.size() && cmd.fields[i].first != "TDO") ++i;
    if (i < cmd.fields.size()) {
      bits.fields["TDO"] = hex_to_bits(cmd.fields[i].second, cmd.length);
      for (++i; i < cmd.fields.size(); ++i) {
        if (cmd.fields[i].first == "MASK" || cmd.fields[i].first == "SMASK") {
          bits.fields["MASK"] = hex_to_bits(cmd.fields[i].second, cmd.length);
          break;
        }
      }
    }
    result.push_back(std::move(bits));
  }
  return result;
}

std::vector<Bits> joined_segments(const std::vector<ScanCommand>& output, std::size_t& too_long) {
  std::vector<Bits> result;
  too_long = 0;
  Bits run;
  bool in_run = false;
  for (const auto& cmd : output) {
    if (cmd.keyword == "SDR" && cmd.length > 256)
      ++too_long;
    if (cmd.keyword == "SDR" && !in_run)
      continue;  // an ordinary short command
    in_run = true;
    for (const char* name : {"TDI", "TDO", "MASK"}) {
      if (const auto* hex = field(cmd, name))
        run.fields[name] += hex_to_bits(*hex, cmd.length);
    }
    run.length += cmd.length;
    if (cmd.keyword == "SDR") {
      result.push_back(std::move(run));
      run = Bits{};
      in_run = false;
    }
  }
  return result;
}

}  // namespace svfsplit::test
