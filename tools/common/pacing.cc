#include "common/pacing.h"

#include <cerrno>
#include <csignal>
#include <ctime>

#include "common/tool_net.h"

namespace fh::tools {

namespace {

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

}  // namespace

void StopOnSignals() {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
}

bool StopRequested() { return gStop != 0; }

void SleepUntil(std::int64_t monotonicNs) {
  if (NowNs() >= monotonicNs) return;  // behind schedule: no system call
  timespec ts{static_cast<time_t>(monotonicNs / 1000000000), static_cast<long>(monotonicNs % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && !gStop) {
  }
}

}  // namespace fh::tools
