#include <gtest/gtest.h>

#include <filesystem>

#include "control/feed_handler_dialog.h"
#include "control_fakes.h"

namespace fh {
namespace {

using testing::DialogRig;
using testing::ReadFile;
using testing::WriteFile;

// --- Settings files ---------------------------------------------------------

TEST(Settings, FeedHandlerReadsTheCheckedSegmentsFile) {
  DialogRig rig;
  WriteFile(rig.WorkFile("FH_Config_NCM.TXT"), "10.0.0.5 15000 127.0.0.1 15001 15002");
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kNseCm);
  d.Click(ctl::kFeedHandler);
  EXPECT_TRUE(rig.boxes.shown.empty());
  EXPECT_EQ(d.Control(ctl::kServerIp).text, "10.0.0.5");
  EXPECT_EQ(d.Control(ctl::kBridgePort).text, "15000");
  EXPECT_EQ(d.Control(ctl::kUdpPort).text, "15001");
  EXPECT_EQ(d.Control(ctl::kMcastPort).text, "15002");
}

TEST(Settings, MissingFileFallsBackToTheInstanceAndOutputPorts) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kNseCm);
  d.Click(ctl::kFeedHandler);
  EXPECT_EQ(rig.boxes.shown, std::vector<std::string>{"Cant open file :FH_Config"});
  EXPECT_EQ(d.Control(ctl::kBridgePort).text, "30001");
  EXPECT_EQ(d.Control(ctl::kUdpPort).text, "30012");
  EXPECT_EQ(d.Control(ctl::kMcastPort).text, "30022");
  EXPECT_EQ(d.Control(ctl::kServerIp).text, "127.0.0.1");
}

TEST(Settings, AnAddressAndOnePortGiveAllThreePortsThatPort) {
  DialogRig rig;
  WriteFile(rig.WorkFile("FH_Config_NFO.TXT"), "10.0.0.5 15000");
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kNseFo);
  d.Click(ctl::kFeedHandler);
  EXPECT_EQ(d.Control(ctl::kBridgePort).text, "15000");
  EXPECT_EQ(d.Control(ctl::kUdpPort).text, "15000");
  EXPECT_EQ(d.Control(ctl::kMcastPort).text, "15000");
}

TEST(Settings, AnEmptyFileGivesTheStartingValuesAndALaterFileOverrides) {
  DialogRig rig;
  WriteFile(rig.WorkFile("FH_Config_NCM.TXT"), "");
  WriteFile(rig.WorkFile("FH_Config_BCM.TXT"), "10.1.1.1 16000 x 16001 16002");
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kNseCm);
  d.Click(ctl::kFeedHandler);
  EXPECT_EQ(d.Control(ctl::kServerIp).text, "127.0.0.1");
  EXPECT_EQ(d.Control(ctl::kBridgePort).text, "34330");
  EXPECT_EQ(d.Control(ctl::kMcastPort).text, "34330");
  d.Click(ctl::kBse);
  d.Click(ctl::kFeedHandler);
  EXPECT_EQ(d.Control(ctl::kServerIp).text, "10.1.1.1");
  EXPECT_EQ(d.Control(ctl::kMcastPort).text, "16002");
}

TEST(Settings, OverlongFieldsAreReadSafely) {
  DialogRig rig;
  WriteFile(rig.WorkFile("FH_Config_NCM.TXT"), std::string(5000, 'a') + " 15000 " + std::string(3000, 'b') + " 1 2");
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kNseCm);
  d.Click(ctl::kFeedHandler);
  EXPECT_LT(d.Control(ctl::kServerIp).text.size(), 64u);
}

TEST(Settings, ServerWritesExactlyTheFiveFieldsBack) {
  DialogRig rig;
  WriteFile(rig.WorkFile("FH_Config_NCM.TXT"), "10.0.0.5 15000 1.2.3.4 15001 15002\n\nrest");
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kNseCm);
  d.Click(ctl::kFeedHandler);
  d.Click(ctl::kServer);
  EXPECT_EQ(ReadFile(rig.WorkFile("FH_Config_NCM.TXT")), "10.0.0.5 15000 127.0.0.1 15001 15002");
}

TEST(Settings, WriteSettingsWithASelectorThatNamesNoFileShowsTheBox) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.WriteSettings(3);
  EXPECT_EQ(rig.boxes.shown, std::vector<std::string>{"Cant open file :FH_Config"});
  d.WriteSettings(30004);
  EXPECT_TRUE(std::filesystem::exists(rig.WorkFile("FH_Config_BCM.TXT")));
}

TEST(StateFile, LoadWithoutSaveEndsTheProgram) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kLoad);
  EXPECT_EQ(rig.boxes.shown, std::vector<std::string>{"Cant open file :fhc"});
  EXPECT_EQ(rig.exit.codes, std::vector<int>{0});
}

TEST(StateFile, SaveCreatesAnEmptyFileOnTheSystemDriveThatLoadAccepts) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kSave);
  EXPECT_EQ(ReadFile(rig.drive.File("fhc.fhc")), "");
  d.Click(ctl::kLoad);
  EXPECT_TRUE(rig.boxes.shown.empty());
  EXPECT_TRUE(rig.exit.codes.empty());
}

TEST(StateFile, SaveToAMissingDriveEndsTheProgram) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  std::filesystem::remove_all(rig.drive.path());
  d.Click(ctl::kSave);
  EXPECT_EQ(rig.events.back(), "exit:0");
  EXPECT_EQ(rig.boxes.shown, std::vector<std::string>{"Cant open file :fhc"});
}

// --- Raw recording -------------------------------------------------------------

TEST(WriteBin, WithNoSegmentOpensOnlyTheUnknownRecording) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kWriteBin);
  EXPECT_EQ(rig.options.writeBin.load(), 1);
  EXPECT_EQ(rig.files.Path(0, SegmentFiles::kBinFile), rig.WorkFile("BCASTOUT_BIN_Unknown.TXT"));
  for (int seg = 1; seg <= 4; ++seg) EXPECT_FALSE(rig.files.IsOpen(seg, SegmentFiles::kBinFile)) << seg;
}

TEST(WriteBin, ClearingTheBoxKeepsTheCheckedSegmentsFilesOpen) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kNseCm);
  d.Click(ctl::kBse);
  d.Click(ctl::kWriteBin);
  d.Click(ctl::kWriteBin);
  EXPECT_EQ(rig.options.writeBin.load(), 0);
  EXPECT_EQ(rig.files.Path(1, SegmentFiles::kBinFile), rig.WorkFile("BCASTOUT_BIN_CASH.TXT"));
  EXPECT_EQ(rig.files.Path(4, SegmentFiles::kBinFile), rig.WorkFile("BCASTOUT_BIN_BCM.TXT"));
  EXPECT_TRUE(rig.files.IsOpen(0, SegmentFiles::kBinFile));
  EXPECT_FALSE(rig.files.IsOpen(2, SegmentFiles::kBinFile));
}

TEST(WriteBin, TwoRecordingsIntoTheSameFileAreConcatenated) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kNseFo);
  d.Click(ctl::kWriteBin);
  rig.files.WriteAndFlush(2, SegmentFiles::kBinFile, "\x02" "first", 6);
  d.Click(ctl::kWriteBin);
  d.Click(ctl::kWriteBin);  // reopened: appends
  rig.files.WriteAndFlush(2, SegmentFiles::kBinFile, "\x02" "second", 7);
  EXPECT_EQ(ReadFile(rig.WorkFile("BCASTOUT_BIN_FO.TXT")), std::string("\x02" "first" "\x02" "second", 13));
}

TEST(WriteBin, AFileThatCannotBeOpenedEndsTheProgram) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  std::filesystem::create_directory(rig.WorkFile("BCASTOUT_BIN_CASH.TXT"));  // a folder cannot be opened
  d.Click(ctl::kNseCm);
  rig.events.clear();
  d.Click(ctl::kWriteBin);
  EXPECT_EQ(rig.events, (testing::Events{"box:Cant open file :BCASTOUT_BIN_CASH", "exit:0"}));
  EXPECT_FALSE(rig.files.IsOpen(0, SegmentFiles::kBinFile));  // stopped right after the exit
}

TEST(ReadBin, WithTwoSegmentsShowsTheBoxAndOpensNothing) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kNseCm);
  d.Click(ctl::kNseFo);
  d.Click(ctl::kReadBin);
  EXPECT_EQ(rig.boxes.shown, std::vector<std::string>{kOnlyOneSegmentText});
  for (int seg = 0; seg <= 4; ++seg) {
    EXPECT_FALSE(rig.files.IsOpen(seg, SegmentFiles::kReplayFile));
    EXPECT_FALSE(rig.files.IsOpen(seg, SegmentFiles::kBinFile));
  }
  EXPECT_TRUE(d.Control(ctl::kFoStatus).visible);
  EXPECT_TRUE(rig.exit.codes.empty());
}

TEST(ReadBin, WithNoSegmentOpensTheCashFileAndClearingHidesTheStatus) {
  DialogRig rig;
  WriteFile(rig.WorkFile("BCASTOUT_BIN_CASH.TXT"), "recorded");
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kReadBin);
  EXPECT_EQ(rig.files.Path(1, SegmentFiles::kReplayFile), rig.WorkFile("BCASTOUT_BIN_CASH.TXT"));
  EXPECT_TRUE(d.Control(ctl::kFoStatus).visible);
  EXPECT_TRUE(d.Control(ctl::kEqStatus).visible);
  EXPECT_EQ(d.Control(ctl::kEqStatus).text, "Unread!");
  d.Click(ctl::kReadBin);
  EXPECT_FALSE(d.Control(ctl::kFoStatus).visible);
  EXPECT_FALSE(d.Control(ctl::kEqStatus).visible);
}

TEST(ReadBin, AMissingReplayFileEndsTheProgram) {
  DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kNseFo);
  rig.events.clear();
  d.Click(ctl::kReadBin);
  EXPECT_EQ(rig.events, (testing::Events{"box:Cant open file :BCASTOUT_BIN_CASH", "exit:0"}));
}

TEST(RecordingAndReplay, NeverShareAFile) {
  DialogRig rig;
  WriteFile(rig.WorkFile("BCASTOUT_BIN_FO_20122011.TXT"), "replay input");
  FeedHandlerDialog& d = rig.Open();
  d.Click(ctl::kNseFo);
  d.Click(ctl::kReadBin);
  d.Click(ctl::kWriteBin);
  ASSERT_TRUE(rig.files.IsOpen(2, SegmentFiles::kReplayFile));
  ASSERT_TRUE(rig.files.IsOpen(2, SegmentFiles::kBinFile));
  rig.files.WriteAndFlush(2, SegmentFiles::kBinFile, "datagram", 8);
  EXPECT_EQ(ReadFile(rig.WorkFile("BCASTOUT_BIN_FO_20122011.TXT")), "replay input");
  EXPECT_EQ(ReadFile(rig.WorkFile("BCASTOUT_BIN_FO.TXT")), "datagram");
  // A later Read BIN click leaves the recording handle alone.
  d.Click(ctl::kReadBin);
  d.Click(ctl::kReadBin);
  EXPECT_EQ(rig.files.Path(2, SegmentFiles::kBinFile), rig.WorkFile("BCASTOUT_BIN_FO.TXT"));
}

TEST(RecordingFiles, NamesBySegment) {
  EXPECT_STREQ(RecordingFileName(0), "BCASTOUT_BIN_Unknown.TXT");
  EXPECT_STREQ(RecordingFileName(4), "BCASTOUT_BIN_BCM.TXT");
  EXPECT_STREQ(ReplayFileName(2), "BCASTOUT_BIN_FO_20122011.TXT");
  EXPECT_STREQ(ReplayFileName(4), "BCASTOUT_BIN_BCM.TXT");
  EXPECT_EQ(RecordingFileName(5), nullptr);
  EXPECT_EQ(ReplayFileName(-1), nullptr);
  EXPECT_EQ(SettingsFileName(3), nullptr);
}

}  // namespace
}  // namespace fh
