// Child programs for the end-to-end tests: spawned with their standard output
// and error in files, standard input on a pipe, stopped by signal, waited for
// with a deadline (a hung child fails the test instead of hanging it).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "test_dir.h"

extern char** environ;

namespace fh::testing {

class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& outPath) {
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (outPath + ".err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    stdin_ = in[1];
  }
  ~Child() {
    CloseInput();
    if (Running()) {
      ::kill(pid_, SIGKILL);
      Wait(std::chrono::seconds(5));
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Started() const { return pid_ > 0; }
  void Write(std::string_view text) {
    if (stdin_ >= 0) (void)!::write(stdin_, text.data(), text.size());
  }
  void CloseInput() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }
  void Signal(int sig) {
    if (Running()) ::kill(pid_, sig);
  }
  bool Running() {
    if (pid_ <= 0 || status_) return false;
    int st = 0;
    const pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return !status_;
  }
  // The exit status (128 + signal for a killed child), or nothing when the
  // child is still running at the deadline.
  std::optional<int> Wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Running() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::optional<int> status_;
};

// Polls a file until it holds `count` occurrences of text or the deadline
// passes.
inline bool WaitForText(const std::string& path, std::string_view text, std::chrono::milliseconds timeout,
                        int count = 1) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::string content = ReadFile(path);
    int seen = 0;
    for (std::size_t at = content.find(text); at != std::string::npos; at = content.find(text, at + 1)) ++seen;
    if (seen >= count) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace fh::testing
