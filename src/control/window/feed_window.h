// FeedWindow: the control dialog on the screen. It builds one Qt widget per
// control of the dialog model (buttons, check boxes, radios, edits, the log
// list and the counters grid), forwards the operator's clicks and typing to
// the model, and keeps the widgets, the title, the log list and the grid in
// step with it.
//
// The model is polled on a short timer: the window compares the dialog's
// Version(), the log list's Sequence() and the grid's Version() with what it
// last showed and repaints only what moved. Only new log lines are added,
// oldest first and at most kMaxLinesPerRefresh a tick (a backlog drains over
// the next ticks; lines that fell off the log list meanwhile are skipped), and
// the list keeps the newest kMaxListLines, so a feed that logs heavily cannot
// freeze the window. Each tick also hands the time to the model's OnTimer and
// shows its status text (rates, drops, the Bridge) in a status bar beneath
// the log list and the grid.
//
// Escape does not close the window; closing it from the title bar does.
//
// Thread safety: user-interface thread only. Receiver and transport threads
// never touch the window; they write the log list and the grid, which lock
// themselves.
#pragma once

#include <QDialog>
#include <cstdint>
#include <unordered_map>

#include "control/feed_handler_dialog.h"

class QAction;
class QListWidget;
class QTableWidget;
class QTimer;
class QLabel;
class QStatusBar;

namespace fh {

class FeedWindow : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kRefreshMs = 100;
  static constexpr int kMaxLinesPerRefresh = 2000;
  static constexpr int kMaxListLines = static_cast<int>(LogList::kDefaultCapacity);

  explicit FeedWindow(FeedHandlerDialog& dialog, QWidget* parent = nullptr);
  ~FeedWindow() override;

  // Brings everything up to date with the model now (the timer does it every
  // kRefreshMs, after sampling the feed's figures).
  void Refresh();
  // The timer's work: the model's OnTimer, then Refresh.
  void Tick();

  // The widget of a control id (ctl::...), null for an id without one.
  QWidget* ControlWidget(int id) const;
  QListWidget* LogListWidget() const { return logList_; }
  QTableWidget* GridWidget() const { return grid_; }
  QStatusBar* StatusBar() const { return statusBar_; }
  // The About entry of the window's menu and context menu.
  QAction* AboutAction() const { return about_; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void Build();
  QWidget* MakeControl(const ControlState& control);
  void RefreshControls();
  void RefreshLog();
  void RefreshGrid();
  void OnClicked(int id);

  FeedHandlerDialog& dialog_;
  std::unordered_map<int, QWidget*> widgets_;
  QLabel* timerLabel_ = nullptr;
  QListWidget* logList_ = nullptr;
  QTableWidget* grid_ = nullptr;
  QStatusBar* statusBar_ = nullptr;
  QAction* about_ = nullptr;
  QTimer* timer_ = nullptr;
  bool shownOnce_ = false;
  std::uint64_t shownVersion_ = 0;
  std::uint64_t shownLogSequence_ = 0;
  std::uint64_t shownGridVersion_ = 0;
};

}  // namespace fh
