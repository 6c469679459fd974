// The feedhandler binary run headless, in the private network namespace: it
// opens the feed's sockets once Server and Start are clicked.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "support/child_process.h"
#include "support/test_dir.h"

namespace fh {
namespace {

using testing::ChildProcess;
using testing::ReadFile;
using testing::TempDir;

std::vector<std::string> Command(const TempDir& work, const TempDir& drive, std::vector<std::string> actions) {
  std::vector<std::string> argv{FH_FEEDHANDLER_BINARY, "--headless", "--workdir", work.path().string(),
                                "--system-drive", drive.path().string()};
  argv.insert(argv.end(), actions.begin(), actions.end());
  return argv;
}

TEST(Headless, RunsActionsThenStandardInputAndEndsCleanlyOnSigterm) {
  TempDir work, drive;
  ChildProcess child(Command(work, drive, {"--click", "NSE-CM", "--click", "Server", "--click", "Save"}));
  ASSERT_TRUE(child.Started());
  child.Write("title\n");
  ASSERT_TRUE(child.WaitForLine("FH NCM"));
  EXPECT_EQ(ReadFile(work.File("FH_Config_NCM.TXT")), "127.0.0.1 14002 127.0.0.1 14002 29002");
  EXPECT_TRUE(std::filesystem::exists(drive.File("fhc.fhc")));
  EXPECT_TRUE(std::filesystem::exists(work.File("BPACK_NCM.TXT")));
  EXPECT_TRUE(std::filesystem::exists(work.File("BPACK_Counter_NCM.TXT")));

  testing::WriteFile(work.File("BCASTOUT_TEXT_CASH.TXT"), "239.7.7.7 36000");
  child.Write("click Start\n");
  ASSERT_TRUE(child.WaitForLine("NSE CM 239.7.7.7|36000"));
  child.Write("state\n");
  ASSERT_TRUE(child.WaitForLine("1020\tStart\t0\t0\t1\t"));
  child.Write("click End\nstate\n");
  ASSERT_TRUE(child.WaitForLine("1021\tEnd\t0\t0\t1\t"));
  child.Write("click Quit\n");
  ASSERT_TRUE(child.WaitForErrLine(
      "feedhandler: click on Quit ignored: the control is disabled, hidden or not clickable"));

  EXPECT_EQ(child.Terminate(SIGTERM), 0);
}

TEST(Headless, MessageBoxesGoToStandardErrorAndTheProgramGoesOn) {
  TempDir work, drive;
  ChildProcess child(Command(work, drive, {"--set", "1191=80", "--click", "Enable", "--click", "Server"}));
  ASSERT_TRUE(child.WaitForErrLine("Please enter an integer between 1024 and 50000."));
  // Server's refresh stopped at the bridge port; once the port is mended the
  // next refresh takes the checked Server radio.
  child.Write("set 1191=15000\nclick NSE-FO\nclick Start\n");
  ASSERT_TRUE(child.WaitForErrLine("Cant open file for Ip/Port Read: BCASTOUT_TEXT_FO.TXT"));
  ASSERT_TRUE(child.WaitForLine("NSE FO 233.1.2.5|34330"));
  EXPECT_EQ(child.Terminate(SIGINT), 0);
}

TEST(Headless, EndOfInputDoesNotEndTheProgram) {
  TempDir work, drive;
  ChildProcess child(Command(work, drive, {}));
  child.Write("title\n");
  ASSERT_TRUE(child.WaitForLine("FH BCM"));
  child.CloseInput();
  EXPECT_FALSE(child.Wait(std::chrono::milliseconds(300)).has_value());
  EXPECT_EQ(child.Terminate(SIGTERM), 0);
}

TEST(Headless, AnUnknownControlEndsWithCodeTwoBeforeAnythingRuns) {
  TempDir work, drive;
  ChildProcess child(Command(work, drive, {"--click", "Save", "--click", "No Such Box"}));
  EXPECT_EQ(child.Wait(), 2);
  EXPECT_FALSE(std::filesystem::exists(drive.File("fhc.fhc")));
  ASSERT_FALSE(child.ErrLines().empty());
  EXPECT_EQ(child.ErrLines().back(), "feedhandler: unknown control: No Such Box");
}

TEST(Headless, LoadWithoutSaveEndsWithCodeZeroAfterItsMessage) {
  TempDir work, drive;
  ChildProcess child(Command(work, drive, {"--click", "Load", "--click", "Save"}));
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(child.ErrLines(), std::vector<std::string>{"Cant open file :fhc"});
  EXPECT_FALSE(std::filesystem::exists(drive.File("fhc.fhc")));
}

}  // namespace
}  // namespace fh
