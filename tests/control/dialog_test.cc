#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "control/feed_handler_dialog.h"
#include "dialog_rig.h"

namespace fh {
namespace {

using testing::DialogRig;
using testing::Events;
using testing::ReadFile;
using testing::WriteFile;
using Strings = std::vector<std::string>;

// --- Initialisation and controls ---------------------------------------------

TEST(DialogInitialisation, SetsInstancePortLoadsMastersThenLaysOutGridThenReadsSettings) {
  DialogRig rig;
  rig.options.segNcm = 1;  // so the FeedHandler step shows its trace (no settings file)
  rig.Open();
  // The masters load after the port is set and before the grid is laid out.
  EXPECT_EQ(rig.events, (Events{"masters port=30001 gridRows=0", "box:Cant open file :FH_Config"}));
  EXPECT_EQ(rig.grid.Rows(), 31);
  EXPECT_EQ(rig.grid.CellText(0, 1), "NSE-CASH");
}

TEST(DialogInitialisation, ControlsStartAsTheDialogTemplateAndTheOptionsSay) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  EXPECT_EQ(d.Title(), "FH BCM");
  EXPECT_EQ(d.Control(ctl::kStart).caption, "&Start");
  EXPECT_EQ(d.Control(ctl::kBse).caption, "BSE-CM-FO-CD");
  EXPECT_EQ(d.Control(ctl::kServer).kind, ControlKind::kRadio);
  for (int id : {ctl::kEnd, ctl::kQuit, ctl::kFoStatus, ctl::kEqStatus}) EXPECT_FALSE(d.Control(id).enabled) << id;
  EXPECT_TRUE(d.Control(ctl::kStart).enabled);
  for (int id : {ctl::kEnable, ctl::kSkip2Fo, ctl::kSkip2Cm, ctl::kCtcl, ctl::kFeedHandler})
    EXPECT_TRUE(d.Control(id).checked) << id;
  for (int id : {ctl::kWriteBin, ctl::kReadBin, ctl::kServer, ctl::kPktCounters, ctl::kTcp, ctl::kUdp,
                 ctl::kMcast, ctl::kBcastDelta, ctl::kNseCm, ctl::kNseFo, ctl::kNseCd, ctl::kBse})
    EXPECT_FALSE(d.Control(id).checked) << id;
  const std::pair<int, const char*> texts[] = {{ctl::kBridgePort, "14002"}, {ctl::kServerIp, "127.0.0.1"},
                                               {ctl::kUdpPort, "14002"},    {ctl::kMcastPort, "29002"},
                                               {ctl::kFoStatus, "Unread!"}, {ctl::kEqStatus, "Unread!"},
                                               {ctl::kTimer, ""}};
  for (const auto& [id, text] : texts) EXPECT_EQ(d.Control(id).text, text) << id;
  EXPECT_FALSE(d.Control(ctl::kGrid).visible);
}

TEST(DialogControls, EveryCheckBoxClickLandsInItsOwnOptionAndNamesFindTheirControl) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  FeedHandlerOptions& o = rig.options;
  const std::pair<int, std::atomic<int>*> boxes[] = {
      {1014, &o.enable},  {1185, &o.skip2Fo},    {1017, &o.skip2Cm}, {1212, &o.pktCounters}, {1213, &o.ctcl},
      {1253, &o.sendTcp}, {1016, &o.sendUdp},    {1018, &o.sendMcast}, {1260, &o.bcastDelta}, {1261, &o.segNcm},
      {1019, &o.segNfo},  {1023, &o.segNcd},     {1022, &o.segBcm}};
  for (const auto& [id, option] : boxes) {
    SCOPED_TRACE(id);
    const int before = option->load();
    const auto version = d.Version();
    EXPECT_TRUE(d.Click(id));
    EXPECT_EQ(option->load(), 1 - before);
    EXPECT_EQ(d.Control(id).checked, option->load() == 1);
    EXPECT_GT(d.Version(), version);
  }
  // A radio clicked again stays checked.
  EXPECT_TRUE(d.Click(ctl::kFeedHandler));
  EXPECT_EQ(o.feedHandlerRadio.load(), 0);
  // Typed text is taken by the next refresh.
  EXPECT_TRUE(d.SetText(ctl::kTimer, "09:15"));
  d.Click(ctl::kTcp);
  EXPECT_EQ(o.timerText, "09:15");
  // By caption without the marks, or by id.
  const std::pair<const char*, int> names[] = {{"NSE-CM", 1261}, {"bcast delta", 1260}, {"Start", 1020},
                                               {"&End", 1021},   {"1191", 1191},        {"About", ctl::kAbout},
                                               {"9999", 0},      {"Nothing", 0}};
  for (const auto& [name, id] : names) EXPECT_EQ(d.FindControl(name), id) << name;
}

TEST(DialogControls, DisabledHiddenAndUnclickableControlsRefuseTheOperator) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Ready();
  for (int id : std::initializer_list<int>{ctl::kEnd, ctl::kQuit, ctl::kBridgePort, ctl::kGrid, ctl::kLogList, 4242})
    EXPECT_FALSE(d.Click(id)) << id;
  for (int id : {ctl::kFoStatus, ctl::kStart, ctl::kNseCm}) EXPECT_FALSE(d.SetText(id, "x")) << id;
  for (bool shown : {false, true}) {  // CTCL hides and shows the server address controls
    d.Click(ctl::kCtcl);
    for (int id : {ctl::kServerIp, ctl::kServer, ctl::kBridgePort}) EXPECT_EQ(d.Control(id).visible, shown) << id;
    EXPECT_TRUE(d.Control(ctl::kUdpPort).visible);
    EXPECT_EQ(d.SetText(ctl::kBridgePort, "15000"), shown);
    EXPECT_TRUE(shown || !d.Click(ctl::kServer));
  }
  EXPECT_TRUE(rig.events.empty());
}

// --- Data exchange --------------------------------------------------------------

TEST(DialogDataExchange, BridgePortOutsideRangeStopsTheRefreshButNotTheHandler) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Ready();
  d.SetText(ctl::kBridgePort, "80");
  d.SetCheck(ctl::kNseCm, true);     // read after the bridge port: never reaches the options
  d.SetCheck(ctl::kWriteBin, true);  // read before it: taken
  EXPECT_TRUE(d.Click(ctl::kServer));
  EXPECT_EQ(rig.events, (Events{"box:Please enter an integer between 1024 and 50000.", "server"}));
  EXPECT_EQ(rig.options.writeBin.load(), 1);
  EXPECT_EQ(rig.options.bridgePort.load(), 80);
  EXPECT_EQ(rig.options.segNcm.load(), 0);
  EXPECT_EQ(rig.options.serverRadio.load(), -1);
  // The Server handler's later steps still ran.
  EXPECT_FALSE(d.Control(ctl::kServerIp).enabled);
  EXPECT_FALSE(d.Control(ctl::kServer).enabled);
}

TEST(DialogDataExchange, PortEditsTakeIntegersAndTheBridgePortItsRange) {
  const char* range = "Please enter an integer between 1024 and 50000.";
  const char* integer = "Please enter an integer.";
  const std::tuple<int, const char*, const char*> cases[] = {  // control, text, box (null: accepted)
      {ctl::kBridgePort, " 1024 ", nullptr}, {ctl::kBridgePort, "+50000", nullptr},
      {ctl::kBridgePort, "50001", range},    {ctl::kBridgePort, "1023", range},
      {ctl::kBridgePort, "", integer},       {ctl::kUdpPort, "-5", nullptr},
      {ctl::kUdpPort, "12ab", integer},      {ctl::kMcastPort, "99999999999999", integer}};
  for (const auto& [id, text, box] : cases) {
    SCOPED_TRACE(std::string(text));
    DialogRig rig;
    rig.Ready().SetText(id, text);
    EXPECT_EQ(rig.dialog->UpdateOptions(), box == nullptr);
    EXPECT_EQ(rig.Boxes(), box == nullptr ? Strings{} : Strings{box});
  }
}

// --- Counters, Server, segments, outputs -------------------------------------------

TEST(DialogPktCounters, ShowsTheGridAndWritesTheCashCountersOnlyWithNseCm) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  for (int id : {ctl::kNseFo, ctl::kPktCounters}) d.Click(id);
  EXPECT_TRUE(d.Control(ctl::kGrid).visible);
  EXPECT_TRUE(rig.grid.Visible());
  EXPECT_EQ(rig.services.counterReads, 0);
  d.Click(ctl::kPktCounters);
  EXPECT_FALSE(d.Control(ctl::kGrid).visible);
  EXPECT_FALSE(rig.grid.Visible());

  for (int id : {ctl::kNseCm, ctl::kPktCounters}) d.Click(id);
  // The fake counters read 100000 * (kind + 1) + code: kinds are messages to
  // the decoder, datagrams, compressed, uncompressed, by code.
  const std::tuple<int, int, const char*> cells[] = {
      {0, 1, "100000"},    {0, 2, "200000"},    {1, 1, "400000"}, {1, 2, "300000"}, {1833, 1, "501833"},
      {9011, 1, "509011"}, {7203, 1, "507203"}, {7203, 2, "0"},   {2009, 1, "0"},   {7320, 1, "0"}};
  for (const auto& [code, col, text] : cells) EXPECT_EQ(rig.CounterCell(code, col), text) << code << "/" << col;
}

TEST(DialogServer, WithoutFeedHandlerDisablesTheControlsOnly) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Ready();
  rig.options.feedHandlerRadio = -1;
  d.UpdateControls();
  EXPECT_TRUE(d.Click(ctl::kServer));
  EXPECT_FALSE(d.Control(ctl::kServerIp).enabled);
  EXPECT_FALSE(d.Control(ctl::kServer).enabled);
  EXPECT_EQ(rig.options.serverRadio.load(), 0);
  EXPECT_TRUE(rig.events.empty());
  EXPECT_FALSE(std::filesystem::exists(rig.dir.File("FH_Config_NCM.TXT")));
}

TEST(DialogServer, StartsTheBridgeServerOnceAndWritesTheFiveFieldsBack) {
  DialogRig rig;
  WriteFile(rig.dir.File("FH_Config_NCM.TXT"), "10.0.0.5 15000 1.2.3.4 15001 15002\n\nrest");
  FeedHandlerDialog& d = rig.Open();
  for (int id : {ctl::kNseCm, ctl::kFeedHandler}) d.Click(id);
  EXPECT_TRUE(d.Click(ctl::kServer));
  EXPECT_FALSE(d.Click(ctl::kServer));  // disabled by its first press
  EXPECT_EQ(rig.Count("server"), 1);
  EXPECT_EQ(ReadFile(rig.dir.File("FH_Config_NCM.TXT")), "10.0.0.5 15000 127.0.0.1 15001 15002");
}

TEST(DialogSegments, TitleNamesTheLastCheckedSegmentAndPacketFilesOpenInOrder) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Ready();
  const std::pair<int, const char*> titles[] = {
      {ctl::kNseFo, "FH NFO"}, {ctl::kNseCd, "FH NCD"}, {ctl::kNseCm, "FH NCD"}, {ctl::kBse, "FH BCM"}};
  for (const auto& [id, title] : titles) {
    d.Click(id);
    EXPECT_EQ(d.Title(), title) << id;
  }
  EXPECT_EQ(rig.events, (Events{"bpack:2", "bpack:2", "bpack:3", "bpack:1", "bpack:2", "bpack:3", "bpack:1", "bpack:2",
                                "bpack:3", "bpack:4"}));
  rig.events.clear();
  for (int id : {ctl::kNseCm, ctl::kNseFo, ctl::kNseCd, ctl::kBse}) d.Click(id);
  EXPECT_EQ(d.Title(), "FH BCM");  // nothing checked: the title stays
  EXPECT_EQ(rig.events, (Events{"bpack:2", "bpack:3", "bpack:4", "bpack:3", "bpack:4", "bpack:4"}));
}

TEST(DialogOutputs, OutputBoxesRefreshTheOptionsThenCallTheirOutputAndAboutShowsItsBox) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Ready();
  for (int id : {ctl::kUdp, ctl::kMcast, ctl::kBcastDelta, ctl::kAbout}) d.Click(id);
  EXPECT_EQ(rig.events, (Events{"udp", "mcast", "delta", std::string("box:") + kAboutText}));
  EXPECT_EQ(rig.options.sendMcast.load(), 1);
}

// --- Start and End ----------------------------------------------------------------

// Start and End move the buttons, the timer edit and Read BIN together.
void ExpectRunning(const FeedHandlerDialog& d, bool running) {
  EXPECT_EQ(d.Control(ctl::kStart).enabled, !running);
  EXPECT_EQ(d.Control(ctl::kEnd).enabled, running);
  EXPECT_EQ(d.Control(ctl::kTimer).enabled, !running);
  EXPECT_EQ(d.Control(ctl::kReadBin).enabled, !running);
}

TEST(Start, WithServerUncheckedStartsNothingThenFoAndCmUseTheDefaultsFoFirstAndStartAgainReplaces) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  for (int id : {ctl::kNseCm, ctl::kNseFo}) d.Click(id);
  rig.events.clear();
  EXPECT_TRUE(d.Click(ctl::kStart));
  ExpectRunning(d, true);
  EXPECT_TRUE(rig.events.empty());
  EXPECT_EQ(rig.log.Size(), 0u);
  EXPECT_FALSE(d.ReceiverRunning(1));
  for (int id : {ctl::kEnd, ctl::kServer}) d.Click(id);
  rig.events.clear();
  d.Click(ctl::kStart);
  EXPECT_EQ(rig.events, (Events{"box:Cant open file for Ip/Port Read: BCASTOUT_TEXT_FO.TXT", "nse:2 233.1.2.5 34330",
                                "box:Cant open file for Ip/Port Read: BCASTOUT_TEXT_CASH.TXT",
                                "nse:1 233.1.2.5 35610"}));
  EXPECT_EQ(rig.log.Lines(), (Strings{"NSE CM 233.1.2.5|35610", "NSE FO 233.1.2.5|34330"}));  // newest on top
  EXPECT_TRUE(d.ReceiverRunning(1) && d.ReceiverRunning(2));
  EXPECT_FALSE(d.ReceiverRunning(3));
  EXPECT_FALSE(d.Click(ctl::kStart));  // disabled while running
  // Called again all the same, each receiver is stopped before its replacement starts.
  rig.events.clear();
  d.OnStart();
  EXPECT_EQ(rig.events, (Events{"box:Cant open file for Ip/Port Read: BCASTOUT_TEXT_FO.TXT", "stop:2",
                                "nse:2 233.1.2.5 34330", "box:Cant open file for Ip/Port Read: BCASTOUT_TEXT_CASH.TXT",
                                "stop:1", "nse:1 233.1.2.5 35610"}));
  EXPECT_TRUE(d.ReceiverRunning(1) && d.ReceiverRunning(2));
}

TEST(Start, AddressFilesOverrideGroupAndPortAndEndStopsTheNseReceivers) {
  DialogRig rig;
  WriteFile(rig.dir.File("BCASTOUT_TEXT_CASH.TXT"), "239.9.9.9 40000\n");
  WriteFile(rig.dir.File("BCASTOUT_TEXT_NCD.TXT"), "  239.1.1.1\n\n 41000");
  WriteFile(rig.dir.File("BCASTOUT_TEXT_CASH_BSE.TXT"), "10.0.0.1 6000");
  FeedHandlerDialog& d = rig.Open();
  for (int id : {ctl::kNseCm, ctl::kNseCd, ctl::kBse, ctl::kServer}) d.Click(id);
  const Events started{"nse:1 239.9.9.9 40000", "nse:3 239.1.1.1 41000", "bse:10.0.0.1 6000"};
  rig.events.clear();
  d.Click(ctl::kStart);
  EXPECT_EQ(rig.events, started);
  EXPECT_EQ(rig.log.Lines(),
            (Strings{"BSE CM 10.0.0.1|6000", "NSE CD 239.1.1.1|41000", "NSE CM 239.9.9.9|40000"}));
  // End stops the NSE receivers only (BSE has no stop) and returns to idle.
  rig.events.clear();
  EXPECT_TRUE(d.Click(ctl::kEnd));
  EXPECT_EQ(rig.events, (Events{"stop:1", "stop:3"}));
  for (int seg : {1, 3}) EXPECT_FALSE(d.ReceiverRunning(seg));
  ExpectRunning(d, false);
  // A second run starts fresh receivers.
  rig.events.clear();
  d.Click(ctl::kStart);
  EXPECT_EQ(rig.events, started);
}

// Rates count between samples at least a second apart; drops count from Start;
// End takes the NSE segments off the line and leaves BSE, which End never stops.
TEST(DialogStatus, NamesStartedSegmentsRatesDropsSinceStartAndTheBridge) {
  using namespace std::chrono_literals;
  DialogRig rig;
  FeedHandlerDialog& d = rig.Ready();
  FeedMetrics& m = rig.metrics;
  EXPECT_EQ(d.StatusText(), "No segment started | Bridge not connected, queue 0 bytes");
  m.Of(2).kernelDrops.Add(7);
  for (int id : {ctl::kNseFo, ctl::kBse, ctl::kServer, ctl::kStart}) d.Click(id);
  const auto t0 = std::chrono::steady_clock::time_point{} + 1h;
  d.OnTimer(t0);
  m.Of(2).datagrams.Add(3000);
  m.Of(2).kernelDrops.Add(4);
  m.Of(4).datagrams.Add(502);
  m.Of(1).datagrams.Add(99);
  d.OnTimer(t0 + 999ms);
  EXPECT_EQ(d.StatusText(), "NFO 0 datagrams/s, 4 kernel drops | BCM 0 datagrams/s, 0 kernel drops | "
                            "Bridge not connected, queue 0 bytes");
  m.bridgeConnected.Set(1);
  m.bridgeQueueBytes.Set(4096);
  d.OnTimer(t0 + 2s);
  EXPECT_EQ(d.StatusText(), "NFO 1500 datagrams/s, 4 kernel drops | BCM 251 datagrams/s, 0 kernel drops | "
                            "Bridge connected, queue 4096 bytes");
  d.Click(ctl::kEnd);
  EXPECT_EQ(d.StatusText(), "BCM 251 datagrams/s, 0 kernel drops | Bridge connected, queue 4096 bytes");
}

// --- Raw recording and replay --------------------------------------------------------

TEST(WriteBin, OpensTheCheckedSegmentsAndTheUnknownRecordingAndConcatenatesRecordings) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  for (int id : {ctl::kNseCm, ctl::kBse}) d.Click(id);
  for (int writeBin : {1, 0}) {  // clearing keeps the files open
    d.Click(ctl::kWriteBin);
    EXPECT_EQ(rig.options.writeBin.load(), writeBin);
    EXPECT_EQ(rig.files.Path(0, SegmentFiles::kBinFile), rig.dir.File("BCASTOUT_BIN_Unknown.TXT"));
    EXPECT_EQ(rig.files.Path(1, SegmentFiles::kBinFile), rig.dir.File("BCASTOUT_BIN_CASH.TXT"));
    EXPECT_EQ(rig.files.Path(4, SegmentFiles::kBinFile), rig.dir.File("BCASTOUT_BIN_BCM.TXT"));
    for (int seg : {2, 3}) EXPECT_FALSE(rig.files.IsOpen(seg, SegmentFiles::kBinFile)) << seg;
  }
  // Two recordings into the same file are concatenated.
  rig.files.WriteAndFlush(1, SegmentFiles::kBinFile, "\x02" "first", 6);
  d.Click(ctl::kWriteBin);  // reopened: appends
  rig.files.WriteAndFlush(1, SegmentFiles::kBinFile, "\x02" "second", 7);
  EXPECT_EQ(ReadFile(rig.dir.File("BCASTOUT_BIN_CASH.TXT")), std::string("\x02" "first" "\x02" "second", 13));
}

TEST(RecordingFiles, AFileThatCannotBeOpenedEndsTheProgramAtOnce) {
  // Write BIN with NSE-CM whose recording is a folder; Read BIN with NSE-FO
  // and no replay input. Both stop right after the exit.
  for (const int box : {ctl::kWriteBin, ctl::kReadBin}) {
    SCOPED_TRACE(box);
    DialogRig rig;
    std::filesystem::create_directory(rig.dir.File("BCASTOUT_BIN_CASH.TXT"));
    FeedHandlerDialog& d = rig.Open();
    d.Click(box == ctl::kWriteBin ? ctl::kNseCm : ctl::kNseFo);
    rig.events.clear();
    d.Click(box);
    EXPECT_EQ(rig.events, (Events{"box:Cant open file :BCASTOUT_BIN_CASH", "exit:0"}));
    EXPECT_FALSE(rig.files.IsOpen(0, SegmentFiles::kBinFile));
  }
}

TEST(ReadBin, WithTwoSegmentsShowsTheBoxAndOpensNothing) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  for (int id : {ctl::kNseCm, ctl::kNseFo}) d.Click(id);
  rig.events.clear();
  d.Click(ctl::kReadBin);
  EXPECT_EQ(rig.events, Events{"box:Only One Exchange-Segment Allowed in this Mode"});
  for (int seg = 0; seg <= 4; ++seg)
    EXPECT_FALSE(rig.files.IsOpen(seg, SegmentFiles::kReplayFile) || rig.files.IsOpen(seg, SegmentFiles::kBinFile));
  EXPECT_TRUE(d.Control(ctl::kFoStatus).visible);
}

TEST(ReadBin, WithNoSegmentOpensTheCashFileAndClearingHidesTheStatus) {
  DialogRig rig;
  WriteFile(rig.dir.File("BCASTOUT_BIN_CASH.TXT"), "recorded");
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kReadBin);
  EXPECT_EQ(rig.files.Path(1, SegmentFiles::kReplayFile), rig.dir.File("BCASTOUT_BIN_CASH.TXT"));
  for (bool shown : {true, false}) {
    EXPECT_EQ(d.Control(ctl::kFoStatus).visible, shown);
    EXPECT_EQ(d.Control(ctl::kEqStatus).visible, shown);
    d.Click(ctl::kReadBin);
  }
}

TEST(RecordingAndReplay, NeverShareAFile) {
  DialogRig rig;
  WriteFile(rig.dir.File("BCASTOUT_BIN_FO_20122011.TXT"), "replay input");
  FeedHandlerDialog& d = rig.Open();
  for (int id : {ctl::kNseFo, ctl::kReadBin, ctl::kWriteBin}) d.Click(id);
  ASSERT_TRUE(rig.files.IsOpen(2, SegmentFiles::kReplayFile));
  ASSERT_TRUE(rig.files.IsOpen(2, SegmentFiles::kBinFile));
  rig.files.WriteAndFlush(2, SegmentFiles::kBinFile, "datagram", 8);
  EXPECT_EQ(ReadFile(rig.dir.File("BCASTOUT_BIN_FO_20122011.TXT")), "replay input");
  EXPECT_EQ(ReadFile(rig.dir.File("BCASTOUT_BIN_FO.TXT")), "datagram");
  // A later Read BIN click leaves the recording handle alone.
  for (int id : {ctl::kReadBin, ctl::kReadBin}) d.Click(id);
  EXPECT_EQ(rig.files.Path(2, SegmentFiles::kBinFile), rig.dir.File("BCASTOUT_BIN_FO.TXT"));
}

}  // namespace
}  // namespace fh
