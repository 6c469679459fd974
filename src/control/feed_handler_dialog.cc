#include "control/feed_handler_dialog.h"

#include <cctype>
#include <charconv>
#include <cstdio>

#include "control/settings_files.h"
#include "feedstate/exg_seg.h"

namespace fh {
namespace {

using Handler = void (FeedHandlerDialog::*)();

struct ControlTemplate {
  int id;
  ControlKind kind;
  const char* caption;
  bool enabled;
  Handler handler;  // run after a click; null for none
};

using D = FeedHandlerDialog;
constexpr bool kDisabled = false;

constexpr ControlTemplate Button(int id, const char* caption, Handler handler, bool enabled = true) {
  return {id, ControlKind::kButton, caption, enabled, handler};
}
constexpr ControlTemplate Check(int id, const char* caption, Handler handler) {
  return {id, ControlKind::kCheckBox, caption, true, handler};
}
constexpr ControlTemplate Edit(int id, const char* label = "", bool enabled = true) {
  return {id, ControlKind::kEdit, label, enabled, nullptr};
}

// The dialog template, in tab order, with the handler of each control. Check
// states and edit texts come from the options through UpdateControls.
constexpr ControlTemplate kTemplate[] = {
    Button(ctl::kStart, "&Start", &D::OnStart), Button(ctl::kEnd, "&End", &D::OnEnd, kDisabled),
    Button(ctl::kQuit, "&Quit", nullptr, kDisabled), Button(ctl::kSave, "Save", &D::OnSave),
    Button(ctl::kLoad, "Load", &D::OnLoad),
    Check(ctl::kEnable, "Enable", &D::OnOptionOnly), Check(ctl::kWriteBin, "Write BIN", &D::OnWriteBin),
    Check(ctl::kReadBin, "Read BIN", &D::OnReadBin), Check(ctl::kSkip2Fo, "Skip2FO", &D::OnOptionOnly),
    Check(ctl::kSkip2Cm, "Skip2CM", &D::OnOptionOnly),
    Edit(ctl::kTimer, "Timer >>"), Edit(ctl::kFoStatus, "", kDisabled), Edit(ctl::kEqStatus, "", kDisabled),
    Check(ctl::kPktCounters, "PktCounters", &D::OnPktCounters), Check(ctl::kCtcl, "CTCL", &D::OnCtcl),
    {ctl::kFeedHandler, ControlKind::kRadio, "FeedHandler", true, &D::OnFeedHandler},
    {ctl::kServer, ControlKind::kRadio, "Server", true, &D::OnServer},
    Edit(ctl::kServerIp),
    Check(ctl::kTcp, "TCP", &D::OnOptionOnly), Check(ctl::kUdp, "UDP", &D::OnUdp),
    Check(ctl::kMcast, "MCAST", &D::OnMcast),
    Edit(ctl::kBridgePort), Edit(ctl::kUdpPort), Edit(ctl::kMcastPort),
    Check(ctl::kBcastDelta, "BCAST DELTA", &D::OnBcastDelta),
    Check(ctl::kNseCm, "NSE-CM", &D::OnSegmentClicked), Check(ctl::kNseFo, "NSE-FO", &D::OnSegmentClicked),
    Check(ctl::kNseCd, "NSE-CD", &D::OnSegmentClicked), Check(ctl::kBse, "BSE-CM-FO-CD", &D::OnSegmentClicked),
    {ctl::kGrid, ControlKind::kGrid, "", true, nullptr},
    {ctl::kLogList, ControlKind::kListBox, "", true, nullptr},
    {ctl::kAbout, ControlKind::kMenuEntry, "About", true, &D::OnAbout},
};

const ControlState kNoControl{};

std::string WithoutMnemonics(std::string_view caption) {
  std::string out;
  for (char c : caption)
    if (c != '&') out += c;
  return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Reads an edit's text as an integer the way the dialog framework does:
// surrounding blanks allowed, one optional sign, decimal digits, nothing else.
bool ParseInteger(std::string_view text, int* out) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  *out = value;
  return true;
}

// How a control and its option are exchanged.
enum class Exchange {
  kCheck,       // check box: 1 checked, 0 not
  kRadio,       // radio: 0 checked, -1 not
  kInteger,     // edit holding an integer
  kBridgePort,  // edit holding an integer of 1024..50000
  kText,        // edit holding any text
};

struct OptionBinding {
  int id;
  Exchange exchange;
  std::atomic<int> FeedHandlerOptions::*number;  // all but kText
  std::string FeedHandlerOptions::*text;         // kText only
};

using O = FeedHandlerOptions;
using Number = std::atomic<int> O::*;

constexpr OptionBinding CheckOption(int id, Number field) { return {id, Exchange::kCheck, field, nullptr}; }
constexpr OptionBinding RadioOption(int id, Number field) { return {id, Exchange::kRadio, field, nullptr}; }
constexpr OptionBinding IntegerOption(int id, Number field) { return {id, Exchange::kInteger, field, nullptr}; }
constexpr OptionBinding TextOption(int id, std::string O::*field) { return {id, Exchange::kText, nullptr, field}; }

// The options in the order the data exchange visits them: a refresh from the
// controls that stops at a bad edit has taken the options above it only.
constexpr OptionBinding kOptionBindings[] = {
    CheckOption(ctl::kEnable, &O::enable), CheckOption(ctl::kWriteBin, &O::writeBin),
    CheckOption(ctl::kReadBin, &O::readBin), TextOption(ctl::kTimer, &O::timerText),
    CheckOption(ctl::kSkip2Fo, &O::skip2Fo), CheckOption(ctl::kSkip2Cm, &O::skip2Cm),
    {ctl::kBridgePort, Exchange::kBridgePort, &O::bridgePort, nullptr},
    TextOption(ctl::kServerIp, &O::serverIp),
    IntegerOption(ctl::kUdpPort, &O::udpPort), IntegerOption(ctl::kMcastPort, &O::mcastPort),
    TextOption(ctl::kFoStatus, &O::foStatus), TextOption(ctl::kEqStatus, &O::eqStatus),
    CheckOption(ctl::kPktCounters, &O::pktCounters), CheckOption(ctl::kCtcl, &O::ctcl),
    RadioOption(ctl::kFeedHandler, &O::feedHandlerRadio), RadioOption(ctl::kServer, &O::serverRadio),
    CheckOption(ctl::kTcp, &O::sendTcp), CheckOption(ctl::kUdp, &O::sendUdp), CheckOption(ctl::kMcast, &O::sendMcast),
    CheckOption(ctl::kBcastDelta, &O::bcastDelta),
    CheckOption(ctl::kNseCm, &O::segNcm), CheckOption(ctl::kNseFo, &O::segNfo),
    CheckOption(ctl::kNseCd, &O::segNcd), CheckOption(ctl::kBse, &O::segBcm),
};

// The data exchange's messages and the bridge port's range.
constexpr char kPortRangeText[] = "Please enter an integer between 1024 and 50000.";
constexpr char kIntegerText[] = "Please enter an integer.";
constexpr int kBridgePortMin = 1024;
constexpr int kBridgePortMax = 50000;

// The four segment options by ExgSeg (0 unused).
std::array<int, kSegmentCount> CheckedSegments(const FeedHandlerOptions& o) {
  return {0, o.segNcm.load(), o.segNfo.load(), o.segNcd.load(), o.segBcm.load()};
}

}  // namespace

FeedHandlerDialog::FeedHandlerDialog(const FeedContext& context, FeedServices& services)
    : context_(context), services_(services) {
  controls_.reserve(std::size(kTemplate));
  for (const ControlTemplate& t : kTemplate) {
    ControlState c;
    c.id = t.id;
    c.kind = t.kind;
    c.caption = t.caption;
    c.enabled = t.enabled;
    c.visible = true;
    controls_.push_back(std::move(c));
  }
  // The grid shows only while PktCounters is checked.
  Find(ctl::kGrid)->visible = false;
  UpdateControls();
  ComposeStatus();
}

FeedHandlerDialog::~FeedHandlerDialog() {
  for (auto& slot : receivers_) {
    if (slot) slot->Stop();
    slot.reset();
  }
}

// --- Controls ---------------------------------------------------------------

ControlState* FeedHandlerDialog::Find(int id) {
  for (ControlState& c : controls_)
    if (c.id == id) return &c;
  return nullptr;
}

const ControlState& FeedHandlerDialog::Control(int id) const {
  for (const ControlState& c : controls_)
    if (c.id == id) return c;
  return kNoControl;
}

int FeedHandlerDialog::FindControl(std::string_view captionOrId) const {
  int number = 0;
  if (ParseInteger(captionOrId, &number)) return Control(number).id;
  const std::string wanted = WithoutMnemonics(captionOrId);
  for (const ControlState& c : controls_) {
    if (!c.caption.empty() && EqualNoCase(WithoutMnemonics(c.caption), wanted)) return c.id;
  }
  return 0;
}

template <typename T>
void FeedHandlerDialog::Set(int id, T ControlState::*field, T value) {
  ControlState* c = Find(id);
  if (c == nullptr || c->*field == value) return;
  c->*field = std::move(value);
  version_.fetch_add(1, std::memory_order_acq_rel);
}

void FeedHandlerDialog::SetCheck(int id, bool checked) { Set(id, &ControlState::checked, checked); }

void FeedHandlerDialog::SetTitle(std::string_view title) {
  if (title_ == title) return;
  title_.assign(title);
  version_.fetch_add(1, std::memory_order_acq_rel);
}

bool FeedHandlerDialog::Click(int id) {
  ControlState* c = Find(id);
  if (c == nullptr || !c->enabled || !c->visible) return false;
  switch (c->kind) {
    case ControlKind::kCheckBox: SetCheck(id, !c->checked); break;
    case ControlKind::kRadio: SetCheck(id, true); break;
    case ControlKind::kButton:
    case ControlKind::kMenuEntry: break;
    default: return false;
  }
  RunHandler(id);
  return true;
}

bool FeedHandlerDialog::SetText(int id, std::string_view text) {
  ControlState* c = Find(id);
  if (c == nullptr || c->kind != ControlKind::kEdit || !c->enabled || !c->visible) return false;
  SetControlText(id, text);
  return true;
}

void FeedHandlerDialog::RunHandler(int id) {
  for (const ControlTemplate& t : kTemplate) {
    if (t.id == id && t.handler != nullptr) (this->*t.handler)();
  }
}

// --- Data exchange -----------------------------------------------------------

bool FeedHandlerDialog::UpdateOptions() {
  FeedHandlerOptions& o = context_.options;
  for (const OptionBinding& b : kOptionBindings) {
    const ControlState& c = Control(b.id);
    int value = 0;
    switch (b.exchange) {
      case Exchange::kCheck: (o.*b.number).store(c.checked ? 1 : 0); break;
      case Exchange::kRadio: (o.*b.number).store(c.checked ? 0 : -1); break;
      case Exchange::kText: o.*b.text = c.text; break;
      case Exchange::kInteger:
      case Exchange::kBridgePort:
        if (!ParseInteger(c.text, &value)) {
          context_.messageBoxes.Show(kIntegerText);
          return false;
        }
        (o.*b.number).store(value);
        if (b.exchange == Exchange::kBridgePort && (value < kBridgePortMin || value > kBridgePortMax)) {
          context_.messageBoxes.Show(kPortRangeText);
          return false;
        }
        break;
    }
  }
  return true;
}

void FeedHandlerDialog::UpdateControls() {
  const FeedHandlerOptions& o = context_.options;
  for (const OptionBinding& b : kOptionBindings) {
    switch (b.exchange) {
      case Exchange::kCheck: SetCheck(b.id, (o.*b.number).load() == 1); break;
      case Exchange::kRadio: SetCheck(b.id, (o.*b.number).load() == 0); break;
      case Exchange::kText: SetControlText(b.id, o.*b.text); break;
      case Exchange::kInteger:
      case Exchange::kBridgePort: {
        char text[16];
        const auto res = std::to_chars(text, text + sizeof text, (o.*b.number).load());
        SetControlText(b.id, std::string_view(text, static_cast<std::size_t>(res.ptr - text)));
        break;
      }
    }
  }
}

// --- Initialisation ----------------------------------------------------------

void FeedHandlerDialog::Initialise() {
  UpdateControls();
  context_.ports.instancePort.store(kDialogInstancePort);
  services_.LoadMasters();
  context_.grid.LayOut();
  context_.grid.SetVisible(Control(ctl::kGrid).visible);
  OnFeedHandler();
}

// --- Start and End -------------------------------------------------------------

void FeedHandlerDialog::OnStart() {
  UpdateOptions();
  SetEnabled(ctl::kTimer, false);
  SetEnabled(ctl::kReadBin, false);

  const FeedHandlerOptions& o = context_.options;
  if (o.serverRadio.load() == 0) {
    const auto checked = CheckedSegments(o);
    for (const ReceiverDefault& d : kReceiverDefaults) {
      if (checked[d.seg] != 1) continue;
      char address[kAddressTextSize] = {};
      std::snprintf(address, sizeof address, "%s", d.address);
      long port = d.port;
      ReadAddressFile(context_.places, context_.messageBoxes, d.addressFile, address, port);
      context_.log.LogFormat(d.logFormat, address, port);
      segmentStatus_[d.seg].started = true;
      segmentStatus_[d.seg].dropsAtStart = context_.metrics.Of(d.seg).kernelDrops.Get();
      if (d.seg == kSegBcm) {
        services_.StartBseReceiver(address, static_cast<int>(port));
        continue;
      }
      // A slot still holding a receiver (Start called twice without End) is
      // stopped first, so no thread is ever left without its handle.
      std::unique_ptr<RunningReceiver>& slot = receivers_[d.seg];
      if (slot) slot->Stop();
      slot = services_.StartNseReceiver(d.seg, address, static_cast<int>(port));
    }
  }

  SetEnabled(ctl::kStart, false);
  SetEnabled(ctl::kEnd, true);
  ComposeStatus();
}

void FeedHandlerDialog::OnEnd() {
  SetEnabled(ctl::kTimer, true);
  SetEnabled(ctl::kReadBin, true);
  SetEnabled(ctl::kStart, true);
  SetEnabled(ctl::kEnd, false);
  UpdateControls();
  for (auto& slot : receivers_) {
    if (!slot) continue;
    slot->Stop();
    slot.reset();
  }
  for (int seg = kSegNcm; seg <= kSegNcd; ++seg) segmentStatus_[seg].started = false;
  ComposeStatus();
}

bool FeedHandlerDialog::ReceiverRunning(int seg) const {
  return seg > 0 && seg < static_cast<int>(receivers_.size()) && receivers_[seg] != nullptr;
}

// --- Status ----------------------------------------------------------------------

void FeedHandlerDialog::OnTimer(std::chrono::steady_clock::time_point now) {
  const FeedMetrics& m = context_.metrics;
  const auto elapsed = now - sampledAt_;
  if (!sampledOnce_ || elapsed >= kRateInterval) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    for (int seg = kSegNcm; seg <= kSegBcm; ++seg) {
      SegmentStatus& s = segmentStatus_[seg];
      const std::uint64_t datagrams = m.Of(seg).datagrams.Get();
      s.datagramsPerSecond = sampledOnce_ ? static_cast<double>(datagrams - s.sampledDatagrams) / seconds : 0;
      s.sampledDatagrams = datagrams;
    }
    sampledAt_ = now;
    sampledOnce_ = true;
  }
  ComposeStatus();
}

void FeedHandlerDialog::ComposeStatus() {
  const FeedMetrics& m = context_.metrics;
  std::string text;
  char part[96];
  for (int seg = kSegNcm; seg <= kSegBcm; ++seg) {
    const SegmentStatus& s = segmentStatus_[seg];
    if (!s.started) continue;
    // Drops counted before this Start belong to an earlier run.
    const std::uint64_t drops = m.Of(seg).kernelDrops.Get() - s.dropsAtStart;
    std::snprintf(part, sizeof part, "%s %.0f datagrams/s, %llu kernel drops | ", SegmentSuffix(seg),
                  s.datagramsPerSecond, static_cast<unsigned long long>(drops));
    text += part;
  }
  if (text.empty()) text = "No segment started | ";
  std::snprintf(part, sizeof part, "Bridge %s, queue %lld bytes",
                m.bridgeConnected.Get() != 0 ? "connected" : "not connected",
                static_cast<long long>(m.bridgeQueueBytes.Get()));
  text += part;
  status_ = std::move(text);
}

// --- Settings --------------------------------------------------------------------

void FeedHandlerDialog::OnFeedHandler() {
  UpdateOptions();
  const FeedHandlerOptions& o = context_.options;
  if (o.segNcm.load() == 1) ReadSettings(context_, kSegNcm);
  if (o.segNfo.load() == 1) ReadSettings(context_, kSegNfo);
  if (o.segBcm.load() == 1) ReadSettings(context_, kSegBcm);
  UpdateControls();
  UpdateOptions();
}

void FeedHandlerDialog::OnSave() { TouchStateFile(context_, "w+"); }

void FeedHandlerDialog::OnLoad() { TouchStateFile(context_, "r+"); }

// --- Server, counters, CTCL, segments, outputs ---------------------------------------

void FeedHandlerDialog::OnServer() {
  UpdateOptions();
  SetEnabled(ctl::kServerIp, false);
  SetEnabled(ctl::kServer, false);
  if (context_.options.feedHandlerRadio.load() != 0) return;
  services_.StartBridgeServer();
  WriteSettings(context_, context_.ports.instancePort.load());
}

void FeedHandlerDialog::OnPktCounters() {
  UpdateOptions();
  const FeedHandlerOptions& o = context_.options;
  const bool show = o.pktCounters.load() == 1;
  SetVisible(ctl::kGrid, show);
  context_.grid.SetVisible(show);
  if (o.segNcm.load() != 1 || !show) return;

  CounterGrid& grid = context_.grid;
  constexpr int kCash = CounterGrid::kCashColumn;
  constexpr int kFo = CounterGrid::kFoColumn;
  grid.SetCounterCell(0, services_.CmCounter(CmCount::kMessagesToDecoder, 0), kCash);
  // Row 7203 shows each decoder's own industry-index count in its own column,
  // as the decoders themselves write it; the refresh writes the CM one.
  for (int code : {1833, 1836, 6013, 6501, 6511, 6541, 6581, 6582, 7200, 7201, 7202, 7203, 7206, 7207, 7208,
                   7210, 7211, 7305, 7306, 9010, 9011})
    grid.SetCounterCell(code, services_.CmCounter(CmCount::kByCode, code), kCash);
  grid.SetCounterCell(0, services_.CmCounter(CmCount::kDatagrams, 0), kFo);
  grid.SetCounterCell(1, services_.CmCounter(CmCount::kCompressedPackets, 0), kFo);
  grid.SetCounterCell(1, services_.CmCounter(CmCount::kUncompressedPackets, 0), kCash);
}

void FeedHandlerDialog::OnCtcl() {
  UpdateOptions();
  const bool show = context_.options.ctcl.load() == 1;
  SetVisible(ctl::kServerIp, show);
  SetVisible(ctl::kServer, show);
  SetVisible(ctl::kBridgePort, show);
}

void FeedHandlerDialog::OnSegmentClicked() {
  UpdateOptions();
  const auto checked = CheckedSegments(context_.options);
  for (int seg = kSegNcm; seg <= kSegBcm; ++seg) {
    if (checked[seg] != 1) continue;
    char title[16];
    std::snprintf(title, sizeof title, "FH %s", SegmentSuffix(seg));
    SetTitle(title);
    if (!services_.OpenBpackFiles(seg)) return;
  }
}

void FeedHandlerDialog::OnUdp() {
  UpdateOptions();
  services_.OnUdpClicked();
}

void FeedHandlerDialog::OnMcast() {
  UpdateOptions();
  services_.OnMcastClicked();
}

void FeedHandlerDialog::OnBcastDelta() {
  UpdateOptions();
  services_.OnBcastDeltaClicked();
}

void FeedHandlerDialog::OnOptionOnly() { UpdateOptions(); }

void FeedHandlerDialog::OnAbout() { context_.messageBoxes.Show(kAboutText); }

// --- Recording ------------------------------------------------------------------------

bool FeedHandlerDialog::OpenBinFile(int seg, SegmentFiles::Slot slot) {
  const bool replay = slot == SegmentFiles::kReplayFile;
  const char* name = replay ? ReplayFileName(seg) : RecordingFileName(seg);
  if (name == nullptr) return true;
  if (context_.files.Open(seg, slot, context_.places.Work(name), replay ? "rb+" : "ab+")) return true;
  context_.messageBoxes.Show("Cant open file :BCASTOUT_BIN_CASH");
  context_.programExit.Exit(0);
  return false;
}

void FeedHandlerDialog::OnWriteBin() {
  UpdateOptions();
  const auto checked = CheckedSegments(context_.options);
  for (int seg = kSegNcm; seg <= kSegBcm; ++seg) {
    if (checked[seg] == 1 && !OpenBinFile(seg, SegmentFiles::kBinFile)) return;
  }
  OpenBinFile(kSegUnknown, SegmentFiles::kBinFile);
}

void FeedHandlerDialog::OnReadBin() {
  UpdateOptions();
  if (context_.options.readBin.load() == 1) {
    const int seg = SelectedSegment(context_.options);
    if (seg == 0) {
      context_.messageBoxes.Show(kOnlyOneSegmentText);
    } else if (!OpenBinFile(seg, SegmentFiles::kReplayFile)) {
      return;
    }
    SetVisible(ctl::kFoStatus, true);
    SetVisible(ctl::kEqStatus, true);
  } else {
    SetVisible(ctl::kFoStatus, false);
    SetVisible(ctl::kEqStatus, false);
  }
}

}  // namespace fh
