// FeedHandlerDialog: the control dialog of the feed handler as a model without
// a window. It holds the controls (id, kind, caption, check, enabled, visible,
// text), exchanges data between them and the operator's options, and runs the
// handler of every control: Start and End, the settings files, the raw
// recording, the counters grid, the segment and output boxes.
//
// A front end (the Qt window, the headless runner) shows Controls(), the log
// list and the grid of Context(), forwards the operator's clicks and typing
// through Click and SetText, and repaints when Version(), the log list's
// Sequence() or the grid's Version() moved.
//
// Thread safety: every member except Version() belongs to the user-interface
// thread. Version() may be polled from any thread. Receiver and transport
// threads never touch the dialog: they reach the shared state through
// Context() (options are atomics, the log list and grid lock themselves).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "control/feed_services.h"
#include "feedstate/feed_context.h"

namespace fh {

// Control ids of the dialog.
namespace ctl {
enum : int {
  kStart = 1020,
  kEnd = 1021,
  kQuit = 1000,
  kSave = 1181,
  kLoad = 1183,
  kEnable = 1014,
  kWriteBin = 1015,
  kReadBin = 1203,
  kSkip2Fo = 1185,
  kSkip2Cm = 1017,
  kTimer = 1057,
  kFoStatus = 1210,
  kEqStatus = 1211,
  kPktCounters = 1212,
  kCtcl = 1213,
  kFeedHandler = 1244,
  kServer = 1187,
  kServerIp = 1188,
  kTcp = 1253,
  kUdp = 1016,
  kMcast = 1018,
  kBridgePort = 1191,
  kUdpPort = 1192,
  kMcastPort = 1193,
  kBcastDelta = 1260,
  kNseCm = 1261,
  kNseFo = 1019,
  kNseCd = 1023,
  kBse = 1022,
  kGrid = 1184,
  kLogList = 1233,
  kAbout = 0x0010,  // the system menu's About entry, not a control of the template
};
}  // namespace ctl

enum class ControlKind { kButton, kCheckBox, kRadio, kEdit, kListBox, kGrid, kMenuEntry };

struct ControlState {
  int id = 0;
  ControlKind kind = ControlKind::kButton;
  std::string caption;  // as in the dialog template, with its '&' marks
  bool checked = false;
  bool enabled = true;
  bool visible = true;
  std::string text;  // edits only
};

// Dialog texts.
inline constexpr char kDialogTitle[] = "FH BCM";
inline constexpr char kAboutText[] = "FeedHandler, NSE and BSE broadcast feed handler";

class FeedHandlerDialog {
 public:
  FeedHandlerDialog(const FeedContext& context, FeedServices& services);
  ~FeedHandlerDialog();
  FeedHandlerDialog(const FeedHandlerDialog&) = delete;
  FeedHandlerDialog& operator=(const FeedHandlerDialog&) = delete;

  // Dialog initialisation, in order: controls from the options, the instance
  // port 30001, the masters, the counters grid layout, then OnFeedHandler.
  void Initialise();

  // --- Controls -----------------------------------------------------------
  const std::vector<ControlState>& Controls() const { return controls_; }
  // The control with id; a blank record with id 0 when there is none.
  const ControlState& Control(int id) const;
  // Finds a control by its caption without '&' marks ("NSE-CM", "BCAST
  // DELTA", "Start", "About"), case-insensitively, or by its numeric id.
  // 0 when nothing matches.
  int FindControl(std::string_view captionOrId) const;

  // The operator clicks a control: a check box toggles, a radio becomes
  // checked, a button is pressed; then the control's handler runs. A disabled
  // or hidden control, an edit, the grid or the list ignore the click (false).
  bool Click(int id);
  // The operator types into an edit (replacing its text). False for anything
  // that is not an enabled, visible edit.
  bool SetText(int id, std::string_view text);
  // Sets a check box or radio without running its handler.
  void SetCheck(int id, bool checked);

  std::string Title() const { return title_; }
  // Grows with every change of a control or of the title.
  std::uint64_t Version() const { return version_.load(std::memory_order_acquire); }

  // --- Data exchange ------------------------------------------------------
  // Both directions go through one table of the options, in their order. An
  // edit that holds no integer, or a bridge port outside 1024..50000, shows
  // its message box and stops the refresh from the controls there (false);
  // the values before it are kept.
  bool UpdateOptions();
  void UpdateControls();

  // --- Handlers -----------------------------------------------------------
  void OnStart();
  void OnEnd();
  void OnSave();
  void OnLoad();
  void OnFeedHandler();
  void OnServer();
  void OnPktCounters();
  void OnCtcl();
  void OnSegmentClicked();
  void OnWriteBin();
  void OnReadBin();
  void OnUdp();
  void OnMcast();
  void OnBcastDelta();
  void OnOptionOnly();  // Enable, Skip2FO, Skip2CM, TCP: the value is only kept
  void OnAbout();

  // Whether the NSE receiver slot of seg (1, 2, 3) holds a running receiver.
  bool ReceiverRunning(int seg) const;

  // --- Status -----------------------------------------------------------------
  // Receive rates are taken over at least this long, so a fast timer does not
  // make them jump with every scheduling hiccup.
  static constexpr std::chrono::milliseconds kRateInterval{1000};
  // The front end's timer tick: samples the feed's figures into StatusText().
  void OnTimer(std::chrono::steady_clock::time_point now);
  // One line for the operator, e.g.
  //   "NFO 1500 datagrams/s, 4 kernel drops | Bridge connected, queue 4096 bytes"
  // per started segment (ExgSeg order) its receive rate between the last two
  // samples and the socket's drops since Start, then the Bridge's state and
  // send-queue depth; "No segment started" stands in for the segments before
  // Start. Brought up to date by OnTimer, Start and End.
  const std::string& StatusText() const { return status_; }

  const FeedContext& Context() const { return context_; }

 private:
  ControlState* Find(int id);
  // Sets one field of a control; a change moves Version().
  template <typename T>
  void Set(int id, T ControlState::*field, T value);
  void SetEnabled(int id, bool enabled) { Set(id, &ControlState::enabled, enabled); }
  void SetVisible(int id, bool visible) { Set(id, &ControlState::visible, visible); }
  void SetControlText(int id, std::string_view text) { Set(id, &ControlState::text, std::string(text)); }
  void SetTitle(std::string_view title);
  void RunHandler(int id);
  // Opens the recording (or replay) file of seg 0..4 into its own slot. On a
  // failed open: message box, program exit 0, false.
  bool OpenBinFile(int seg, SegmentFiles::Slot slot);
  void ComposeStatus();

  FeedContext context_;
  FeedServices& services_;
  std::vector<ControlState> controls_;
  std::string title_ = kDialogTitle;
  std::atomic<std::uint64_t> version_{0};
  // NSE receiver slots by segment: 1 NCM, 2 NFO, 3 NCD (0 unused).
  std::array<std::unique_ptr<RunningReceiver>, 4> receivers_;

  // What the status line remembers of each segment (by ExgSeg). BSE counts as
  // started from its Start on: End stops only the NSE receivers.
  struct SegmentStatus {
    bool started = false;
    std::uint64_t dropsAtStart = 0;
    std::uint64_t sampledDatagrams = 0;
    double datagramsPerSecond = 0;
  };
  std::array<SegmentStatus, kSegmentCount> segmentStatus_{};
  std::chrono::steady_clock::time_point sampledAt_{};
  bool sampledOnce_ = false;
  std::string status_;
};

}  // namespace fh
