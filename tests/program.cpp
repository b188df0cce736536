// What a run of the program left behind, on any system.
#include "program.hpp"

namespace svfsplit::test {

std::vector<std::string> hidden_entries(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.empty() && name[0] == '.')
      names.push_back(name);
  }
  return names;
}

std::uintmax_t temporary_size(const fs::path& dir) {
  std::error_code ec;
  for (const auto& name : hidden_entries(dir)) {
    const auto size = fs::file_size(dir / name, ec);
    if (!ec)
      return size;
  }
  return 0;
}

}  // namespace svfsplit::test
