// An independent reading of SVF scan commands, to check the converter's
// output against its input bit for bit.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace svfsplit::test {

struct ScanCommand {
  std::string keyword;  // "SDR" or "SDRS"
  std::uint64_t length = 0;
  std::vector<std::pair<std::string, std::string>> fields;  // keyword, hex digits without blanks
};

// The SDR and SDRS statements of an SVF text, comments left out.
std::vector<ScanCommand> read_scan_commands(std::string_view text);

// The low `bits` bits of a hex number, least significant first, as '0'/'1'.
std::string hex_to_bits(std::string_view hex, std::uint64_t bits);

// A command's length and its fields as bit strings.
struct Bits {
  std::uint64_t length = 0;
  std::map<std::string, std::string> fields;
  bool operator==(const Bits&) const = default;
};

// The long commands (more than 256 bits) of an input, with the fields the
// converter carries: the first field as TDI, then TDO, then the first MASK
// or SMASK after the TDO.
std::vector<Bits> long_commands(const std::vector<ScanCommand>& input);

// The segment runs of an output (SDRS lines closed by an SDR line), each
// joined back into one command, first segment least significant. Also
// returns, in `too_long`, how many SDR commands declare more than 256 bits.
std::vector<Bits> joined_segments(const std::vector<ScanCommand>& output, std::size_t& too_long);

}  // namespace svfsplit::test
