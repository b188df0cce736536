#include "stop.hpp"

#include <atomic>

namespace svfsplit {

namespace {

// Set by a signal handler, read by the converter and the output's writer.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler must be able to set it");

}  // namespace

void request_stop() noexcept {
  g_stop.store(true, std::memory_order_relaxed);
}

bool stop_requested() noexcept {
  return g_stop.load(std::memory_order_relaxed);
}

}  // namespace svfsplit
