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
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "control/feed_services.h"
#include "feedstate/feed_context.h"
#include "feedstate/feed_defaults.h"

namespace fh {

// Control ids of the dialog.
namespace ctl {
inline constexpr int kStart = 1020;
inline constexpr int kEnd = 1021;
inline constexpr int kQuit = 1000;
inline constexpr int kSave = 1181;
inline constexpr int kLoad = 1183;
inline constexpr int kEnable = 1014;
inline constexpr int kWriteBin = 1015;
inline constexpr int kReadBin = 1203;
inline constexpr int kSkip2Fo = 1185;
inline constexpr int kSkip2Cm = 1017;
inline constexpr int kTimer = 1057;
inline constexpr int kFoStatus = 1210;
inline constexpr int kEqStatus = 1211;
inline constexpr int kPktCounters = 1212;
inline constexpr int kCtcl = 1213;
inline constexpr int kFeedHandler = 1244;
inline constexpr int kServer = 1187;
inline constexpr int kServerIp = 1188;
inline constexpr int kTcp = 1253;
inline constexpr int kUdp = 1016;
inline constexpr int kMcast = 1018;
inline constexpr int kBridgePort = 1191;
inline constexpr int kUdpPort = 1192;
inline constexpr int kMcastPort = 1193;
inline constexpr int kBcastDelta = 1260;
inline constexpr int kNseCm = 1261;
inline constexpr int kNseFo = 1019;
inline constexpr int kNseCd = 1023;
inline constexpr int kBse = 1022;
inline constexpr int kGrid = 1184;
inline constexpr int kLogList = 1233;
// The system menu's About entry (not a control of the dialog template).
inline constexpr int kAbout = 0x0010;
}  // namespace ctl

enum class ControlKind { kButton, kCheckBox, kRadio, kEdit, kListBox, kGrid, kMenuEntry };

const char* ControlKindName(ControlKind kind);  // "button", "checkbox", ...

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
inline constexpr char kPortRangeText[] = "Please enter an integer between 1024 and 50000.";
inline constexpr char kIntegerText[] = "Please enter an integer.";
inline constexpr int kBridgePortMin = 1024;
inline constexpr int kBridgePortMax = 50000;

// Receiver defaults and the files that override them.
struct ReceiverDefault {
  int seg;
  const char* address;
  int port;
  const char* addressFile;
  const char* logFormat;  // "NSE FO %s|%ld" ...
};
inline constexpr ReceiverDefault kReceiverDefaults[] = {
    {2, kNseDefaultGroup, kNfoDefaultPort, "BCASTOUT_TEXT_FO.TXT", "NSE FO %s|%ld"},
    {1, kNseDefaultGroup, kNcmDefaultPort, "BCASTOUT_TEXT_CASH.TXT", "NSE CM %s|%ld"},
    {3, kNseDefaultGroup, kNcdDefaultPort, "BCASTOUT_TEXT_NCD.TXT", "NSE CD %s|%ld"},
    {4, kBseDefaultAddress, kBseDefaultPort, "BCASTOUT_TEXT_CASH_BSE.TXT", "BSE CM %s|%ld"},
};

// A receiver's address text holds at most 15 characters ("255.255.255.255").
inline constexpr std::size_t kAddressTextSize = 16;

// Reads an address file (mode "r+"): the address ("%s") then the port ("%ld").
// A missing file shows "Cant open file for Ip/Port Read: <name>" and leaves
// both unchanged; a field that is absent or unreadable leaves its value
// unchanged, and an address longer than 15 characters is refused (the default
// stays). name is relative to the working directory of places.
void ReadAddressFile(const FilePlaces& places, MessageBoxes& boxes, const char* name,
                     char (&address)[kAddressTextSize], long& port);

// File names of the raw recording (mode "ab+") and of the replay input (mode
// "rb+") of seg 0..4; null for any other seg.
const char* RecordingFileName(int seg);
const char* ReplayFileName(int seg);
// Settings file of seg 1, 2 or 4 ("FH_Config_NCM.TXT" ...); null otherwise.
const char* SettingsFileName(int seg);

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
  bool HasControl(int id) const;
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
  // Called on the user-interface thread after each change (optional).
  void SetObserver(std::function<void()> observer) { observer_ = std::move(observer); }

  // --- Data exchange ------------------------------------------------------
  // Options from the controls, in the order of the option table. An edit that
  // holds no integer, or a bridge port outside 1024..50000, shows its message
  // box and stops the refresh there (false); values before it are kept.
  bool UpdateOptions();
  // Controls from the options.
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

  // --- Settings and recording ----------------------------------------------
  void ReadSettings(int seg);         // seg 1, 2 or 4
  void WriteSettings(int selector);   // a value of the instance-port table
  // Open the recording (or replay) file of seg 0..4 into its own slot. On a
  // failed open: message box, program exit 0, false.
  bool OpenRecordingFile(int seg);
  bool OpenReplayFile(int seg);

  // Whether the NSE receiver slot of seg (1, 2, 3) holds a running receiver.
  bool ReceiverRunning(int seg) const;

  const FeedContext& Context() const { return context_; }
  FeedHandlerOptions& Options() { return context_.options; }

 private:
  ControlState* Find(int id);
  void Changed();
  void SetEnabled(int id, bool enabled);
  void SetVisible(int id, bool visible);
  void SetControlText(int id, std::string_view text);
  void SetTitle(std::string_view title);
  void RunHandler(int id);

  FeedContext context_;
  FeedServices& services_;
  std::vector<ControlState> controls_;
  std::string title_ = kDialogTitle;
  std::atomic<std::uint64_t> version_{0};
  std::function<void()> observer_;
  // NSE receiver slots by segment: 1 NCM, 2 NFO, 3 NCD (0 unused).
  std::array<std::unique_ptr<RunningReceiver>, 4> receivers_;
};

}  // namespace fh
