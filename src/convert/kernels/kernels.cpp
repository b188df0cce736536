// The versions of the kernels, and the one in use.
#include "convert/kernels/kernels.hpp"

namespace svfsplit {

extern const KernelVersion kPortableKernels;
#if defined(__SSE2__)
extern const KernelVersion kSse2Kernels;
extern const KernelVersion kAvx2Kernels;
#endif

namespace {

const KernelVersion* const kVersions[] = {
    &kPortableKernels,
#if defined(__SSE2__)
    &kSse2Kernels,
    &kAvx2Kernels,
#endif
};

const KernelVersion* best_version() {
  const KernelVersion* best = kVersions[0];
  for (const KernelVersion* version : kVersions) {
    if (version->runs_here())
      best = version;
  }
  return best;
}

const KernelVersion* g_in_use = best_version();

}  // namespace

std::span<const KernelVersion* const> kernel_versions() {
  return kVersions;
}

std::string use_kernel_version(std::string_view name) {
  const KernelVersion* named = nullptr;
  std::string runnable;
  for (const KernelVersion* version : kVersions) {
    if (version->name == name)
      named = version;
    if (version->runs_here())
      runnable += (runnable.empty() ? "" : ", ") + std::string(version->name);
  }
  if (named == nullptr)
    return "no such version (it runs " + runnable + ")";
  if (!named->runs_here())
    return "this processor cannot run it (it runs " + runnable + ")";
  g_in_use = named;
  return "";
}

const unsigned char* find_first_of(const unsigned char* p, std::size_t n, ByteSet set) {
  return g_in_use->find_first_of(p, n, set);
}

const unsigned char* find_line_to_examine(const unsigned char* p, const unsigned char* end) {
  return g_in_use->find_line_to_examine(p, end);
}

const unsigned char* gather_digits(const unsigned char* p, std::size_t n, char*& out, const char* limit,
                                   bool& overflowed) {
  return g_in_use->gather_digits(p, n, out, limit, overflowed);
}

char* lay_out_digit_lines(char* p, const LineFrame& frame, const std::array<const char*, 3>& ends, std::size_t count) {
  return g_in_use->lay_out_digit_lines(p, frame, ends, count);
}

}  // namespace svfsplit
