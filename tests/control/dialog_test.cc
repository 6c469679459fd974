#include <gtest/gtest.h>

#include "control/feed_handler_dialog.h"
#include "control_fakes.h"

namespace fh {
namespace {

using testing::DialogRig;

TEST(DialogInitialisation, SetsInstancePortLoadsMastersThenLaysOutGridThenReadsSettings) {
  DialogRig rig;
  rig.options.segNcm = 1;  // so the FeedHandler step shows its trace (no settings file)
  rig.Open();
  ASSERT_EQ(rig.events.size(), 2u);
  // The masters load after the port is set and before the grid is laid out.
  EXPECT_EQ(rig.events[0], "masters port=30001 gridRows=0");
  EXPECT_EQ(rig.events[1], "box:Cant open file :FH_Config");
  EXPECT_EQ(rig.grid.Rows(), CounterGrid::kRows);
  EXPECT_EQ(rig.grid.CellText(0, 1), "NSE-CASH");
}

TEST(DialogInitialisation, ControlsStartAsTheDialogTemplateAndTheOptionsSay) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  EXPECT_EQ(d.Title(), "FH BCM");
  EXPECT_TRUE(rig.boxes.shown.empty());
  EXPECT_TRUE(d.Control(ctl::kStart).enabled);
  EXPECT_FALSE(d.Control(ctl::kEnd).enabled);
  EXPECT_FALSE(d.Control(ctl::kQuit).enabled);
  EXPECT_EQ(d.Control(ctl::kStart).caption, "&Start");
  EXPECT_EQ(d.Control(ctl::kBse).caption, "BSE-CM-FO-CD");
  for (int id : {ctl::kEnable, ctl::kSkip2Fo, ctl::kSkip2Cm, ctl::kCtcl, ctl::kFeedHandler})
    EXPECT_TRUE(d.Control(id).checked) << id;
  for (int id : {ctl::kWriteBin, ctl::kReadBin, ctl::kServer, ctl::kPktCounters, ctl::kTcp, ctl::kUdp,
                 ctl::kMcast, ctl::kBcastDelta, ctl::kNseCm, ctl::kNseFo, ctl::kNseCd, ctl::kBse})
    EXPECT_FALSE(d.Control(id).checked) << id;
  EXPECT_EQ(d.Control(ctl::kBridgePort).text, "14002");
  EXPECT_EQ(d.Control(ctl::kServerIp).text, "127.0.0.1");
  EXPECT_EQ(d.Control(ctl::kUdpPort).text, "14002");
  EXPECT_EQ(d.Control(ctl::kMcastPort).text, "29002");
  EXPECT_EQ(d.Control(ctl::kFoStatus).text, "Unread!");
  EXPECT_FALSE(d.Control(ctl::kFoStatus).enabled);
  EXPECT_TRUE(d.Control(ctl::kEqStatus).visible);
  EXPECT_FALSE(d.Control(ctl::kGrid).visible);
  EXPECT_EQ(d.Control(ctl::kServer).kind, ControlKind::kRadio);
  EXPECT_EQ(rig.ports.instancePort.load(), 30001);
  EXPECT_EQ(rig.ports.udpOutPort, 30012);
}

TEST(DialogControls, FindsControlsByCaptionWithoutMarksOrById) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  EXPECT_EQ(d.FindControl("NSE-CM"), ctl::kNseCm);
  EXPECT_EQ(d.FindControl("bcast delta"), ctl::kBcastDelta);
  EXPECT_EQ(d.FindControl("Start"), ctl::kStart);
  EXPECT_EQ(d.FindControl("&End"), ctl::kEnd);
  EXPECT_EQ(d.FindControl("1191"), ctl::kBridgePort);
  EXPECT_EQ(d.FindControl("About"), ctl::kAbout);
  EXPECT_EQ(d.FindControl("9999"), 0);
  EXPECT_EQ(d.FindControl("Nothing"), 0);
}

TEST(DialogControls, ClickTogglesCheckBoxesKeepsRadiosAndIgnoresDisabledControls) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  const auto version = d.Version();
  EXPECT_TRUE(d.Click(ctl::kTcp));
  EXPECT_TRUE(d.Control(ctl::kTcp).checked);
  EXPECT_EQ(rig.options.sendTcp.load(), 1);
  EXPECT_GT(d.Version(), version);
  EXPECT_TRUE(d.Click(ctl::kTcp));
  EXPECT_EQ(rig.options.sendTcp.load(), 0);

  EXPECT_TRUE(d.Click(ctl::kFeedHandler));
  EXPECT_TRUE(d.Control(ctl::kFeedHandler).checked);
  EXPECT_EQ(rig.options.feedHandlerRadio.load(), 0);

  EXPECT_FALSE(d.Click(ctl::kEnd));
  EXPECT_FALSE(d.Click(ctl::kQuit));
  EXPECT_FALSE(d.Click(ctl::kBridgePort));  // an edit is typed into, not clicked
  EXPECT_FALSE(d.Click(4242));
  EXPECT_FALSE(d.SetText(ctl::kFoStatus, "x"));  // display only
  EXPECT_FALSE(d.SetText(ctl::kStart, "x"));
  EXPECT_TRUE(d.SetText(ctl::kTimer, "09:15"));
  d.Click(ctl::kEnable);
  EXPECT_EQ(rig.options.timerText, "09:15");
  EXPECT_EQ(rig.options.enable.load(), 0);
}

TEST(DialogDataExchange, BridgePortOutsideRangeStopsTheRefreshButNotTheHandler) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.SetText(ctl::kBridgePort, "80");
  d.SetCheck(ctl::kNseCm, true);  // read after the bridge port: never reaches the options
  d.SetCheck(ctl::kWriteBin, true);  // read before it: taken
  EXPECT_TRUE(d.Click(ctl::kServer));
  EXPECT_EQ(rig.boxes.shown, std::vector<std::string>{kPortRangeText});
  EXPECT_EQ(rig.options.writeBin.load(), 1);
  EXPECT_EQ(rig.options.bridgePort.load(), 80);
  EXPECT_EQ(rig.options.segNcm.load(), 0);
  EXPECT_EQ(rig.options.serverRadio.load(), -1);
  // The Server handler's later steps still ran.
  EXPECT_FALSE(d.Control(ctl::kServerIp).enabled);
  EXPECT_FALSE(d.Control(ctl::kServer).enabled);
  EXPECT_TRUE(rig.HasEvent("server"));
}

TEST(DialogDataExchange, AcceptsTheRangeEndsAndRefusesNonNumbers) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.SetText(ctl::kBridgePort, " 1024 ");
  EXPECT_TRUE(d.UpdateOptions());
  d.SetText(ctl::kBridgePort, "50000");
  EXPECT_TRUE(d.UpdateOptions());
  EXPECT_EQ(rig.options.bridgePort.load(), 50000);
  d.SetText(ctl::kBridgePort, "50001");
  EXPECT_FALSE(d.UpdateOptions());
  d.SetText(ctl::kBridgePort, "1023");
  EXPECT_FALSE(d.UpdateOptions());
  d.SetText(ctl::kBridgePort, "20000");
  d.SetText(ctl::kUdpPort, "12ab");
  EXPECT_FALSE(d.UpdateOptions());
  EXPECT_EQ(rig.boxes.shown.back(), kIntegerText);
  d.SetText(ctl::kUdpPort, "99999999999999");
  EXPECT_FALSE(d.UpdateOptions());
  EXPECT_EQ(rig.boxes.shown.size(), 4u);
}

TEST(DialogPktCounters, OnlyNseFoShowsTheGridAndWritesNoCashCounters) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kNseFo);
  d.Click(ctl::kPktCounters);
  EXPECT_TRUE(d.Control(ctl::kGrid).visible);
  EXPECT_TRUE(rig.grid.Visible());
  EXPECT_EQ(rig.services.counterReads, 0);
  for (int r = 1; r <= CounterGrid::kCodeRows; ++r) {
    EXPECT_EQ(rig.grid.CellText(r, 1), "0");
    EXPECT_EQ(rig.grid.CellText(r, 2), "0");
  }
  d.Click(ctl::kPktCounters);
  EXPECT_FALSE(d.Control(ctl::kGrid).visible);
  EXPECT_FALSE(rig.grid.Visible());
}

int RowOf(const CounterGrid& grid, const char* code) {
  for (int r = 1; r < grid.Rows(); ++r)
    if (grid.CellText(r, 0) == code) return r;
  return -1;
}

TEST(DialogPktCounters, WithNseCmWritesTheCashCountersByTheTable) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kNseCm);
  d.Click(ctl::kPktCounters);
  const CounterGrid& g = rig.grid;
  // Row "0": messages to the decoder (cash) and datagrams (F&O column).
  EXPECT_EQ(g.CellText(RowOf(g, "0"), 1), "100000");
  EXPECT_EQ(g.CellText(RowOf(g, "0"), 2), "200000");
  // Row "1": uncompressed (cash) and compressed (F&O column) packets.
  EXPECT_EQ(g.CellText(RowOf(g, "1"), 1), "400000");
  EXPECT_EQ(g.CellText(RowOf(g, "1"), 2), "300000");
  EXPECT_EQ(g.CellText(RowOf(g, "1833"), 1), "501833");
  EXPECT_EQ(g.CellText(RowOf(g, "9011"), 1), "509011");
  EXPECT_EQ(g.CellText(RowOf(g, "7203"), 2), "507203");
  EXPECT_EQ(g.CellText(RowOf(g, "7203"), 1), "0");
  // Codes the cash refresh does not name stay as they were.
  EXPECT_EQ(g.CellText(RowOf(g, "2009"), 1), "0");
  EXPECT_EQ(g.CellText(RowOf(g, "7320"), 1), "0");
}

TEST(DialogCtcl, HidesAndShowsTheServerAddressControls) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kCtcl);
  for (int id : {ctl::kServerIp, ctl::kServer, ctl::kBridgePort}) EXPECT_FALSE(d.Control(id).visible) << id;
  EXPECT_TRUE(d.Control(ctl::kUdpPort).visible);
  EXPECT_FALSE(d.Click(ctl::kServer));  // a hidden radio cannot be clicked
  EXPECT_FALSE(d.SetText(ctl::kBridgePort, "15000"));  // nor a hidden edit typed into
  d.Click(ctl::kCtcl);
  for (int id : {ctl::kServerIp, ctl::kServer, ctl::kBridgePort}) EXPECT_TRUE(d.Control(id).visible) << id;
}

TEST(DialogServer, WithoutFeedHandlerDisablesTheControlsOnly) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  rig.options.feedHandlerRadio = -1;
  d.UpdateControls();
  EXPECT_TRUE(d.Click(ctl::kServer));
  EXPECT_FALSE(d.Control(ctl::kServerIp).enabled);
  EXPECT_FALSE(d.Control(ctl::kServer).enabled);
  EXPECT_EQ(rig.options.serverRadio.load(), 0);
  EXPECT_FALSE(rig.HasEvent("server"));
  EXPECT_FALSE(std::filesystem::exists(rig.WorkFile("FH_Config_NCM.TXT")));
}

TEST(DialogServer, StartsTheBridgeServerOnceAndWritesTheInstanceSettings) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  EXPECT_TRUE(d.Click(ctl::kServer));
  EXPECT_FALSE(d.Click(ctl::kServer));  // disabled by its first press
  EXPECT_EQ(rig.CountPrefix("server"), 1);
  EXPECT_EQ(testing::ReadFile(rig.WorkFile("FH_Config_NCM.TXT")), "127.0.0.1 14002 127.0.0.1 14002 29002");
}

TEST(DialogSegments, TitleNamesTheLastCheckedSegmentAndPacketFilesOpenInOrder) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kNseFo);
  EXPECT_EQ(d.Title(), "FH NFO");
  d.Click(ctl::kNseCd);
  EXPECT_EQ(d.Title(), "FH NCD");
  rig.events.clear();
  d.Click(ctl::kNseCm);
  EXPECT_EQ(d.Title(), "FH NCD");
  EXPECT_EQ(rig.events, (testing::Events{"bpack:1", "bpack:2", "bpack:3"}));
  d.Click(ctl::kBse);
  EXPECT_EQ(d.Title(), "FH BCM");
  rig.events.clear();
  for (int id : {ctl::kNseCm, ctl::kNseFo, ctl::kNseCd, ctl::kBse}) d.Click(id);
  EXPECT_EQ(d.Title(), "FH BCM");  // nothing checked: the title stays
  EXPECT_EQ(rig.events, (testing::Events{"bpack:2", "bpack:3", "bpack:4", "bpack:3", "bpack:4", "bpack:4"}));
}

TEST(DialogOutputs, OutputBoxesRefreshTheOptionsThenCallTheirOutput) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kUdp);
  d.Click(ctl::kMcast);
  d.Click(ctl::kBcastDelta);
  EXPECT_EQ(rig.options.sendUdp.load(), 1);
  EXPECT_EQ(rig.options.sendMcast.load(), 1);
  EXPECT_EQ(rig.options.bcastDelta.load(), 1);
  EXPECT_EQ(rig.events.back(), "delta");
  EXPECT_TRUE(rig.HasEvent("udp"));
  EXPECT_TRUE(rig.HasEvent("mcast"));
}

TEST(DialogAbout, TheAboutEntryShowsTheAboutBox) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  EXPECT_TRUE(d.Click(ctl::kAbout));
  EXPECT_EQ(rig.boxes.shown, std::vector<std::string>{kAboutText});
}

}  // namespace
}  // namespace fh
