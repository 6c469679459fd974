// The feedhandler program with its window, run as a child process on the
// offscreen platform: it comes up, and SIGTERM or SIGINT close it cleanly
// with exit code 0. Nothing is clicked, so no feed socket is opened.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "support/child_process.h"

namespace fh {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;

// Whether the main thread of pid blocks sig: from then on the signal waits
// for the window instead of ending the process.
bool Blocks(pid_t pid, int sig) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigBlk:", 0) != 0) continue;
    const unsigned long long mask = std::strtoull(line.c_str() + 7, nullptr, 16);
    return (mask >> (sig - 1)) & 1ULL;
  }
  return false;
}

TEST(WindowProgram, SigtermAndSigintCloseTheWindowAndEndWithZero) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    testing::TempDir work;
    ChildProcess child({FH_FEEDHANDLER_PATH, "--workdir", work.path().string()});
    ASSERT_TRUE(child.Started());
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (!Blocks(child.Pid(), sig) && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(Blocks(child.Pid(), sig));
    // Give the window time to come up, so the signal finds it running (a
    // signal that comes earlier ends the program just the same).
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(child.Terminate(sig, 30s), std::optional<int>(0));
  }
}

TEST(WindowProgram, WithoutADisplaySaysSoAndEndsWithTwo) {
  testing::TempDir work;
  const char* names[] = {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"};
  std::optional<std::string> saved[3];
  for (int i = 0; i < 3; ++i) {
    if (const char* v = std::getenv(names[i])) saved[i] = v;
    ::unsetenv(names[i]);
  }
  ChildProcess child({FH_FEEDHANDLER_PATH, "--workdir", work.path().string()});
  for (int i = 0; i < 3; ++i)
    if (saved[i]) ::setenv(names[i], saved[i]->c_str(), 1);
  EXPECT_EQ(child.Wait(30s), std::optional<int>(2));
}

}  // namespace
}  // namespace fh
