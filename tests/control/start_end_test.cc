#include <gtest/gtest.h>

#include <cstring>

#include "control/feed_handler_dialog.h"
#include "control_fakes.h"

namespace fh {
namespace {

using testing::DialogRig;
using testing::Events;

TEST(Start, WithServerUncheckedMovesTheButtonsAndStartsNothing) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kNseCm);
  d.Click(ctl::kNseFo);
  rig.events.clear();
  EXPECT_TRUE(d.Click(ctl::kStart));
  EXPECT_FALSE(d.Control(ctl::kStart).enabled);
  EXPECT_TRUE(d.Control(ctl::kEnd).enabled);
  EXPECT_FALSE(d.Control(ctl::kTimer).enabled);
  EXPECT_FALSE(d.Control(ctl::kReadBin).enabled);
  EXPECT_TRUE(rig.events.empty());
  EXPECT_EQ(rig.log.Size(), 0u);
  EXPECT_FALSE(d.ReceiverRunning(1));
}

TEST(Start, FoAndCmWithoutAddressFilesUseTheDefaultsFoFirst) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kNseCm);
  d.Click(ctl::kNseFo);
  d.Click(ctl::kServer);
  rig.events.clear();
  rig.boxes.shown.clear();
  d.Click(ctl::kStart);
  EXPECT_EQ(rig.events, (Events{"box:Cant open file for Ip/Port Read: BCASTOUT_TEXT_FO.TXT", "nse:2 233.1.2.5 34330",
                                "box:Cant open file for Ip/Port Read: BCASTOUT_TEXT_CASH.TXT",
                                "nse:1 233.1.2.5 35610"}));
  ASSERT_GE(rig.log.Size(), 2u);
  EXPECT_EQ(rig.log.Line(0), "NSE CM 233.1.2.5|35610");  // newest on top
  EXPECT_EQ(rig.log.Line(1), "NSE FO 233.1.2.5|34330");
  EXPECT_TRUE(d.ReceiverRunning(1));
  EXPECT_TRUE(d.ReceiverRunning(2));
  EXPECT_FALSE(d.ReceiverRunning(3));
  EXPECT_FALSE(d.Click(ctl::kStart));  // disabled while running
}

TEST(Start, AddressFilesOverrideGroupAndPort) {
  DialogRig rig;
  testing::WriteFile(rig.WorkFile("BCASTOUT_TEXT_CASH.TXT"), "239.9.9.9 40000\n");
  testing::WriteFile(rig.WorkFile("BCASTOUT_TEXT_NCD.TXT"), "  239.1.1.1\n\n 41000");
  testing::WriteFile(rig.WorkFile("BCASTOUT_TEXT_CASH_BSE.TXT"), "10.0.0.1 6000");
  FeedHandlerDialog& d = rig.Open();
  for (int id : {ctl::kNseCm, ctl::kNseCd, ctl::kBse, ctl::kServer}) d.Click(id);
  rig.events.clear();
  rig.boxes.shown.clear();
  d.Click(ctl::kStart);
  EXPECT_TRUE(rig.boxes.shown.empty());
  EXPECT_EQ(rig.events, (Events{"nse:1 239.9.9.9 40000", "nse:3 239.1.1.1 41000", "bse:10.0.0.1 6000"}));
  EXPECT_EQ(rig.log.Line(0), "BSE CM 10.0.0.1|6000");
  EXPECT_EQ(rig.log.Line(1), "NSE CD 239.1.1.1|41000");
  EXPECT_EQ(rig.log.Line(2), "NSE CM 239.9.9.9|40000");
}

TEST(End, StopsTheNseReceiversLeavesBseAndReturnsToIdle) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  for (int id : {ctl::kNseCm, ctl::kNseFo, ctl::kNseCd, ctl::kBse, ctl::kServer}) d.Click(id);
  d.Click(ctl::kStart);
  rig.events.clear();
  EXPECT_TRUE(d.Click(ctl::kEnd));
  EXPECT_EQ(rig.events, (Events{"stop:1", "stop:2", "stop:3"}));
  for (int seg : {1, 2, 3}) EXPECT_FALSE(d.ReceiverRunning(seg));
  EXPECT_TRUE(d.Control(ctl::kStart).enabled);
  EXPECT_FALSE(d.Control(ctl::kEnd).enabled);
  EXPECT_TRUE(d.Control(ctl::kTimer).enabled);
  EXPECT_TRUE(d.Control(ctl::kReadBin).enabled);
  // A second run starts fresh receivers.
  rig.events.clear();
  d.Click(ctl::kStart);
  EXPECT_EQ(rig.CountPrefix("nse:"), 3);
  EXPECT_EQ(rig.CountPrefix("bse:"), 1);
}

TEST(Start, CalledAgainWithoutEndStopsTheReceiverItReplaces) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kNseCd);
  d.Click(ctl::kServer);
  d.OnStart();
  rig.events.clear();
  d.OnStart();  // not reachable by a click: Start is disabled while running
  EXPECT_EQ(rig.CountPrefix("stop:3"), 1);
  EXPECT_EQ(rig.events.back(), "nse:3 233.1.2.5 34567");
  EXPECT_TRUE(d.ReceiverRunning(3));
}

struct GuardedAddress {
  char address[kAddressTextSize];
  char marker;
};

TEST(ReadAddressFile, RefusesAnAddressLongerThanFifteenCharactersWithoutWritingPastTheBuffer) {
  testing::TempDir dir;
  FilePlaces places(dir.path(), dir.path());
  Events events;
  testing::RecordingBoxes boxes(events);
  testing::WriteFile(dir.File("A.TXT"), "1234567890123456789012345678901234567890 5000");
  GuardedAddress g{};
  std::strcpy(g.address, "233.1.2.5");
  g.marker = 'M';
  long port = 34330;
  ReadAddressFile(places, boxes, "A.TXT", g.address, port);
  EXPECT_STREQ(g.address, "233.1.2.5");
  EXPECT_EQ(g.marker, 'M');
  EXPECT_EQ(port, 5000);
  EXPECT_TRUE(boxes.shown.empty());

  testing::WriteFile(dir.File("B.TXT"), "255.255.255.255");
  ReadAddressFile(places, boxes, "B.TXT", g.address, port);
  EXPECT_STREQ(g.address, "255.255.255.255");  // exactly fifteen fits
  EXPECT_EQ(port, 5000);                         // no port: unchanged
  EXPECT_EQ(g.marker, 'M');

  ReadAddressFile(places, boxes, "MISSING.TXT", g.address, port);
  EXPECT_EQ(boxes.shown, std::vector<std::string>{"Cant open file for Ip/Port Read: MISSING.TXT"});
  EXPECT_STREQ(g.address, "255.255.255.255");
}

}  // namespace
}  // namespace fh
