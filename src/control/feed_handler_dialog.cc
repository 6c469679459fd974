#include "control/feed_handler_dialog.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "feedstate/exg_seg.h"

namespace fh {
namespace {

struct ControlTemplate {
  int id;
  ControlKind kind;
  const char* caption;
  bool enabled;
};

// The dialog template, in tab order. Check states and edit texts come from the
// options through UpdateControls.
constexpr ControlTemplate kTemplate[] = {
    {ctl::kStart, ControlKind::kButton, "&Start", true},
    {ctl::kEnd, ControlKind::kButton, "&End", false},
    {ctl::kQuit, ControlKind::kButton, "&Quit", false},
    {ctl::kSave, ControlKind::kButton, "Save", true},
    {ctl::kLoad, ControlKind::kButton, "Load", true},
    {ctl::kEnable, ControlKind::kCheckBox, "Enable", true},
    {ctl::kWriteBin, ControlKind::kCheckBox, "Write BIN", true},
    {ctl::kReadBin, ControlKind::kCheckBox, "Read BIN", true},
    {ctl::kSkip2Fo, ControlKind::kCheckBox, "Skip2FO", true},
    {ctl::kSkip2Cm, ControlKind::kCheckBox, "Skip2CM", true},
    {ctl::kTimer, ControlKind::kEdit, "Timer >>", true},
    {ctl::kFoStatus, ControlKind::kEdit, "", false},
    {ctl::kEqStatus, ControlKind::kEdit, "", false},
    {ctl::kPktCounters, ControlKind::kCheckBox, "PktCounters", true},
    {ctl::kCtcl, ControlKind::kCheckBox, "CTCL", true},
    {ctl::kFeedHandler, ControlKind::kRadio, "FeedHandler", true},
    {ctl::kServer, ControlKind::kRadio, "Server", true},
    {ctl::kServerIp, ControlKind::kEdit, "", true},
    {ctl::kTcp, ControlKind::kCheckBox, "TCP", true},
    {ctl::kUdp, ControlKind::kCheckBox, "UDP", true},
    {ctl::kMcast, ControlKind::kCheckBox, "MCAST", true},
    {ctl::kBridgePort, ControlKind::kEdit, "", true},
    {ctl::kUdpPort, ControlKind::kEdit, "", true},
    {ctl::kMcastPort, ControlKind::kEdit, "", true},
    {ctl::kBcastDelta, ControlKind::kCheckBox, "BCAST DELTA", true},
    {ctl::kNseCm, ControlKind::kCheckBox, "NSE-CM", true},
    {ctl::kNseFo, ControlKind::kCheckBox, "NSE-FO", true},
    {ctl::kNseCd, ControlKind::kCheckBox, "NSE-CD", true},
    {ctl::kBse, ControlKind::kCheckBox, "BSE-CM-FO-CD", true},
    {ctl::kGrid, ControlKind::kGrid, "", true},
    {ctl::kLogList, ControlKind::kListBox, "", true},
    {ctl::kAbout, ControlKind::kMenuEntry, "About", true},
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

}  // namespace

const char* ControlKindName(ControlKind kind) {
  switch (kind) {
    case ControlKind::kButton: return "button";
    case ControlKind::kCheckBox: return "checkbox";
    case ControlKind::kRadio: return "radio";
    case ControlKind::kEdit: return "edit";
    case ControlKind::kListBox: return "listbox";
    case ControlKind::kGrid: return "grid";
    case ControlKind::kMenuEntry: return "menu";
  }
  return "?";
}

const char* RecordingFileName(int seg) {
  switch (seg) {
    case kSegUnknown: return "BCASTOUT_BIN_Unknown.TXT";
    case kSegNcm: return "BCASTOUT_BIN_CASH.TXT";
    case kSegNfo: return "BCASTOUT_BIN_FO.TXT";
    case kSegNcd: return "BCASTOUT_BIN_NCD.TXT";
    case kSegBcm: return "BCASTOUT_BIN_BCM.TXT";
    default: return nullptr;
  }
}

const char* ReplayFileName(int seg) {
  switch (seg) {
    case kSegUnknown: return "BCASTOUT_BIN_Unknown.TXT";
    case kSegNcm: return "BCASTOUT_BIN_CASH.TXT";
    case kSegNfo: return "BCASTOUT_BIN_FO_20122011.TXT";
    case kSegNcd: return "BCASTOUT_BIN_NCD.TXT";
    case kSegBcm: return "BCASTOUT_BIN_BCM.TXT";
    default: return nullptr;
  }
}

const char* SettingsFileName(int seg) {
  switch (seg) {
    case kSegNcm: return "FH_Config_NCM.TXT";
    case kSegNfo: return "FH_Config_NFO.TXT";
    case kSegBcm: return "FH_Config_BCM.TXT";
    default: return nullptr;
  }
}

void ReadAddressFile(const FilePlaces& places, MessageBoxes& boxes, const char* name,
                     char (&address)[kAddressTextSize], long& port) {
  std::FILE* file = std::fopen(places.Work(name).c_str(), "r+");
  if (file == nullptr) {
    char text[512];
    std::snprintf(text, sizeof text, "Cant open file for Ip/Port Read: %s", name);
    boxes.Show(text);
    return;
  }
  std::fseek(file, 0, SEEK_SET);
  // The address is read into a roomy buffer and taken only when it fits the
  // receiver's 15-character address text.
  char token[64] = {};
  if (std::fscanf(file, "%63s", token) == 1 && std::strlen(token) < kAddressTextSize) {
    std::memcpy(address, token, std::strlen(token) + 1);
  }
  long value = 0;
  if (std::fscanf(file, "%ld", &value) == 1) port = value;
  std::fclose(file);
}

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

bool FeedHandlerDialog::HasControl(int id) const { return Control(id).id != 0; }

int FeedHandlerDialog::FindControl(std::string_view captionOrId) const {
  int number = 0;
  if (ParseInteger(captionOrId, &number)) return HasControl(number) ? number : 0;
  const std::string wanted = WithoutMnemonics(captionOrId);
  for (const ControlState& c : controls_) {
    if (!c.caption.empty() && EqualNoCase(WithoutMnemonics(c.caption), wanted)) return c.id;
  }
  return 0;
}

void FeedHandlerDialog::Changed() {
  version_.fetch_add(1, std::memory_order_acq_rel);
  if (observer_) observer_();
}

void FeedHandlerDialog::SetEnabled(int id, bool enabled) {
  ControlState* c = Find(id);
  if (c == nullptr || c->enabled == enabled) return;
  c->enabled = enabled;
  Changed();
}

void FeedHandlerDialog::SetVisible(int id, bool visible) {
  ControlState* c = Find(id);
  if (c == nullptr || c->visible == visible) return;
  c->visible = visible;
  Changed();
}

void FeedHandlerDialog::SetControlText(int id, std::string_view text) {
  ControlState* c = Find(id);
  if (c == nullptr || c->text == text) return;
  c->text.assign(text);
  Changed();
}

void FeedHandlerDialog::SetCheck(int id, bool checked) {
  ControlState* c = Find(id);
  if (c == nullptr || c->checked == checked) return;
  c->checked = checked;
  Changed();
}

void FeedHandlerDialog::SetTitle(std::string_view title) {
  if (title_ == title) return;
  title_.assign(title);
  Changed();
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
  switch (id) {
    case ctl::kStart: OnStart(); break;
    case ctl::kEnd: OnEnd(); break;
    case ctl::kSave: OnSave(); break;
    case ctl::kLoad: OnLoad(); break;
    case ctl::kFeedHandler: OnFeedHandler(); break;
    case ctl::kServer: OnServer(); break;
    case ctl::kPktCounters: OnPktCounters(); break;
    case ctl::kCtcl: OnCtcl(); break;
    case ctl::kNseCm:
    case ctl::kNseFo:
    case ctl::kNseCd:
    case ctl::kBse: OnSegmentClicked(); break;
    case ctl::kWriteBin: OnWriteBin(); break;
    case ctl::kReadBin: OnReadBin(); break;
    case ctl::kUdp: OnUdp(); break;
    case ctl::kMcast: OnMcast(); break;
    case ctl::kBcastDelta: OnBcastDelta(); break;
    case ctl::kEnable:
    case ctl::kSkip2Fo:
    case ctl::kSkip2Cm:
    case ctl::kTcp: OnOptionOnly(); break;
    case ctl::kAbout: OnAbout(); break;
    default: break;
  }
}

// --- Data exchange -----------------------------------------------------------

bool FeedHandlerDialog::UpdateOptions() {
  FeedHandlerOptions& o = context_.options;
  auto check = [&](int id, std::atomic<int>& field) { field.store(Control(id).checked ? 1 : 0); };
  auto radio = [&](int id, std::atomic<int>& field) { field.store(Control(id).checked ? 0 : -1); };
  auto integer = [&](int id, std::atomic<int>& field) {
    int value = 0;
    if (!ParseInteger(Control(id).text, &value)) {
      context_.messageBoxes.Show(kIntegerText);
      return false;
    }
    field.store(value);
    return true;
  };

  check(ctl::kEnable, o.enable);
  check(ctl::kWriteBin, o.writeBin);
  check(ctl::kReadBin, o.readBin);
  o.timerText = Control(ctl::kTimer).text;
  check(ctl::kSkip2Fo, o.skip2Fo);
  check(ctl::kSkip2Cm, o.skip2Cm);
  if (!integer(ctl::kBridgePort, o.bridgePort)) return false;
  if (o.bridgePort.load() < kBridgePortMin || o.bridgePort.load() > kBridgePortMax) {
    context_.messageBoxes.Show(kPortRangeText);
    return false;
  }
  o.serverIp = Control(ctl::kServerIp).text;
  if (!integer(ctl::kUdpPort, o.udpPort)) return false;
  if (!integer(ctl::kMcastPort, o.mcastPort)) return false;
  o.foStatus = Control(ctl::kFoStatus).text;
  o.eqStatus = Control(ctl::kEqStatus).text;
  check(ctl::kPktCounters, o.pktCounters);
  check(ctl::kCtcl, o.ctcl);
  radio(ctl::kFeedHandler, o.feedHandlerRadio);
  radio(ctl::kServer, o.serverRadio);
  check(ctl::kTcp, o.sendTcp);
  check(ctl::kUdp, o.sendUdp);
  check(ctl::kMcast, o.sendMcast);
  check(ctl::kBcastDelta, o.bcastDelta);
  check(ctl::kNseCm, o.segNcm);
  check(ctl::kNseFo, o.segNfo);
  check(ctl::kNseCd, o.segNcd);
  check(ctl::kBse, o.segBcm);
  return true;
}

void FeedHandlerDialog::UpdateControls() {
  const FeedHandlerOptions& o = context_.options;
  auto number = [](int value) {
    char text[16];
    const auto res = std::to_chars(text, text + sizeof text, value);
    return std::string(text, res.ptr);
  };
  SetCheck(ctl::kEnable, o.enable.load() == 1);
  SetCheck(ctl::kWriteBin, o.writeBin.load() == 1);
  SetCheck(ctl::kReadBin, o.readBin.load() == 1);
  SetControlText(ctl::kTimer, o.timerText);
  SetCheck(ctl::kSkip2Fo, o.skip2Fo.load() == 1);
  SetCheck(ctl::kSkip2Cm, o.skip2Cm.load() == 1);
  SetControlText(ctl::kBridgePort, number(o.bridgePort.load()));
  SetControlText(ctl::kServerIp, o.serverIp);
  SetControlText(ctl::kUdpPort, number(o.udpPort.load()));
  SetControlText(ctl::kMcastPort, number(o.mcastPort.load()));
  SetControlText(ctl::kFoStatus, o.foStatus);
  SetControlText(ctl::kEqStatus, o.eqStatus);
  SetCheck(ctl::kPktCounters, o.pktCounters.load() == 1);
  SetCheck(ctl::kCtcl, o.ctcl.load() == 1);
  SetCheck(ctl::kFeedHandler, o.feedHandlerRadio.load() == 0);
  SetCheck(ctl::kServer, o.serverRadio.load() == 0);
  SetCheck(ctl::kTcp, o.sendTcp.load() == 1);
  SetCheck(ctl::kUdp, o.sendUdp.load() == 1);
  SetCheck(ctl::kMcast, o.sendMcast.load() == 1);
  SetCheck(ctl::kBcastDelta, o.bcastDelta.load() == 1);
  SetCheck(ctl::kNseCm, o.segNcm.load() == 1);
  SetCheck(ctl::kNseFo, o.segNfo.load() == 1);
  SetCheck(ctl::kNseCd, o.segNcd.load() == 1);
  SetCheck(ctl::kBse, o.segBcm.load() == 1);
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
    const int checked[kSegmentCount] = {0, o.segNcm.load(), o.segNfo.load(), o.segNcd.load(), o.segBcm.load()};
    for (const ReceiverDefault& d : kReceiverDefaults) {
      if (checked[d.seg] != 1) continue;
      char address[kAddressTextSize] = {};
      std::snprintf(address, sizeof address, "%s", d.address);
      long port = d.port;
      ReadAddressFile(context_.places, context_.messageBoxes, d.addressFile, address, port);
      context_.log.LogFormat(d.logFormat, address, port);
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
}

bool FeedHandlerDialog::ReceiverRunning(int seg) const {
  return seg > 0 && seg < static_cast<int>(receivers_.size()) && receivers_[seg] != nullptr;
}

// --- Settings --------------------------------------------------------------------

void FeedHandlerDialog::ReadSettings(int seg) {
  FeedHandlerOptions& o = context_.options;
  const char* name = SettingsFileName(seg);
  std::FILE* file = name != nullptr ? std::fopen(context_.places.Work(name).c_str(), "r") : nullptr;
  if (file == nullptr) {
    o.bridgePort.store(context_.ports.instancePort.load());
    o.udpPort.store(context_.ports.udpOutPort);
    o.mcastPort.store(context_.ports.mcastOutPort);
    context_.messageBoxes.Show("Cant open file :FH_Config");
    return;
  }
  char address[64] = "127.0.0.1";
  char discarded[64] = "127.0.0.1";
  int value = 34330;  // one variable for the three integer reads
  std::fseek(file, 0, SEEK_SET);
  if (std::fscanf(file, "%63s", address) != 1) std::snprintf(address, sizeof address, "127.0.0.1");
  o.serverIp = address;
  std::fscanf(file, "%d", &value);
  o.bridgePort.store(value);
  std::fscanf(file, "%63s", discarded);
  std::fscanf(file, "%d", &value);
  o.udpPort.store(value);
  std::fscanf(file, "%d", &value);
  o.mcastPort.store(value);
  std::fclose(file);
}

void FeedHandlerDialog::WriteSettings(int selector) {
  const char* suffix = SuffixForSelector(selector);
  std::FILE* file = nullptr;
  if (suffix != nullptr) {
    char name[32];
    std::snprintf(name, sizeof name, "FH_Config_%s.TXT", suffix);
    file = std::fopen(context_.places.Work(name).c_str(), "w+");
  }
  if (file == nullptr) {
    context_.messageBoxes.Show("Cant open file :FH_Config");
    return;
  }
  const FeedHandlerOptions& o = context_.options;
  std::fprintf(file, "%s %d 127.0.0.1 %d %d", o.serverIp.c_str(), o.bridgePort.load(), o.udpPort.load(),
               o.mcastPort.load());
  std::fclose(file);
}

void FeedHandlerDialog::OnFeedHandler() {
  UpdateOptions();
  const FeedHandlerOptions& o = context_.options;
  if (o.segNcm.load() == 1) ReadSettings(kSegNcm);
  if (o.segNfo.load() == 1) ReadSettings(kSegNfo);
  if (o.segBcm.load() == 1) ReadSettings(kSegBcm);
  UpdateControls();
  UpdateOptions();
}

void FeedHandlerDialog::OnSave() {
  std::FILE* file = std::fopen(context_.places.SystemDrive("fhc.fhc").c_str(), "w+");
  if (file == nullptr) {
    context_.messageBoxes.Show("Cant open file :fhc");
    context_.programExit.Exit(0);
    return;
  }
  std::fclose(file);
}

void FeedHandlerDialog::OnLoad() {
  std::FILE* file = std::fopen(context_.places.SystemDrive("fhc.fhc").c_str(), "r+");
  if (file == nullptr) {
    context_.messageBoxes.Show("Cant open file :fhc");
    context_.programExit.Exit(0);
    return;
  }
  std::fclose(file);
}

// --- Server, counters, CTCL, segments, outputs ---------------------------------------

void FeedHandlerDialog::OnServer() {
  UpdateOptions();
  SetEnabled(ctl::kServerIp, false);
  SetEnabled(ctl::kServer, false);
  if (context_.options.feedHandlerRadio.load() != 0) return;
  services_.StartBridgeServer();
  WriteSettings(context_.ports.instancePort.load());
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
  for (int code : {1833, 1836, 6013, 6501, 6511, 6541, 6581, 6582, 7200, 7201, 7202})
    grid.SetCounterCell(code, services_.CmCounter(CmCount::kByCode, code), kCash);
  grid.SetCounterCell(7203, services_.CmCounter(CmCount::kByCode, 7203), kFo);
  for (int code : {7206, 7207, 7208, 7210, 7211, 7305, 7306, 9010, 9011})
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
  const FeedHandlerOptions& o = context_.options;
  const int checked[kSegmentCount] = {0, o.segNcm.load(), o.segNfo.load(), o.segNcd.load(), o.segBcm.load()};
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

bool FeedHandlerDialog::OpenRecordingFile(int seg) {
  const char* name = RecordingFileName(seg);
  if (name == nullptr) return true;
  if (context_.files.Open(seg, SegmentFiles::kBinFile, context_.places.Work(name), "ab+")) return true;
  context_.messageBoxes.Show("Cant open file :BCASTOUT_BIN_CASH");
  context_.programExit.Exit(0);
  return false;
}

bool FeedHandlerDialog::OpenReplayFile(int seg) {
  const char* name = ReplayFileName(seg);
  if (name == nullptr) return true;
  if (context_.files.Open(seg, SegmentFiles::kReplayFile, context_.places.Work(name), "rb+")) return true;
  context_.messageBoxes.Show("Cant open file :BCASTOUT_BIN_CASH");
  context_.programExit.Exit(0);
  return false;
}

void FeedHandlerDialog::OnWriteBin() {
  UpdateOptions();
  const FeedHandlerOptions& o = context_.options;
  const int checked[kSegmentCount] = {0, o.segNcm.load(), o.segNfo.load(), o.segNcd.load(), o.segBcm.load()};
  for (int seg = kSegNcm; seg <= kSegBcm; ++seg) {
    if (checked[seg] == 1 && !OpenRecordingFile(seg)) return;
  }
  OpenRecordingFile(kSegUnknown);
}

void FeedHandlerDialog::OnReadBin() {
  UpdateOptions();
  if (context_.options.readBin.load() == 1) {
    const int seg = SelectedSegment(context_.options);
    if (seg == 0) {
      context_.messageBoxes.Show(kOnlyOneSegmentText);
    } else if (!OpenReplayFile(seg)) {
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
