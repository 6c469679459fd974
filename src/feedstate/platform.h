// The small platform services the handlers call: message boxes, ending the
// program, and the error-print form on standard error.
//
// Thread safety: PrintError may be called from any thread. Implementations of
// MessageBoxes and ProgramExit say their own rules; the ones here are safe from
// any thread.
#pragma once

#include <string_view>

namespace fh {

// Writes "what: <description of errno>" and a line end to standard error.
void PrintError(const char* what);

// A message box the operator acknowledges with OK.
class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  virtual void Show(std::string_view text) = 0;
};

// Ends the program. The standard one flushes the C streams and ends the process
// at once with the code; a test replaces it with one that records the code and
// returns, so every caller returns right after calling Exit.
class ProgramExit {
 public:
  virtual ~ProgramExit() = default;
  virtual void Exit(int code) = 0;
};

class StandardProgramExit final : public ProgramExit {
 public:
  void Exit(int code) override;
};

// Writes each message box as one line on standard error and goes on as if OK
// had been pressed.
class StderrMessageBoxes final : public MessageBoxes {
 public:
  void Show(std::string_view text) override;
};

}  // namespace fh
