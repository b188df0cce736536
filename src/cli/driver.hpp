// Running one conversion from a file name to the file beside it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/convert.hpp"
#include "platform/platform.hpp"

namespace svfsplit {

// The output name: the input name up to and including the first '.' of
// its last path component, then "gvf"; ".gvf" is appended when that
// component has no '.'. The folder part is kept.
std::string derive_output_name(std::string_view input_name, platform::PathStyle style = platform::kNativePathStyle);

// A name as messages show it between other words, so that it stays on one
// line and can be told apart from them: on POSIX systems as a shell would
// read it, 'board.svf', "it's.svf", 'a'$'\n''b.svf'; on Windows in double
// quotes, with what does not print told by what it is and its number,
// "board.svf", "a<control U+000A>b.svf", "<unpaired surrogate U+D800>.svf".
// A format character, which shows nothing or turns the text around it, is
// told so on every system: 'a<format U+202E>b.svf'.
std::string quoted_name(std::string_view name, platform::PathStyle style = platform::kNativePathStyle);
// A name as a line shows it on its own: as it is, unless it holds a
// quote, a control character or bytes that are not UTF-8; quoted_name() then.
std::string shown_name(std::string_view name, platform::PathStyle style = platform::kNativePathStyle);

// Owns the files of one run, from their opening to their closing.
//
// An output name that reaches a regular file, or nothing, gets the new
// output whole or not at all: it is written to a temporary file beside the
// file the name finally reaches (through symbolic links, as far as the
// kernel's rule for shared folders allows), readable by its owner only
// until it is complete, and renamed over it only then, all within the one
// folder opened for it. A file it replaces is replaced only by what is on
// the disk. Anything else there (a device, a FIFO) is written in place.
class FileConversion {
 public:
  enum class Opened { kOk, kCannotOpen, kSameFile };

  // A temporary output still there is removed, whatever the way out. Its
  // files make it neither copyable nor movable.
  ~FileConversion() { discard(); }

  struct Result {
    ConvertReport report;
    platform::Error read_error = 0;   // of the first failed read, or 0
    platform::Error write_error = 0;  // of the first failed write, close or rename, or 0
  };

  // Opens the input, which must be a regular file, and readies the output,
  // which must not be the input. Nothing under the output name changes.
  Opened open(const std::string& input_name, const std::string& output_name);

  // Converts the whole input and closes the files. The output takes its
  // place when nothing failed and no stop was requested. Running out of
  // memory is a write error (ENOMEM): no exception leaves.
  Result run();

  // Removes the temporary output of a run that did not complete; what
  // was under the output name stays as it was.
  void discard();

  // Why open(), run() or discard() failed, for standard error ("cannot
  // open 'a.svf': No such file or directory"), a line each.
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  Opened cannot(std::string what, const std::string& name, std::string_view reason);
  platform::Error create_temporary();

  platform::File input_;
  platform::File output_;
  std::string output_name_;                       // as the user typed it
  std::string target_;                            // the file the output name finally reaches
  std::string folder_name_;                       // target_'s folder part: "" or ending in a separator
  platform::Folder folder_;                       // that folder, opened once
  std::string temporary_;                         // in folder_: written, then renamed over target_; empty once renamed
  std::optional<platform::FileStatus> replaced_;  // the file target_ held, if any
  bool in_place_ = false;                         // the output is not a regular file
  std::int64_t input_size_ = 0;
  std::vector<std::string> problems_;
};

}  // namespace svfsplit
