#include <gtest/gtest.h>

#include <cstdio>

#include "control/front_end.h"
#include "dialog_rig.h"

namespace fh {
namespace {

using Kind = FrontEndAction::Kind;

TEST(CommandLine, KeepsActionsInOrder) {
  const char* argv[] = {"feedhandler", "--headless", "--workdir", "/w", "--system-drive", "/c",
                        "--click", "BCAST DELTA", "--set", "1191=15000", "--click", "1020", "--set", "Timer >>=a=b"};
  CommandLine c;
  std::string error;
  ASSERT_TRUE(ParseCommandLine(std::size(argv), argv, &c, &error)) << error;
  EXPECT_TRUE(c.headless);
  EXPECT_EQ(c.workDir, "/w");
  EXPECT_EQ(c.systemDrive, "/c");
  ASSERT_EQ(c.actions.size(), 4u);
  EXPECT_EQ(c.actions[0].kind, Kind::kClick);
  EXPECT_EQ(c.actions[0].control, "BCAST DELTA");
  EXPECT_EQ(c.actions[1].kind, Kind::kSet);
  EXPECT_EQ(c.actions[1].control, "1191");
  EXPECT_EQ(c.actions[1].text, "15000");
  EXPECT_EQ(c.actions[2].control, "1020");
  EXPECT_EQ(c.actions[3].control, "Timer >>");
  EXPECT_EQ(c.actions[3].text, "a=b");
}

TEST(CommandLine, RefusesUnknownOptionsAndMissingValues) {
  CommandLine c;
  std::string error;
  const char* unknown[] = {"feedhandler", "--frobnicate"};
  EXPECT_FALSE(ParseCommandLine(2, unknown, &c, &error));
  EXPECT_EQ(error, "unknown option: --frobnicate");
  const char* missing[] = {"feedhandler", "--click"};
  EXPECT_FALSE(ParseCommandLine(2, missing, &c, &error));
  const char* badSet[] = {"feedhandler", "--set", "15000"};
  EXPECT_FALSE(ParseCommandLine(3, badSet, &c, &error));
}

TEST(CommandLine, ProgramWithoutWindowOrWithBadArgumentsReturnsTwo) {
  testing::TempDir dir;
  const std::string work = dir.path().string();
  char prog[] = "feedhandler", wd[] = "--workdir", help[] = "--help", bad[] = "--bad", nowhere[] = "/no/such/dir";
  char* noWindow[] = {prog, wd, const_cast<char*>(work.c_str()), nullptr};
  EXPECT_EQ(RunFeedHandler(3, noWindow, nullptr), 2);
  char* helpArgs[] = {prog, help, nullptr};
  EXPECT_EQ(RunFeedHandler(2, helpArgs, nullptr), 0);
  char* badArgs[] = {prog, bad, nullptr};
  EXPECT_EQ(RunFeedHandler(2, badArgs, nullptr), 2);
  char* missingDir[] = {prog, wd, nowhere, nullptr};
  EXPECT_EQ(RunFeedHandler(3, missingDir, nullptr), 2);
}

TEST(CommandLine, SystemDriveDefaultsToEnvironmentThenWorkDir) {
  testing::TempDir work, drive;
  CommandLine c;
  c.workDir = work.path().string();
  std::string w, d, error;
  ::unsetenv("FH_SYSTEM_DRIVE");
  ASSERT_TRUE(ResolvePlaces(c, &w, &d, &error));
  EXPECT_EQ(d, w);
  ::setenv("FH_SYSTEM_DRIVE", drive.path().c_str(), 1);
  ASSERT_TRUE(ResolvePlaces(c, &w, &d, &error));
  EXPECT_EQ(d, drive.path().string());
  ::unsetenv("FH_SYSTEM_DRIVE");
}

TEST(ActionLines, ParseTheFiveCommandsAndRefuseTheRest) {
  FrontEndAction a;
  std::string error;
  ASSERT_TRUE(ParseActionLine("  click   BCAST DELTA \r", &a, &error));
  EXPECT_EQ(a.kind, Kind::kClick);
  EXPECT_EQ(a.control, "BCAST DELTA");
  ASSERT_TRUE(ParseActionLine("set 1188=10.0.0.5", &a, &error));
  EXPECT_EQ(a.kind, Kind::kSet);
  EXPECT_EQ(a.text, "10.0.0.5");
  const std::pair<const char*, Kind> bare[] = {{"grid", Kind::kGrid}, {"state", Kind::kState}, {"title", Kind::kTitle}};
  for (const auto& [line, kind] : bare) {
    ASSERT_TRUE(ParseActionLine(line, &a, &error));
    EXPECT_EQ(a.kind, kind);
  }
  for (const char* line : {"click", "grid 3", "set 1188", "launch"}) EXPECT_FALSE(ParseActionLine(line, &a, &error));
  EXPECT_EQ(error, "unknown command: launch");
}

std::string Contents(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string s;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
  return s;
}

// Clicks, the state and the message texts are run end to end by the headless
// tests; here what they do not reach.
TEST(ActionLines, RunActionReportsRefusedEditsAndPrintsTitleAndGrid) {
  testing::DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  RunAction(d, {Kind::kSet, "1191", "15000"}, out, err);
  RunAction(d, {Kind::kSet, "1210", "x"}, out, err);
  RunAction(d, {Kind::kClick, "nse-fo", {}}, out, err);
  RunAction(d, {Kind::kTitle, {}, {}}, out, err);
  RunAction(d, {Kind::kGrid, {}, {}}, out, err);
  EXPECT_EQ(Contents(err), "feedhandler: set 1210 ignored: not an enabled, visible edit\n");
  const std::string printed = Contents(out);
  EXPECT_EQ(printed.substr(0, 36), "FH NFO\nPacket\tNSE-CASH\tNSE-FO\n0\t0\t0\n");
  EXPECT_EQ(rig.options.bridgePort.load(), 15000);
  std::fclose(out);
  std::fclose(err);
}

}  // namespace
}  // namespace fh
