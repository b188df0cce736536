#include "driver.hpp"

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

std::mt19937_64 seeded_generator() {
  std::uint64_t seed = static_cast<std::uint64_t>(platform::monotonic_milliseconds());
  try {
    std::random_device device;
    seed ^= (std::uint64_t{device()} << 32) ^ device();
  } catch (const std::exception&) {
    // No source of randomness: the clock alone, as names are only tried.
  }
  return std::mt19937_64(seed);
}

std::string random_chars(std::size_t n) {
  static constexpr std::string_view kChars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::mt19937_64 generator = seeded_generator();
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += kChars[generator() % kChars.size()];
  return s;
}

}  // namespace

std::string derive_output_name(std::string_view input_name, PathStyle style) {
  const auto dot = input_name.find('.', last_component(input_name, style));
  if (dot == std::string_view::npos)
    return std::string(input_name) + ".gvf";
  return std::string(input_name.substr(0, dot + 1)) + "gvf";
}

FileConversion::Opened FileConversion::cannot(std::string what, const std::string& name, std::string_view reason) {
  problem_ = std::move(what) + " '" + name + "': " + std::string(reason);
  return Opened::kCannotOpen;
}

FileConversion::Opened FileConversion::open(const std::string& input_name, const std::string& output_name) {
  output_name_ = output_name;
  platform::FileStatus input{};
  platform::Error error = platform::open_input(input_name, input_);
  if (error == 0)
    error = platform::status(input_, input);
  if (error != 0)
    return cannot("cannot open", input_name, platform::error_text(error));
  if (!input.regular)
    return cannot("cannot open", input_name, "not a regular file");
  input_size_ = input.size;

  // The links at the output name are resolved first, and only as far as
  // the kernel's rule for shared folders allows, so that nothing is opened
  // through a link that another user planted.
  platform::FileStatus existing{};
  if (platform::status(output_name, existing) == 0 && existing.id == input.id)
    return Opened::kSameFile;
  if (const platform::Error e = platform::resolve_links(output_name, target_))
    return cannot("cannot create", output_name, platform::error_text(e));

  // What is there now is opened for writing, not truncated, so that a
  // directory, a read-only file or the input itself is refused before
  // anything is written. The file opened is compared with the input; the
  // name was compared first only so that an input that may not be written
  // (a read-only x.gvf) is named as the input, not as unwritable.
  platform::File previous;
  error = platform::open_existing_output(target_, previous);
  if (error == 0)
    error = platform::status(previous, existing);
  if (error != 0 && error != ENOENT)
    return cannot("cannot create", output_name, platform::error_text(error));
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
  const std::size_t base = last_component(target_, platform::kNativePathStyle);
  folder_name_ = target_.substr(0, base);
  if (const platform::Error error = platform::open_folder(folder_name_, folder_))
    return error;
  std::string prefix = ".svfsplit.";
  if (target_.size() - base + 2 + kRandomChars <= kLongestName) {
    prefix = '.';
    prefix.append(target_, base);
    prefix += '.';
  }
  platform::Error error = EEXIST;
  for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
    std::string name = prefix + random_chars(kRandomChars);
    error = platform::create_new(folder_, name, output_);
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
  if (const platform::Error error =
          platform::replace(folder_, output_, temporary_, target_.substr(folder_name_.size())))
    result.write_error = error;
  else
    temporary_.clear();
  return result;
}

void FileConversion::discard() {
  if (temporary_.empty()) {
    (void)platform::close(output_);
    return;
  }
  if (const platform::Error error = platform::discard(folder_, output_, temporary_))
    problem_ = "cannot remove '" + folder_name_ + temporary_ + "': " + platform::error_text(error);
  temporary_.clear();
}

}  // namespace svfsplit
