#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "control/settings_files.h"
#include "dialog_rig.h"

namespace fh {
namespace {

using testing::DialogRig;
using testing::Events;
using testing::ReadFile;
using testing::WriteFile;

TEST(ReadAddressFile, RefusesAnAddressLongerThanFifteenCharactersWithoutWritingPastTheBuffer) {
  testing::FeedState s;
  struct {
    char address[kAddressTextSize];
    char marker;
  } g{};
  std::strcpy(g.address, "233.1.2.5");
  g.marker = 'M';
  long port = 34330;
  WriteFile(s.dir.File("A.TXT"), "1234567890123456789012345678901234567890 5000");
  ReadAddressFile(s.places, s.boxes, "A.TXT", g.address, port);
  EXPECT_STREQ(g.address, "233.1.2.5");
  EXPECT_EQ(port, 5000);

  WriteFile(s.dir.File("B.TXT"), "255.255.255.255");
  ReadAddressFile(s.places, s.boxes, "B.TXT", g.address, port);
  EXPECT_STREQ(g.address, "255.255.255.255");  // exactly fifteen fits
  EXPECT_EQ(port, 5000);                         // no port: unchanged
  EXPECT_EQ(g.marker, 'M');
  EXPECT_TRUE(s.boxes.Texts().empty());
}

// FeedHandler with the given segments checked and the given settings files.
TEST(Settings, FeedHandlerReadsTheCheckedSegmentsFiles) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, std::string>> files;
    std::vector<int> segments;
    const char *ip, *bridge, *udp, *mcast;
    std::vector<std::string> boxes;
  };
  const Case cases[] = {
      {"all five fields", {{"FH_Config_NCM.TXT", "10.0.0.5 15000 127.0.0.1 15001 15002"}}, {ctl::kNseCm},
       "10.0.0.5", "15000", "15001", "15002", {}},
      {"no file: instance and output ports", {}, {ctl::kNseCm},
       "127.0.0.1", "30001", "30012", "30022", {"Cant open file :FH_Config"}},
      {"one port stands for all three", {{"FH_Config_NFO.TXT", "10.0.0.5 15000"}}, {ctl::kNseFo},
       "10.0.0.5", "15000", "15000", "15000", {}},
      {"empty file: starting values", {{"FH_Config_NCM.TXT", ""}}, {ctl::kNseCm},
       "127.0.0.1", "34330", "34330", "34330", {}},
      {"overlong fields are cut, not overrun",
       {{"FH_Config_NCM.TXT", std::string(5000, 'a') + " 15000 " + std::string(3000, 'b') + " 1 2"}},
       {ctl::kNseCm}, nullptr, "34330", "34330", "34330", {}},
      {"a later file overrides", {{"FH_Config_NCM.TXT", ""}, {"FH_Config_BCM.TXT", "10.1.1.1 16000 x 16001 16002"}},
       {ctl::kNseCm, ctl::kBse}, "10.1.1.1", "16000", "16001", "16002", {}},
      {"currency derivatives have no file", {{"FH_Config_NCD.TXT", "10.0.0.5 15000 x 15001 15002"}}, {ctl::kNseCd},
       "127.0.0.1", "14002", "14002", "29002", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DialogRig rig;
    for (const auto& [name, bytes] : c.files) WriteFile(rig.dir.File(name), bytes);
    FeedHandlerDialog& d = rig.Open();
    for (int id : c.segments) d.Click(id);
    rig.events.clear();
    d.Click(ctl::kFeedHandler);
    EXPECT_EQ(d.Control(ctl::kServerIp).text, c.ip != nullptr ? std::string(c.ip) : std::string(63, 'a'));
    EXPECT_EQ(d.Control(ctl::kBridgePort).text, c.bridge);
    EXPECT_EQ(d.Control(ctl::kUdpPort).text, c.udp);
    EXPECT_EQ(d.Control(ctl::kMcastPort).text, c.mcast);
    EXPECT_EQ(rig.Boxes(), c.boxes);
  }
}

TEST(Settings, WriteSettingsPicksTheFileByTheInstancePortTable) {
  DialogRig rig;
  rig.options.serverIp = "10.2.3.4";
  rig.options.bridgePort = 15000;
  const std::pair<int, const char*> files[] = {{1, "FH_Config_NCM.TXT"}, {30002, "FH_Config_NFO.TXT"},
                                               {30004, "FH_Config_BCM.TXT"}};
  for (const auto& [selector, name] : files) {
    WriteSettings(rig.context, selector);
    EXPECT_EQ(ReadFile(rig.dir.File(name)), "10.2.3.4 15000 127.0.0.1 14002 29002") << selector;
  }
  for (int selector : {3, 30003}) WriteSettings(rig.context, selector);
  EXPECT_EQ(rig.Boxes(), (std::vector<std::string>{"Cant open file :FH_Config", "Cant open file :FH_Config"}));
}

TEST(StateFile, SaveCreatesAnEmptyFileThatLoadAcceptsAndSaveWhereNoFileCanBeEndsTheProgram) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Ready();
  d.Click(ctl::kSave);
  EXPECT_EQ(ReadFile(rig.dir.File("fhc.fhc")), "");
  d.Click(ctl::kLoad);
  EXPECT_TRUE(rig.events.empty());
  std::filesystem::remove(rig.dir.File("fhc.fhc"));
  std::filesystem::create_directory(rig.dir.File("fhc.fhc"));
  d.Click(ctl::kSave);
  EXPECT_EQ(rig.events, (Events{"box:Cant open file :fhc", "exit:0"}));
}

}  // namespace
}  // namespace fh
