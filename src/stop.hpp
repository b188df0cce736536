// A request to stop the conversion, made from a signal handler.
#pragma once

namespace svfsplit {

// Asks a running conversion to stop at its next check (each window of
// input, each segment line, each interrupted write). Async-signal-safe.
void request_stop() noexcept;
bool stop_requested() noexcept;

}  // namespace svfsplit
