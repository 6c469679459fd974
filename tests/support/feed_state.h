// Fresh shared state for one test: everything a FeedContext points at, with
// files in a temporary folder that also stands for the system drive, the grid
// laid out, and recorders for the message boxes and the program exit. Every
// recorder is safe to call from any thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "feedstate/feed_context.h"
#include "support/test_dir.h"

namespace fh::testing {

// Calls that tests read back in order. onEvent, when set, also sees each one
// as "box:TEXT" or "exit:CODE" (for tests that check the order of events).
class RecordingBoxes final : public MessageBoxes {
 public:
  void Show(std::string_view text) override {
    std::lock_guard lock(mutex_);
    texts_.emplace_back(text);
    if (onEvent) onEvent("box:" + std::string(text));
  }
  std::vector<std::string> Texts() const {
    std::lock_guard lock(mutex_);
    return texts_;
  }
  std::function<void(const std::string&)> onEvent;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
};

class RecordingExit final : public ProgramExit {
 public:
  void Exit(int code) override {
    std::lock_guard lock(mutex_);
    codes_.push_back(code);
    if (onEvent) onEvent("exit:" + std::to_string(code));
  }
  std::vector<int> Codes() const {
    std::lock_guard lock(mutex_);
    return codes_;
  }
  std::function<void(const std::string&)> onEvent;

 private:
  mutable std::mutex mutex_;
  std::vector<int> codes_;
};

struct FeedState {
  TempDir dir;
  FeedHandlerOptions options;
  LogList log;
  CounterGrid grid;
  SegmentFiles files;
  FilePlaces places{dir.path(), dir.path()};
  InstancePorts ports;
  RecordingBoxes boxes;
  RecordingExit exit;
  FeedMetrics metrics;
  FeedContext context{options, log, grid, files, places, ports, boxes, exit, metrics};

  FeedState() { grid.LayOut(); }

  bool Logged(const std::string& line) const {
    const auto lines = log.Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  // Lines oldest first, which reads like the order of events.
  std::vector<std::string> LinesInOrder() const {
    auto lines = log.Lines();
    std::reverse(lines.begin(), lines.end());
    return lines;
  }
  std::vector<std::string> LinesContaining(std::string_view part) const {
    std::vector<std::string> out;
    for (const std::string& line : LinesInOrder())
      if (line.find(part) != std::string::npos) out.push_back(line);
    return out;
  }
  // The cell of the grid row labelled with code, in column col.
  std::string CounterCell(int code, int col) const {
    for (int r = 1; r < grid.Rows(); ++r)
      if (grid.CellText(r, 0) == std::to_string(code)) return grid.CellText(r, col);
    return "(no row)";
  }
};

// Polls cond every millisecond for at most timeout.
inline bool WaitFor(const std::function<bool()>& cond,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace fh::testing
