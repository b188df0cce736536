// Running one conversion from a file name to the file beside it.
#pragma once

#include <string>
#include <string_view>

#include "convert.hpp"
#include "platform.hpp"

namespace svfsplit {

// The output name: the input name up to and including the first '.' of
// its last path component, then "gvf"; ".gvf" is appended when that
// component has no '.'. The folder part is kept.
std::string derive_output_name(std::string_view input_name);

// Owns the two files of one run, from their opening to their closing.
class FileConversion {
 public:
  enum class Opened { kOk, kCannotOpen, kSameFile };

  struct Result {
    ConvertReport report;
    platform::Error read_error = 0;   // of the first failed read, or 0
    platform::Error write_error = 0;  // of the first failed write or close, or 0
  };

  // Opens the input, which must be a regular file, then the output, which
  // must not be the input; the output is emptied only once both checks
  // have passed. Nothing is created when the input cannot be opened.
  Opened open(const std::string& input_name, const std::string& output_name);

  // Converts the whole input and closes both files. Running out of memory
  // is a write error (ENOMEM): no exception leaves.
  Result run();

  // Removes the output after a failed run, unless it is not a regular file
  // (a device reached through a link, say).
  void discard();

 private:
  platform::File input_;
  platform::File output_;
  std::string output_name_;
  bool output_created_ = false;
  bool output_regular_ = false;
};

}  // namespace svfsplit
