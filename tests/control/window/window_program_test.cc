// The feedhandler program with its window, run as a child process on the
// offscreen platform: it comes up, and SIGTERM or SIGINT close it cleanly
// with exit code 0. Nothing is clicked, so no feed socket is opened.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_dir.h"

namespace fh {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLimit = std::chrono::seconds(30);

// Starts feedhandler with args; env entries "NAME=VALUE" replace the
// environment when clearEnv, else they are added to it.
pid_t Launch(const std::vector<std::string>& args, const std::vector<std::string>& env, bool clearEnv) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (clearEnv) ::clearenv();
  for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
  std::vector<char*> argv;
  std::string program = FH_FEEDHANDLER_PATH;
  argv.push_back(program.data());
  std::vector<std::string> copies = args;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::execv(program.c_str(), argv.data());
  std::_Exit(127);
}

// The exit status of pid, or -1 when it did not end in time (it is then
// killed).
int WaitFor(pid_t pid) {
  const auto end = Clock::now() + kLimit;
  int status = 0;
  while (Clock::now() < end) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

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

bool WaitUntilBlocks(pid_t pid, int sig) {
  const auto end = Clock::now() + kLimit;
  while (Clock::now() < end) {
    if (Blocks(pid, sig)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

void ClosesCleanlyOn(int sig) {
  testing::TempDir work;
  const pid_t pid = Launch({"--workdir", work.path().string()}, {}, false);
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitUntilBlocks(pid, sig));
  // Give the window time to come up, so the signal finds it running (a
  // signal that comes earlier ends the program just the same).
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ::kill(pid, sig);
  EXPECT_EQ(WaitFor(pid), 0);
}

TEST(WindowProgram, SigtermClosesTheWindowAndEndsWithZero) { ClosesCleanlyOn(SIGTERM); }

TEST(WindowProgram, SigintClosesTheWindowAndEndsWithZero) { ClosesCleanlyOn(SIGINT); }

TEST(WindowProgram, WithoutADisplaySaysSoAndEndsWithTwo) {
  testing::TempDir work;
  const pid_t pid = Launch({"--workdir", work.path().string()}, {"PATH=/usr/bin:/bin"}, true);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(WaitFor(pid), 2);
}

}  // namespace
}  // namespace fh
