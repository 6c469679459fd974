#include "control/front_end.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "control/feed_application.h"
#include "control/feed_handler_dialog.h"
#include "control/log_line_writer.h"
#include "control/metrics_endpoint.h"
#include "feedstate/platform.h"

namespace fh {
namespace {

constexpr char kUsage[] =
    "usage: feedhandler [--headless] [--workdir DIR] [--system-drive DIR] [ACTION ...]\n"
    "       feedhandler --help\n"
    "\n"
    "  --headless          run without a window: log lines on standard output,\n"
    "                      message boxes on standard error; runs until SIGINT or\n"
    "                      SIGTERM\n"
    "  --workdir DIR       folder of every file named without a folder (default:\n"
    "                      the current directory)\n"
    "  --system-drive DIR  folder that stands for the system drive C:\\ (masters,\n"
    "                      schema, state file, index file); default: the\n"
    "                      environment variable FH_SYSTEM_DRIVE, else the workdir\n"
    "  --bridge-listen ADDR  address the Bridge server listens on (default: every\n"
    "                      address, 0.0.0.0)\n"
    "  --bridge-allow LIST Bridges allowed to connect, A.B.C.D[/N],... (default:\n"
    "                      all); others are closed with one log line\n"
    "  --batch N           datagrams a receiver takes per call, 0 to 64 (default\n"
    "                      64; 0 or 1 turns batching off); also FH_BATCH\n"
    "  --metrics ADDR:PORT serve the feed's figures for Prometheus at\n"
    "                      http://ADDR:PORT/metrics (default: not served)\n"
    "\n"
    "actions, run in order after the dialog starts (headless only):\n"
    "  --click CONTROL     click a control, by caption without '&' (\"NSE-CM\",\n"
    "                      \"BCAST DELTA\", \"Server\", \"Start\", \"About\") or numeric id\n"
    "  --set ID=TEXT       type TEXT into an edit (id or caption)\n"
    "\n"
    "standard input, one action a line: click CONTROL | set ID=TEXT | grid |\n"
    "state | title | stats (the feed's figures, one sample a line)\n";

// --batch and FH_BATCH: 0 to kMaxReceiveBatch; 0 and 1 both take one datagram
// a call (batching off).
bool ParseBatch(const char* text, int* out) {
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || n < 0 || n > kMaxReceiveBatch) return false;
  *out = std::max(static_cast<int>(n), 1);
  return true;
}

// Whether a TCP socket can be bound to address here (the Bridge server binds
// it later, at Server); false with the reason in *why.
bool CanListenOn(const std::string& address, std::string* why) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) return false;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
  const int err = errno;
  if (fd >= 0) ::close(fd);
  if (!bound) {
    char text[256];
    *why = strerror_r(err, text, sizeof text);
  }
  return bound;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

bool SplitSet(std::string_view value, FrontEndAction* out, std::string* error) {
  const std::size_t eq = value.find('=');
  if (eq == std::string_view::npos || eq == 0) {
    *error = "expected ID=TEXT, got: " + std::string(value);
    return false;
  }
  out->kind = FrontEndAction::Kind::kSet;
  out->control.assign(Trim(value.substr(0, eq)));
  out->text.assign(value.substr(eq + 1));
  return true;
}

// Ends the program as the standard exit does, once the log lines queued so
// far are out (for a bounded time: a reader that stopped reading does not
// keep the program alive).
class HeadlessProgramExit final : public ProgramExit {
 public:
  explicit HeadlessProgramExit(LogLineWriter& lines) : lines_(lines) {}
  void Exit(int code) override {
    lines_.Drain(LogLineWriter::kDefaultFlushLimit);
    standard_.Exit(code);
  }

 private:
  LogLineWriter& lines_;
  StandardProgramExit standard_;
};

bool EveryActionNamesAControl(const FeedHandlerDialog& dialog, const std::vector<FrontEndAction>& actions) {
  for (const FrontEndAction& a : actions) {
    if (a.kind != FrontEndAction::Kind::kClick && a.kind != FrontEndAction::Kind::kSet) continue;
    if (dialog.FindControl(a.control) == 0) {
      std::fprintf(stderr, "feedhandler: unknown control: %s\n", a.control.c_str());
      return false;
    }
  }
  return true;
}

void RunActionLine(FeedHandlerDialog& dialog, std::string_view line) {
  if (Trim(line).empty()) return;
  FrontEndAction action;
  std::string error;
  if (ParseActionLine(line, &action, &error)) {
    RunAction(dialog, action, stdout, stderr);
  } else {
    std::fprintf(stderr, "feedhandler: %s\n", error.c_str());
    std::fflush(stderr);
  }
}

// Reads standard input and runs its actions until SIGINT or SIGTERM arrives
// on signalFd. End of input only stops the reading.
void ServeUntilSignalled(FeedHandlerDialog& dialog, int signalFd) {
  InputLines lines;
  const auto run = [&dialog](std::string_view line) { RunActionLine(dialog, line); };
  const auto dropped = [] {
    std::fprintf(stderr, "feedhandler: input line longer than %zu bytes dropped\n", InputLines::kMaxLine);
    std::fflush(stderr);
  };
  bool inputOpen = true;
  for (;;) {
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      PrintError("poll");
      return;
    }
    if (fds[0].revents != 0) return;
    if (fds[1].revents == 0) continue;
    char chunk[16384];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      inputOpen = false;
      lines.Finish(run);
      continue;
    }
    lines.Feed(std::string_view(chunk, static_cast<std::size_t>(n)), run, dropped);
  }
}

int RunHeadless(const CommandLine& command, const std::string& workDir, const std::string& systemDrive) {
  // SIGINT and SIGTERM are taken from a descriptor by the main thread; every
  // thread started from here on inherits the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
  if (signalFd < 0) {
    PrintError("signalfd");
    return 1;
  }

  // Log lines reach standard output through their own writer thread, so a
  // receiver that logs never waits for whoever reads that output.
  LogLineWriter logLines(STDOUT_FILENO, stdout);
  logLines.Start();
  StderrMessageBoxes boxes;
  HeadlessProgramExit exit(logLines);
  int status = 0;
  {
    FeedApplication app(FilePlaces(workDir, systemDrive), boxes, exit, command.settings);
    logLines.CountNotShownIn(&app.Context().metrics.logLinesNotShown);
    app.Context().log.SetObserver([&logLines](std::string_view line) { logLines.Push(line); });
    FeedHandlerDialog& dialog = app.Dialog();
    if (!EveryActionNamesAControl(dialog, command.actions)) {
      status = 2;
    } else {
      dialog.Initialise();
      for (const FrontEndAction& a : command.actions) RunAction(dialog, a, stdout, stderr);
      ServeUntilSignalled(dialog, signalFd);
    }
    app.Context().log.SetObserver(nullptr);
    logLines.CountNotShownIn(nullptr);  // the figures go with the application
  }
  ::close(signalFd);
  logLines.Stop(LogLineWriter::kDefaultFlushLimit);
  std::fflush(stdout);
  return status;
}

void PrintGrid(const FeedHandlerDialog& dialog, std::FILE* out) {
  const CounterGrid& grid = dialog.Context().grid;
  flockfile(out);
  const int rows = grid.Rows();
  const int cols = grid.Cols();
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const std::string cell = grid.CellText(r, c);
      std::fprintf(out, c == 0 ? "%s" : "\t%s", cell.c_str());
    }
    std::fputc('\n', out);
  }
  funlockfile(out);
  std::fflush(out);
}

// A table with a header line; its first row is the dialog itself (id 0), whose
// caption is the window title.
void PrintState(const FeedHandlerDialog& dialog, std::FILE* out) {
  flockfile(out);
  std::fprintf(out, "id\tcaption\tchecked\tenabled\tvisible\ttext\n0\t%s\t0\t1\t1\t\n", dialog.Title().c_str());
  for (const ControlState& c : dialog.Controls()) {
    std::string caption;
    for (char ch : c.caption)
      if (ch != '&') caption += ch;
    std::fprintf(out, "%d\t%s\t%d\t%d\t%d\t%s\n", c.id, caption.c_str(), c.checked ? 1 : 0, c.enabled ? 1 : 0,
                 c.visible ? 1 : 0, c.text.c_str());
  }
  funlockfile(out);
  std::fflush(out);
}

}  // namespace

bool ParseCommandLine(int argc, const char* const* argv, CommandLine* out, std::string* error) {
  *out = CommandLine{};
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&](std::string_view name) -> const char* {
      if (i + 1 >= argc) {
        *error = std::string(name) + " needs a value";
        return nullptr;
      }
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      out->help = true;
    } else if (arg == "--headless") {
      out->headless = true;
    } else if (arg == "--workdir") {
      const char* v = value(arg);
      if (v == nullptr) return false;
      out->workDir = v;
    } else if (arg == "--system-drive") {
      const char* v = value(arg);
      if (v == nullptr) return false;
      out->systemDrive = v;
    } else if (arg == "--bridge-listen") {
      const char* v = value(arg);
      if (v == nullptr) return false;
      in_addr unused{};
      if (::inet_pton(AF_INET, v, &unused) != 1) {
        *error = "--bridge-listen needs a dotted IPv4 address, got: " + std::string(v);
        return false;
      }
      out->settings.bridge.listenAddress = v;
    } else if (arg == "--bridge-allow") {
      const char* v = value(arg);
      if (v == nullptr) return false;
      if (!BridgeAllowList::Parse(v, &out->settings.bridge.allow, error)) {
        *error = "--bridge-allow: " + *error;
        return false;
      }
    } else if (arg == "--batch") {
      const char* v = value(arg);
      if (v == nullptr || !ParseBatch(v, &out->settings.receiveBatch)) {
        if (v != nullptr) *error = "--batch needs a number from 0 to " + std::to_string(kMaxReceiveBatch);
        return false;
      }
      out->batchGiven = true;
    } else if (arg == "--metrics") {
      const char* v = value(arg);
      if (v == nullptr) return false;
      if (!ParseMetricsAddress(v, &out->settings.metricsAddress, &out->settings.metricsPort)) {
        *error = "--metrics needs ADDR:PORT (a dotted IPv4 address, a port from 1 to 65535), got: " + std::string(v);
        return false;
      }
    } else if (arg == "--click") {
      const char* v = value(arg);
      if (v == nullptr) return false;
      out->actions.push_back({FrontEndAction::Kind::kClick, std::string(Trim(v)), {}});
    } else if (arg == "--set") {
      const char* v = value(arg);
      if (v == nullptr) return false;
      FrontEndAction a;
      if (!SplitSet(v, &a, error)) return false;
      out->actions.push_back(std::move(a));
    } else {
      *error = "unknown option: " + std::string(arg);
      return false;
    }
  }
  return true;
}

InputLines::InputLines() { pending_.reserve(kMaxLine); }

void InputLines::Feed(std::string_view bytes, const LineFn& line, const std::function<void()>& dropped) {
  while (!bytes.empty()) {
    const std::size_t eol = bytes.find('\n');
    const std::string_view part = bytes.substr(0, eol);
    if (!dropping_ && pending_.size() + part.size() > kMaxLine) {
      dropping_ = true;
      pending_.clear();
      dropped();
    }
    if (!dropping_) pending_.append(part);
    if (eol == std::string_view::npos) return;
    bytes.remove_prefix(eol + 1);
    if (!dropping_) line(pending_);
    pending_.clear();
    dropping_ = false;
  }
}

void InputLines::Finish(const LineFn& line) {
  if (!dropping_ && !pending_.empty()) line(pending_);
  pending_.clear();
  dropping_ = false;
}

bool ParseActionLine(std::string_view line, FrontEndAction* out, std::string* error) {
  line = Trim(line);
  const std::size_t space = line.find_first_of(" \t");
  const std::string_view verb = line.substr(0, space);
  const std::string_view rest = space == std::string_view::npos ? std::string_view() : Trim(line.substr(space));
  *out = FrontEndAction{};
  if (verb == "click" && !rest.empty()) {
    out->kind = FrontEndAction::Kind::kClick;
    out->control.assign(rest);
    return true;
  }
  if (verb == "set" && !rest.empty()) return SplitSet(rest, out, error);
  if (verb == "grid" && rest.empty()) {
    out->kind = FrontEndAction::Kind::kGrid;
    return true;
  }
  if (verb == "state" && rest.empty()) {
    out->kind = FrontEndAction::Kind::kState;
    return true;
  }
  if (verb == "title" && rest.empty()) {
    out->kind = FrontEndAction::Kind::kTitle;
    return true;
  }
  if (verb == "stats" && rest.empty()) {
    out->kind = FrontEndAction::Kind::kStats;
    return true;
  }
  *error = "unknown command: " + std::string(line);
  return false;
}

void RunAction(FeedHandlerDialog& dialog, const FrontEndAction& action, std::FILE* out, std::FILE* err) {
  switch (action.kind) {
    case FrontEndAction::Kind::kGrid: PrintGrid(dialog, out); return;
    case FrontEndAction::Kind::kState: PrintState(dialog, out); return;
    case FrontEndAction::Kind::kTitle:
      std::fprintf(out, "%s\n", dialog.Title().c_str());
      std::fflush(out);
      return;
    case FrontEndAction::Kind::kStats: {
      const std::string text = MetricsText(FeedMetricsCollectable(dialog.Context().metrics, BuildVersion()).Collect());
      std::fwrite(text.data(), 1, text.size(), out);
      std::fflush(out);
      return;
    }
    case FrontEndAction::Kind::kClick:
    case FrontEndAction::Kind::kSet: break;
  }
  const int id = dialog.FindControl(action.control);
  if (id == 0) {
    std::fprintf(err, "feedhandler: unknown control: %s\n", action.control.c_str());
  } else if (action.kind == FrontEndAction::Kind::kClick) {
    if (!dialog.Click(id))
      std::fprintf(err, "feedhandler: click on %s ignored: the control is disabled, hidden or not clickable\n",
                   action.control.c_str());
  } else if (!dialog.SetText(id, action.text)) {
    std::fprintf(err, "feedhandler: set %s ignored: not an enabled, visible edit\n", action.control.c_str());
  }
  std::fflush(err);
}

bool ResolvePlaces(const CommandLine& command, std::string* workDir, std::string* systemDrive, std::string* error) {
  std::error_code ec;
  std::filesystem::path work = command.workDir.empty() ? std::filesystem::current_path(ec)
                                                       : std::filesystem::absolute(command.workDir, ec);
  if (ec || !std::filesystem::is_directory(work, ec)) {
    *error = "work directory not found: " + command.workDir;
    return false;
  }
  std::string drive = command.systemDrive;
  if (drive.empty()) {
    // Read at start, before any thread; nothing in the program sets the environment.
    const char* env = std::getenv("FH_SYSTEM_DRIVE");  // NOLINT(concurrency-mt-unsafe)
    if (env != nullptr && *env != '\0') drive = env;
  }
  std::filesystem::path drivePath = drive.empty() ? work : std::filesystem::absolute(drive, ec);
  if (ec || !std::filesystem::is_directory(drivePath, ec)) {
    *error = "system drive folder not found: " + drive;
    return false;
  }
  *workDir = work.string();
  *systemDrive = drivePath.string();
  return true;
}

int RunFeedHandler(int argc, char** argv, WindowMain window) {
  CommandLine command;
  std::string error;
  if (!ParseCommandLine(argc, argv, &command, &error)) {
    std::fprintf(stderr, "feedhandler: %s\n", error.c_str());
    return 2;
  }
  if (command.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  // Read at start, before any thread; nothing in the program sets the environment.
  const char* env = std::getenv("FH_BATCH");  // NOLINT(concurrency-mt-unsafe)
  if (!command.batchGiven && env != nullptr && *env != '\0') {
    if (!ParseBatch(env, &command.settings.receiveBatch)) {
      std::fprintf(stderr, "feedhandler: FH_BATCH needs a number from 0 to %d\n", kMaxReceiveBatch);
      return 2;
    }
  }
  // The Bridge server binds its address only at Server, and then says no more
  // than "TCP Bind Failed" in the log; an address that is not (yet) on this
  // host is said at once. The program runs on: the address may come up later.
  if (const std::string& listen = command.settings.bridge.listenAddress; !listen.empty()) {
    std::string why;
    if (!CanListenOn(listen, &why))
      std::fprintf(stderr, "feedhandler: --bridge-listen %s: the Bridge server cannot listen there: %s\n",
                   listen.c_str(), why.c_str());
  }
  std::string workDir;
  std::string systemDrive;
  if (!ResolvePlaces(command, &workDir, &systemDrive, &error)) {
    std::fprintf(stderr, "feedhandler: %s\n", error.c_str());
    return 2;
  }
  // Names without a folder are relative to the working directory, also for
  // any file opened without going through the file places.
  if (::chdir(workDir.c_str()) != 0) {
    PrintError("chdir");
    return 2;
  }
  if (!command.headless) {
    if (window == nullptr) {
      std::fprintf(stderr, "feedhandler: the desktop window is not built into this program; use --headless\n");
      return 2;
    }
    if (!command.actions.empty()) {
      std::fprintf(stderr, "feedhandler: --click and --set need --headless\n");
      return 2;
    }
    return window(workDir, systemDrive, command.settings, argc, argv);
  }
  return RunHeadless(command, workDir, systemDrive);
}

}  // namespace fh
