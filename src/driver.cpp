#include "driver.hpp"

#include <cerrno>
#include <new>
#include <system_error>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace svfsplit {

std::string derive_output_name(std::string_view input_name) {
  const auto slash = input_name.rfind('/');
  const auto base = slash == std::string_view::npos ? 0 : slash + 1;
  const auto dot = input_name.find('.', base);
  if (dot == std::string_view::npos)
    return std::string(input_name) + ".gvf";
  return std::string(input_name.substr(0, dot + 1)) + "gvf";
}

namespace {

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

FileConversion::~FileConversion() {
  close_input();
  if (out_fd_ >= 0)
    ::close(out_fd_);
}

void FileConversion::close_input() {
  if (in_fd_ >= 0)
    ::close(in_fd_);
  in_fd_ = -1;
}

FileConversion::Opened FileConversion::open(const std::string& input_name, const std::string& output_name) {
  // O_NONBLOCK: a FIFO must be refused, not waited on.
  in_fd_ = ::open(input_name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat input{};
  if (in_fd_ < 0 || ::fstat(in_fd_, &input) != 0 || !S_ISREG(input.st_mode))
    return Opened::kCannotOpen;

  struct stat existing{};
  if (::stat(output_name.c_str(), &existing) == 0 && same_file(existing, input))
    return Opened::kSameFile;

  // Opened without truncation, so that nothing is lost if the name turns
  // out to reach the input after all.
  output_name_ = output_name;
  out_fd_ = ::open(output_name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (out_fd_ < 0)
    return Opened::kCannotOpen;
  output_created_ = true;
  struct stat output{};
  if (::fstat(out_fd_, &output) != 0)
    return Opened::kCannotOpen;
  if (same_file(output, input))
    return Opened::kSameFile;
  output_regular_ = S_ISREG(output.st_mode);
  if (output_regular_ && output.st_size > 0 && ::ftruncate(out_fd_, 0) != 0)
    return Opened::kCannotOpen;
  const int flags = ::fcntl(out_fd_, F_GETFL);
  if (flags >= 0)
    ::fcntl(out_fd_, F_SETFL, flags & ~O_NONBLOCK);
  return Opened::kOk;
}

FileConversion::Result FileConversion::run() {
  Result result;
  try {
    const Source source = Source::file(in_fd_);
    Input in(source);
    Output out(out_fd_, output_regular_ ? Output::Writer::kSecondThread : Output::Writer::kThisThread);
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
  close_input();
  if (::close(out_fd_) != 0 && result.write_error == 0)
    result.write_error = errno;
  out_fd_ = -1;
  return result;
}

void FileConversion::discard() {
  if (output_created_ && output_regular_)
    ::unlink(output_name_.c_str());
}

}  // namespace svfsplit
