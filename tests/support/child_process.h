// Runs a program of ours as a child with its standard input on a pipe and its
// standard output and error either on pipes (read line by line) or in files
// (for long runs whose output nobody reads while they go). Every wait has a
// deadline, so a hung child fails the test instead of hanging it; a child
// still running at destruction is killed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/test_dir.h"

namespace fh::testing {

class ChildProcess {
 public:
  // With outPath empty, standard output and error are pipes; otherwise they
  // go to outPath and outPath + ".err".
  explicit ChildProcess(const std::vector<std::string>& argv, const std::string& outPath = "") {
    int in[2], out[2] = {-1, -1}, err[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    const bool piped = outPath.empty();
    if (piped && (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    if (piped) {
      posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
      posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (outPath + ".err").c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    stdin_ = in[1];
    if (piped) {
      ::close(out[1]);
      ::close(err[1]);
      stdout_ = out[0];
      stderr_ = err[0];
    }
  }

  ~ChildProcess() {
    CloseInput();
    if (Running()) {
      ::kill(pid_, SIGKILL);
      Wait(std::chrono::seconds(5));
    }
    for (int fd : {stdout_, stderr_})
      if (fd >= 0) ::close(fd);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  void Write(std::string_view text) const {
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
    if (::waitpid(pid_, &st, WNOHANG) == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      Drain();
    }
    return !status_;
  }

  // The exit status (128 + signal for a killed child), or nothing when the
  // child is still running at the deadline.
  std::optional<int> Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Running() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return status_;
  }
  std::optional<int> Terminate(int sig, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    if (sig != 0) Signal(sig);
    return Wait(timeout);
  }

  // Piped output only: reads until a line equal to want arrives; false at the
  // deadline or end of output. Every line read is kept in OutLines() / ErrLines().
  bool WaitForLine(const std::string& want, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return WaitFor(stdout_, outBuffer_, outLines_, Equals(want), timeout);
  }
  bool WaitForErrLine(const std::string& want, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return WaitFor(stderr_, errBuffer_, errLines_, Equals(want), timeout);
  }
  // The same for the first line of standard output that matches says yes.
  bool WaitForLineThat(const std::function<bool(const std::string&)>& matches,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return WaitFor(stdout_, outBuffer_, outLines_, matches, timeout);
  }
  const std::vector<std::string>& OutLines() const { return outLines_; }
  const std::vector<std::string>& ErrLines() const { return errLines_; }

 private:
  static bool ReadSome(int fd, std::string& buffer, std::vector<std::string>& lines) {
    char chunk[4096];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t eol; (eol = buffer.find('\n')) != std::string::npos;) {
      lines.push_back(buffer.substr(0, eol));
      buffer.erase(0, eol + 1);
    }
    return true;
  }

  static std::function<bool(const std::string&)> Equals(const std::string& want) {
    return [want](const std::string& line) { return line == want; };
  }

  static bool WaitFor(int fd, std::string& buffer, std::vector<std::string>& lines,
                      const std::function<bool(const std::string&)>& matches, std::chrono::milliseconds timeout) {
    if (fd < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (std::size_t seen = 0;;) {
      for (; seen < lines.size(); ++seen)
        if (matches(lines[seen])) return true;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      if (!ReadSome(fd, buffer, lines)) return false;
    }
  }

  // What a piped child wrote before it exited.
  void Drain() {
    if (stdout_ < 0) return;
    for (int i = 0; i < 1000; ++i) {
      pollfd p[2] = {{stdout_, POLLIN, 0}, {stderr_, POLLIN, 0}};
      if (::poll(p, 2, 0) <= 0) break;
      bool any = false;
      if (p[0].revents != 0) any |= ReadSome(stdout_, outBuffer_, outLines_);
      if (p[1].revents != 0) any |= ReadSome(stderr_, errBuffer_, errLines_);
      if (!any) break;
    }
  }

  pid_t pid_ = -1;
  std::optional<int> status_;
  int stdin_ = -1, stdout_ = -1, stderr_ = -1;
  std::string outBuffer_, errBuffer_;
  std::vector<std::string> outLines_, errLines_;
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
