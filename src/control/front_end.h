// The feedhandler program: command line, the headless front end and the hook
// for the desktop window.
//
//   feedhandler --headless [--workdir DIR] [--system-drive DIR] [--metrics ADDR:PORT] [ACTION ...]
//   feedhandler [--workdir DIR] [--system-drive DIR]      (the window)
//   feedhandler --help
//
// ACTION is --click CONTROL (a caption without '&', such as "NSE-CM", "BCAST
// DELTA", "Start", or a numeric id) or --set ID=TEXT (an edit's id or caption).
// Headless, the actions run in order after the dialog's initialisation; then
// standard input is read for more ("click CONTROL", "set ID=TEXT", "grid",
// "state", "title", "stats"), until SIGINT or SIGTERM, after which every thread is
// stopped and the program exits 0. End of input does not end the program; an
// input line longer than 64 KiB is dropped with one line on standard error.
// Every log line goes to standard output as one line, every message box to
// standard error as one line (the program goes on as if OK was pressed). Log
// lines pass through a bounded queue and a writer thread (LogLineWriter): a
// reader that falls behind costs lines, counted in a "<n> log lines not
// shown" line, never the feed's time.
//
// Thread safety: RunFeedHandler runs on the main thread, which is the
// user-interface thread of the dialog.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "control/feed_application.h"

namespace fh {

class FeedHandlerDialog;

struct FrontEndAction {
  enum class Kind { kClick, kSet, kGrid, kState, kTitle, kStats };
  Kind kind = Kind::kClick;
  std::string control;  // caption or id
  std::string text;     // kSet only
};

struct CommandLine {
  bool help = false;
  bool headless = false;
  std::string workDir;      // "" = the current directory
  std::string systemDrive;  // "" = FH_SYSTEM_DRIVE, else the working directory
  std::vector<FrontEndAction> actions;
  RunSettings settings;
  bool batchGiven = false;  // --batch given (else FH_BATCH may set it)
};

// Parses argv. False with a message in *error for an unknown option or a
// missing value.
bool ParseCommandLine(int argc, const char* const* argv, CommandLine* out, std::string* error);

// Standard input cut into lines as it arrives, at the same work for every
// byte: a line longer than kMaxLine bytes (its '\n' not counted) is dropped as
// it streams in, said once through dropped() when it passes the limit, and
// the input goes on with the next line. Holds at most kMaxLine bytes.
class InputLines {
 public:
  static constexpr std::size_t kMaxLine = std::size_t{64} * 1024;
  using LineFn = std::function<void(std::string_view line)>;

  InputLines();
  // Calls line for each line that bytes complete, without its '\n'.
  void Feed(std::string_view bytes, const LineFn& line, const std::function<void()>& dropped);
  // End of input: the last line, when it had no '\n'.
  void Finish(const LineFn& line);

 private:
  std::string pending_;
  bool dropping_ = false;  // the current line passed kMaxLine
};

// Parses one line of standard input ("click NSE-CM", "set 1191=15000",
// "grid", "state", "title", "stats"). False for an empty or unknown line.
bool ParseActionLine(std::string_view line, FrontEndAction* out, std::string* error);

// Runs one action on the dialog; output goes to out and complaints (unknown
// or disabled control) to err as one line each. The grid prints its rows as
// tab-separated cells; the state prints a header line naming its columns
// ("id", "caption", "checked", "enabled", "visible", "text"), a row for the
// dialog itself (id 0, the window title as its caption), then a row per
// control: id, caption without '&', checked, enabled, visible, text. The
// stats print the feed's figures as the metrics endpoint exposes them, one
// sample a line, without the exposition's comment lines.
void RunAction(FeedHandlerDialog& dialog, const FrontEndAction& action, std::FILE* out, std::FILE* err);

// Where the files live for this command line: the working directory made
// absolute, and the system drive (--system-drive, else FH_SYSTEM_DRIVE, else
// the working directory). False with *error when the folder does not exist.
bool ResolvePlaces(const CommandLine& command, std::string* workDir, std::string* systemDrive, std::string* error);

// The desktop window, when one is built: it composes a FeedApplication with
// its own message boxes (places as resolved here), initialises the dialog and
// runs it until it closes; it returns the exit code.
using WindowMain = int (*)(const std::string& workDir, const std::string& systemDrive, const RunSettings& settings,
                           int argc, char** argv);

// The whole program. window may be null (no window built: without --headless
// the program says so and returns 2).
int RunFeedHandler(int argc, char** argv, WindowMain window);

}  // namespace fh
