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

// Where the last component of a name starts.
std::size_t last_component(std::string_view name, PathStyle style) {
  const auto separator = name.find_last_of(style == PathStyle::kWindows ? "\\/" : "/");
  if (separator != std::string_view::npos)
    return separator + 1;
  // "C:board.svf" is board.svf in drive C's current folder.
  const bool drive = style == PathStyle::kWindows && name.size() >= 2 && name[1] == ':' &&
                     ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
  return drive ? 2 : 0;
}

// Names of temporary files longer than this fall back to a short one; it
// is what most file systems allow for a name in a folder.
constexpr std::size_t kLongestName = 255;
constexpr std::size_t kRandomChars = 6;

// The length of the character that starts at name[i] when it prints as
// itself: well-formed UTF-8 that is no control character (C0, DEL, C1);
// 0 otherwise.
std::size_t printable_at(std::string_view name, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(name[i + k]); };
  const unsigned char c = byte(0);
  if (c < 0x80)
    return c >= 0x20 && c != 0x7f ? 1 : 0;
  const std::size_t n = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
  if (c < 0xc2 || c > 0xf4 || i + n > name.size())
    return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(k) & 0xc0) != 0x80)
      return 0;
  }
  // No C1 control, overlong form, surrogate or code point past U+10FFFF.
  const unsigned char d = byte(1);
  const bool bad = (c == 0xc2 && d < 0xa0) || (c == 0xe0 && d < 0xa0) || (c == 0xed && d >= 0xa0) ||
                   (c == 0xf0 && d < 0x90) || (c == 0xf4 && d >= 0x90);
  return bad ? 0 : n;
}

// Whether every character of the name prints as itself.
bool prints_as_itself(std::string_view name) {
  std::size_t n = 1;
  for (std::size_t i = 0; i < name.size() && n > 0; i += n) n = printable_at(name, i);
  return n > 0;
}

// A byte of a name in the shell's $'...' form.
std::string escaped(unsigned char c) {
  if (const char* named = c == '\n' ? "\\n" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : nullptr)
    return named;
  return {'\\', static_cast<char>('0' + (c >> 6)), static_cast<char>('0' + ((c >> 3) & 7)),
          static_cast<char>('0' + (c & 7))};
}

// A name in double quotes, as Windows shows names, where what does not
// print says what it is: <control U+000A>, <unpaired surrogate U+D800>,
// and <byte 0xFF> for what is not UTF-8 (no name from Windows is).
std::string windows_quoted(std::string_view name) {
  std::string out = "\"";
  for (std::size_t i = 0, n = 0; i < name.size(); i += n) {
    out.append(name.substr(i, n = printable_at(name, i)));
    if (n > 0)
      continue;
    const auto byte = [&](std::size_t k) { return i + k < name.size() ? static_cast<unsigned char>(name[i + k]) : 0; };
    // A C1 control is 0xC2 and itself; a surrogate 0xED and two more.
    const bool c1 = byte(0) == 0xc2 && (byte(1) & 0xc0) == 0x80;
    const bool surrogate = byte(0) == 0xed && (byte(1) & 0xe0) == 0xa0 && (byte(2) & 0xc0) == 0x80;
    const unsigned c = surrogate ? 0xd000 | ((byte(1) & 0x3f) << 6) | (byte(2) & 0x3f) : byte(c1 ? 1 : 0);
    n = surrogate ? 3 : c1 ? 2 : 1;
    out += surrogate ? "<unpaired surrogate U+" : c < 0x80 || c1 ? "<control U+" : "<byte 0x";
    for (int shift = n == 1 && c >= 0x80 ? 4 : 12; shift >= 0; shift -= 4)
      out += "0123456789ABCDEF"[(c >> shift) & 0xf];
    out += '>';
  }
  return out + '"';
}

}  // namespace

std::string derive_output_name(std::string_view input_name, PathStyle style) {
  const auto dot = input_name.find('.', last_component(input_name, style));
  if (dot == std::string_view::npos)
    return std::string(input_name) + ".gvf";
  return std::string(input_name.substr(0, dot + 1)) + "gvf";
}

std::string quoted_name(std::string_view name, PathStyle style) {
  if (style == PathStyle::kWindows)
    return windows_quoted(name);
  // Double quotes where single quotes cannot do, unless the name holds
  // what double quotes would not keep as it is.
  const bool single_quote = name.find('\'') != std::string_view::npos;
  if (prints_as_itself(name) && (!single_quote || name.find_first_of("\"$`\\") == std::string_view::npos)) {
    const char quote = single_quote ? '"' : '\'';
    return quote + std::string(name) + quote;
  }
  // Printable runs in single quotes, and the rest between them: \' for a
  // single quote, $'\n' or $'\033' for what does not print.
  enum class Run { kNone, kQuoted, kEscaped };  // what `out` has open
  std::string out;
  Run run = Run::kNone;
  for (std::size_t i = 0; i < name.size();) {
    const std::size_t n = printable_at(name, i);
    const Run next = n == 0 ? Run::kEscaped : name[i] == '\'' ? Run::kNone : Run::kQuoted;
    if (next != run) {
      out += run == Run::kNone ? "" : "'";
      out += next == Run::kQuoted ? "'" : next == Run::kEscaped ? "$'" : "";
      run = next;
    }
    if (next == Run::kQuoted)
      out.append(name.substr(i, n));
    else
      out += next == Run::kNone ? "\\'" : escaped(static_cast<unsigned char>(name[i]));
    i += std::max<std::size_t>(n, 1);
  }
  if (run != Run::kNone)
    out += '\'';
  return out;
}

std::string shown_name(std::string_view name, PathStyle style) {
  if (prints_as_itself(name) && name.find_first_of("'\"") == std::string_view::npos)
    return std::string(name);
  return quoted_name(name, style);
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
  if (error == 0)
    error = platform::status(input_, input);
  if (error != 0)
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
    folder_name_ = target_.substr(0, last_component(target_, platform::kNativePathStyle));
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
  result.write_error = replaced_ ? platform::sync(output_) : 0;
  if (result.write_error != 0)
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
