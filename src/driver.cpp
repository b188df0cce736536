#include "driver.hpp"

#include <cerrno>
#include <new>
#include <system_error>

namespace svfsplit {

std::string derive_output_name(std::string_view input_name) {
  const auto slash = input_name.rfind('/');
  const auto base = slash == std::string_view::npos ? 0 : slash + 1;
  const auto dot = input_name.find('.', base);
  if (dot == std::string_view::npos)
    return std::string(input_name) + ".gvf";
  return std::string(input_name.substr(0, dot + 1)) + "gvf";
}

FileConversion::Opened FileConversion::open(const std::string& input_name, const std::string& output_name) {
  platform::FileStatus input{};
  if (platform::open_input(input_name, input_) != 0 || platform::status(input_, input) != 0 || !input.regular)
    return Opened::kCannotOpen;

  platform::FileStatus existing{};
  const platform::Error missing = platform::status(output_name, existing);
  if (missing == 0 && existing.id == input.id)
    return Opened::kSameFile;

  // Opened without truncation, so that nothing is lost if the name turns
  // out to reach the input after all.
  output_name_ = output_name;
  platform::Error error = platform::open_existing_output(output_name, output_);
  if (error == ENOENT) {
    // Created where the name leads, through a dangling link too.
    std::string target;
    error = platform::resolve_links(output_name, target);
    if (error == 0)
      error = platform::create_new(target, output_);
  }
  if (error != 0)
    return Opened::kCannotOpen;
  output_created_ = true;
  platform::FileStatus output{};
  if (platform::status(output_, output) != 0)
    return Opened::kCannotOpen;
  if (output.id == input.id)
    return Opened::kSameFile;
  output_regular_ = output.regular;
  if (output_regular_ && output.size > 0 && platform::truncate(output_, 0) != 0)
    return Opened::kCannotOpen;
  return Opened::kOk;
}

FileConversion::Result FileConversion::run() {
  Result result;
  try {
    const Source source = Source::file(input_);
    Input in(source);
    Output out(output_, output_regular_ ? Output::Writer::kSecondThread : Output::Writer::kThisThread);
    result.report = convert_stream(in, out);
    out.flush();
    result.read_error = source.error();
    result.write_error = out.error();
  } catch (const std::bad_alloc&) {
    // No room for the buffers: the output cannot be written.
    result.write_error = ENOMEM;
  } catch (const std::system_error& e) {
    result.write_error = e.code().value() != 0 ? e.code().value() : EIO;
  }
  platform::close(input_);
  if (const platform::Error error = platform::close(output_); error != 0 && result.write_error == 0)
    result.write_error = error;
  return result;
}

void FileConversion::discard() {
  if (output_created_ && output_regular_)
    platform::remove(output_name_);
}

}  // namespace svfsplit
