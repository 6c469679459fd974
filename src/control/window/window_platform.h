// The platform services of the desktop window: message boxes shown as Qt
// message boxes, and a program exit that ends the Qt event loop so the
// composition root can stop every thread before the process ends.
//
// Thread safety: both are created on the user-interface thread (after the
// QApplication). Show and Exit may be called from any thread: on the
// user-interface thread Show is modal and returns when the operator presses
// OK; from any other thread it queues the box for the user-interface thread
// and returns at once, so a receiver never waits on the window (nor the
// window, joining that receiver, on it).
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <atomic>
#include <string_view>

#include "feedstate/platform.h"

namespace fh {

inline constexpr char kMessageBoxTitle[] = "FeedHandler";

class QtMessageBoxes final : public MessageBoxes {
 public:
  QtMessageBoxes() = default;
  void Show(std::string_view text) override;
  // The window the boxes are centred on (user-interface thread only). Reset
  // by itself when the window goes away.
  void SetParent(QWidget* parent) { parent_ = parent; }

 private:
  void ShowNow(const QString& text);

  QObject receiver_;  // lives on the user-interface thread; queued boxes run there
  QPointer<QWidget> parent_;
};

class WindowProgramExit final : public ProgramExit {
 public:
  WindowProgramExit() = default;
  // Records the code (the first request wins) and asks the event loop to end
  // with it. When no loop runs yet, the caller of RunWindow sees Requested().
  void Exit(int code) override;
  bool Requested() const { return requested_.load(std::memory_order_acquire); }
  int Code() const { return code_.load(std::memory_order_acquire); }

 private:
  QObject receiver_;
  std::atomic<bool> claimed_{false};    // the first Exit takes it
  std::atomic<bool> requested_{false};  // set once code_ holds the code
  std::atomic<int> code_{0};
};

}  // namespace fh
