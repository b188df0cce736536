#include "cli/driver.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>
#include <optional>
#include <random>
#include <system_error>

namespace svfsplit {

namespace {

using platform::PathStyle;

// Names of temporary files longer than this fall back to a short one; it
// is what most file systems allow for a name in a folder.
constexpr std::size_t kLongestName = 255;
constexpr std::size_t kRandomChars = 6;

// What a character of a name is when it does not print as itself, as
// messages tell it: a control character (C0, DEL, C1), a format character
// that shows nothing or turns the text around it (U+061C, U+200B to U+200F,
// U+202A to U+202E, U+2060 to U+206F, U+FEFF), an unpaired surrogate, or a
// byte that is not UTF-8; nullptr when it prints as itself.
const char* hidden_kind(const platform::NameChar& c) {
  const char32_t u = c.code;
  const bool format = u == 0x61c || (u >= 0x200b && u <= 0x200f) || (u >= 0x202a && u <= 0x202e) ||
                      (u >= 0x2060 && u <= 0x206f) || u == 0xfeff;
  return !c.valid                              ? "byte"
         : u < 0x20 || (u >= 0x7f && u < 0xa0) ? "control"
         : u >= 0xd800 && u < 0xe000           ? "unpaired surrogate"
         : format                              ? "format"
                                               : nullptr;
}

// A character that does not print, told by what it is and its number:
// <control U+000A>, <format U+202E>, <byte 0xFF>.
std::string told(const char* kind, const platform::NameChar& c) {
  std::string out = std::string("<") + kind + (c.valid ? " U+" : " 0x");
  for (int shift = c.valid ? 12 : 4; shift >= 0; shift -= 4) out += "0123456789ABCDEF"[(c.code >> shift) & 0xf];
  return out + '>';
}

// Whether every character of the name prints as itself.
bool prints_as_itself(std::string_view name) {
  for (std::size_t i = 0; i < name.size(); i += platform::name_char_at(name, i).size) {
    if (hidden_kind(platform::name_char_at(name, i)) != nullptr)
      return false;
  }
  return true;
}

// A byte of a name in the shell's $'...' form.
std::string escaped(unsigned char c) {
  if (const char* named = c == '\n' ? "\\n" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : nullptr)
    return named;
  return {'\\', static_cast<char>('0' + (c >> 6)), static_cast<char>('0' + ((c >> 3) & 7)),
          static_cast<char>('0' + (c & 7))};
}

}  // namespace

std::string derive_output_name(std::string_view input_name, PathStyle style) {
  const auto dot = input_name.find('.', platform::last_component(input_name, style));
  return dot == std::string_view::npos ? std::string(input_name) + ".gvf"
                                       : std::string(input_name.substr(0, dot + 1)) + "gvf";
}

std::string quoted_name(std::string_view name, PathStyle style) {
  // The whole name in one pair of quotes where they keep it as it is:
  // always on Windows, whose quotes are double; elsewhere single ones, or
  // double ones where a single quote is in the name and nothing that they
  // would not keep.
  const bool windows = style == PathStyle::kWindows, single_quote = name.find('\'') != std::string_view::npos;
  const bool whole =
      windows || (prints_as_itself(name) && (!single_quote || name.find_first_of("\"$`\\") == std::string_view::npos));
  const char quote = windows || (whole && single_quote) ? '"' : '\'';
  // Else printable runs in single quotes, and the rest between them: \'
  // for a single quote, $'\n' or $'\033' for what does not print but
  // format characters, which are told in the quotes, as Windows tells all.
  enum class Run { kNone, kQuoted, kEscaped };  // what `out` has open
  std::string out(whole ? 1 : 0, quote);
  Run run = whole ? Run::kQuoted : Run::kNone;
  for (std::size_t i = 0, size = 0; i < name.size(); i += size) {
    const platform::NameChar c = platform::name_char_at(name, i);
    const char* kind = hidden_kind(c);
    const bool tell = kind != nullptr && (windows || kind == std::string_view("format"));
    const Run next = kind != nullptr && !tell ? Run::kEscaped : name[i] == '\'' && !whole ? Run::kNone : Run::kQuoted;
    if (next != run) {
      out += run == Run::kNone ? "" : "'";
      out += next == Run::kQuoted ? "'" : next == Run::kEscaped ? "$'" : "";
      run = next;
    }
    size = c.size;
    if (next == Run::kQuoted)
      out += tell ? told(kind, c) : std::string(name.substr(i, size));
    for (std::size_t k = 0; next != Run::kQuoted && k < size; ++k)
      out += next == Run::kNone ? "\\'" : escaped(static_cast<unsigned char>(name[i + k]));
  }
  if (run != Run::kNone)
    out += quote;
  return out;
}

std::string shown_name(std::string_view name, PathStyle style) {
  const bool as_it_is = prints_as_itself(name) && name.find_first_of("'\"") == std::string_view::npos;
  return as_it_is ? std::string(name) : quoted_name(name, style);
}

FileConversion::Opened FileConversion::cannot(std::string what, const std::string& name, std::string_view reason) {
  problems_.push_back(std::move(what) + " " + quoted_name(name) + ": " + std::string(reason));
  return Opened::kCannotOpen;
}

FileConversion::Opened FileConversion::open(const std::string& input_name, const std::string& output_name) {
  output_name_ = output_name;
  if (platform::is_pattern(input_name))
    return cannot("cannot open", input_name, "wildcards are not expanded; give one file name");
  platform::FileStatus input{};
  platform::Error error = platform::open_input(input_name, input_);
  if (error != 0 || (error = platform::status(input_, input)) != 0)
    return cannot("cannot open", input_name, platform::error_text(error));
  if (!input.regular)
    return cannot("cannot open", input_name, "not a regular file");
  input_size_ = input.size;

  // The name is compared first only so that an input that may not be
  // written (a read-only x.gvf) is named as the input, not as unwritable.
  platform::FileStatus existing{};
  if (platform::status(output_name, existing) == 0 && existing.id == input.id)
    return Opened::kSameFile;

  // The links at the output name are resolved, as far as the kernel's rule
  // for shared folders allows, then what they reach is opened in its
  // folder for writing, neither truncated nor through a link, and must be
  // the file that was seen. So a directory, a read-only file or the input
  // itself is refused before anything is written, and nothing is written
  // through a link that another user planted, even during these steps: a
  // name that changed between the look and the opening is looked at again.
  constexpr int kLooks = 3;
  platform::File previous;
  for (int look = 1;; ++look) {
    std::optional<platform::FileId> seen;
    if (const platform::Error e = platform::resolve_links(output_name, target_, seen))
      return cannot("cannot create", output_name, platform::error_text(e));
    folder_name_ = target_.substr(0, platform::last_component(target_));
    if (const platform::Error e = platform::open_folder(folder_name_, folder_, kLongestName))
      return cannot("cannot create a temporary file beside", output_name, platform::error_text(e));
    error = platform::open_existing_output(folder_, target_.substr(folder_name_.size()), previous);
    if (error != 0 && seen && *seen == input.id)
      return Opened::kSameFile;  // that the input is open may be what kept it from opening (Windows)
    if (error == ENOENT && !seen)
      break;  // nothing there: a new output
    if (error == 0) {
      if (const platform::Error e = platform::status(previous, existing))
        return cannot("cannot create", output_name, platform::error_text(e));
      if (seen && existing.id == *seen)
        break;
    }
    if (error != 0 && error != ENOENT && error != ELOOP)
      return cannot("cannot create", output_name, platform::error_text(error));
    if (look == kLooks)
      return cannot("cannot create", output_name, "changed by another program while it was opened");
    (void)platform::close(previous);
  }
  if (previous.is_open()) {
    if (existing.id == input.id)
      return Opened::kSameFile;
    if (!existing.regular) {
      output_ = std::move(previous);
      in_place_ = true;
      return Opened::kOk;
    }
    replaced_ = existing;
  }
  if (const platform::Error e = create_temporary())
    return cannot("cannot create a temporary file beside", output_name, platform::error_text(e));
  return Opened::kOk;
}

// Creates the temporary output beside the target, under a name of its own:
// ".board.gvf." and random characters, or ".svfsplit." and random
// characters when that would be too long.
platform::Error FileConversion::create_temporary() {
  const std::string entry = target_.substr(folder_name_.size());
  const std::string prefix = entry.size() + 2 + kRandomChars <= kLongestName ? "." + entry + "." : ".svfsplit.";
  static constexpr std::string_view kChars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::mt19937_64 generator = [] {
    std::uint64_t seed = static_cast<std::uint64_t>(platform::monotonic_milliseconds());
    try {
      std::random_device device;
      seed ^= (std::uint64_t{device()} << 32) ^ device();
    } catch (const std::exception&) {
      // No source of randomness: the clock alone, as names are only tried.
    }
    return std::mt19937_64(seed);
  }();
  platform::Error error = EEXIST;
  for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
    std::string name = prefix;
    for (std::size_t i = 0; i < kRandomChars; ++i) name += kChars[generator() % kChars.size()];
    error = platform::create_temporary(folder_, name, output_);
    if (error == 0)
      temporary_ = std::move(name);
  }
  return error;
}

FileConversion::Result FileConversion::run() {
  Result result;
  try {
    const Source source = Source::file(input_);
    Input in(source);
    Output out(output_, in_place_ ? Output::Writer::kThisThread : Output::Writer::kSecondThread);
    // Unchanged text is written from the input's windows, three of them
    // taking turns, while the writing thread has some.
    if (!in_place_)
      in.lend_windows(3);
    // A file that replaces one the user has is synced before it does;
    // written back as it goes, it leaves little to wait for then.
    if (replaced_)
      out.write_back_as_it_goes();
    // A line that shows how far the run has got, on a terminal only.
    std::optional<Progress> progress;
    if (platform::is_terminal(platform::Stream::kError))
      progress.emplace(input_size_);
    result.report = convert_stream(in, out, progress ? &*progress : nullptr);
    out.flush();
    result.read_error = source.error();
    result.write_error = out.error();
  } catch (const std::bad_alloc&) {
    // No room for the buffers: the output cannot be written.
    result.write_error = ENOMEM;
  } catch (const std::system_error& e) {
    result.write_error = e.code().value() != 0 ? e.code().value() : EIO;
  }
  (void)platform::close(input_);
  if (in_place_) {
    if (const platform::Error error = platform::close(output_); error != 0 && result.write_error == 0)
      result.write_error = error;
    return result;
  }
  if (result.read_error != 0 || result.write_error != 0 || platform::stop_requested())
    return result;  // discard() removes the temporary file
  // The new file takes the old one's permissions, or a new file's, once it
  // is complete. Where they cannot be set (a file system without them,
  // say), it stays readable by its owner only.
  (void)platform::set_permissions(output_, replaced_ ? &*replaced_ : nullptr);
  // What the user had is replaced only by what is on the disk, and the
  // rename is then made to last too. A new output is not synced, as cat
  // and cp do not: nothing the user had is at stake.
  if (replaced_ && (result.write_error = platform::sync(output_)) != 0)
    return result;
  // A stop requested until now keeps the old output; one requested later
  // waits for the rename.
  if (const platform::Error error =
          platform::replace(folder_, output_, temporary_, target_.substr(folder_name_.size()))) {
    result.write_error = error;
    if (!platform::stop_requested())
      problems_.push_back("cannot replace " + quoted_name(output_name_) + ": " + platform::error_text(error));
    return result;
  }
  temporary_.clear();
  // The output is in place: a folder that cannot be synced changes nothing
  // of that.
  if (replaced_)
    (void)platform::sync(folder_);
  return result;
}

void FileConversion::discard() {
  if (temporary_.empty())
    (void)platform::close(output_);
  else if (const platform::Error error = platform::discard(folder_, output_, temporary_))
    problems_.push_back("cannot remove " + quoted_name(folder_name_ + temporary_) + ": " + platform::error_text(error));
  temporary_.clear();
}

}  // namespace svfsplit
