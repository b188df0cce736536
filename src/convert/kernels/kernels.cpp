// The versions of the kernels, and the one in use.
#include "convert/kernels/kernels.hpp"

namespace svfsplit {

extern const KernelVersion kPortableKernels;
#if defined(__SSE2__)
extern const KernelVersion kSse2Kernels;
extern const KernelVersion kAvx2Kernels;
#elif defined(__aarch64__) || defined(__arm__)
extern const KernelVersion kNeonKernels;
#endif

namespace {

// Unless told otherwise, a run uses the last version the processor runs.
const KernelVersion* const kVersions[] = {
    &kPortableKernels,
#if defined(__SSE2__)
    &kSse2Kernels,
    &kAvx2Kernels,
#elif defined(__aarch64__) || defined(__arm__)
    &kNeonKernels,
#endif
};

}  // namespace

const KernelVersion* g_kernels_in_use = [] {
  const KernelVersion* best = kVersions[0];
  for (const KernelVersion* version : kVersions) best = version->runs_here() ? version : best;
  return best;
}();

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
  g_kernels_in_use = named;
  return "";
}

}  // namespace svfsplit
