// Runs a program with pipes on its standard streams, for tests of the
// feedhandler binary. Every read has a deadline, so a hung child fails the
// test instead of hanging it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fh::testing {

class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    stderr_ = err[0];
  }

  ~ChildProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {stdin_, stdout_, stderr_})
      if (fd >= 0) ::close(fd);
  }

  bool Started() const { return pid_ > 0; }

  void Write(const std::string& text) {
    if (stdin_ >= 0) (void)!::write(stdin_, text.data(), text.size());
  }
  void CloseInput() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }

  // Reads standard output until a line equal to want arrives; false at the
  // deadline or end of output. Every line read is kept in OutLines().
  bool WaitForLine(const std::string& want, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return WaitFor(stdout_, outBuffer_, outLines_, want, timeout);
  }
  bool WaitForErrLine(const std::string& want, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return WaitFor(stderr_, errBuffer_, errLines_, want, timeout);
  }

  // Sends sig and waits for the exit; the exit status, or nothing at the
  // deadline (the child is then killed).
  std::optional<int> Terminate(int sig, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    if (sig != 0) ::kill(pid_, sig);
    return Wait(timeout);
  }

  std::optional<int> Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        Drain();
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
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

  bool WaitFor(int fd, std::string& buffer, std::vector<std::string>& lines, const std::string& want,
               std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t seen = 0;
    for (;;) {
      for (; seen < lines.size(); ++seen)
        if (lines[seen] == want) return true;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      if (!ReadSome(fd, buffer, lines)) return false;
    }
  }

  void Drain() {
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
  bool exited_ = false;
  int stdin_ = -1, stdout_ = -1, stderr_ = -1;
  std::string outBuffer_, errBuffer_;
  std::vector<std::string> outLines_, errLines_;
};

}  // namespace fh::testing
