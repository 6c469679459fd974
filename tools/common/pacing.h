// Stopping on Ctrl-C and keeping to a sending pace, shared by the tools that
// send: the signal handlers only set a flag, which the sending loops poll.
//
// Thread safety: StopOnSignals from main once; StopRequested and SleepUntil
// from any thread.
#pragma once

#include <cstdint>

namespace fh::tools {

// SIGINT and SIGTERM set the stop flag instead of ending the process.
void StopOnSignals();
bool StopRequested();

// Sleeps until the monotonic time given in nanoseconds (no system call when
// it has passed); returns early once a stop is requested.
void SleepUntil(std::int64_t monotonicNs);

}  // namespace fh::tools
