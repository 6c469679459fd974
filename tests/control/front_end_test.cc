#include "control/front_end.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "dialog_rig.h"

namespace fh {
namespace {

using Kind = FrontEndAction::Kind;
using Strings = std::vector<std::string>;

// An action as one text: its kind's number, the control and the text.
std::string Show(const FrontEndAction& a) {
  return std::to_string(static_cast<int>(a.kind)) + "|" + a.control + "|" + a.text;
}

TEST(CommandLine, KeepsActionsInOrderAndRefusesUnknownOptionsAndMissingValues) {
  const char* argv[] = {"feedhandler", "--headless", "--workdir", "/w", "--system-drive", "/c",
                        "--click", "BCAST DELTA", "--set", "1191=15000", "--click", "1020", "--set", "Timer >>=a=b"};
  CommandLine c;
  std::string error;
  ASSERT_TRUE(ParseCommandLine(std::size(argv), argv, &c, &error)) << error;
  EXPECT_TRUE(c.headless);
  EXPECT_EQ(c.workDir + " " + c.systemDrive, "/w /c");
  Strings actions;
  for (const FrontEndAction& a : c.actions) actions.push_back(Show(a));
  EXPECT_EQ(actions, (Strings{"0|BCAST DELTA|", "1|1191|15000", "0|1020|", "1|Timer >>|a=b"}));

  const char* unknown[] = {"feedhandler", "--frobnicate"};
  EXPECT_FALSE(ParseCommandLine(2, unknown, &c, &error));
  EXPECT_EQ(error, "unknown option: --frobnicate");
  const char* missing[] = {"feedhandler", "--click"};
  EXPECT_FALSE(ParseCommandLine(2, missing, &c, &error));
  const char* badSet[] = {"feedhandler", "--set", "15000"};
  EXPECT_FALSE(ParseCommandLine(3, badSet, &c, &error));
}

TEST(CommandLine, BatchZeroTurnsBatchingOffAndAnEmptyAllowListIsRefused) {
  const std::pair<std::vector<const char*>, std::string> cases[] = {  // arguments, receive batch or error
      {{"--batch", "0"}, "1"},
      {{"--batch", "1"}, "1"},
      {{"--batch", "64"}, "64"},
      {{"--batch", "65"}, "--batch needs a number from 0 to 64"},
      {{"--batch", "-1"}, "--batch needs a number from 0 to 64"},
      {{"--bridge-allow", ""}, "--bridge-allow: empty list"},
      {{"--bridge-allow", " "}, "--bridge-allow: empty list"},
      {{"--bridge-allow", "10.0.0.1,"}, "--bridge-allow: empty item"}};
  for (const auto& [args, want] : cases) {
    std::vector<const char*> argv{"feedhandler"};
    argv.insert(argv.end(), args.begin(), args.end());
    CommandLine c;
    std::string error;
    const bool ok = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &c, &error);
    EXPECT_EQ(ok ? std::to_string(c.settings.receiveBatch) : error, want) << args[0] << " " << args[1];
  }
}

TEST(InputLines, DropsALineLongerThan64KiBAsItStreamsInAndKeepsTheRest) {
  InputLines in;
  Strings lines;
  int dropped = 0;
  auto feed = [&](std::string_view bytes) {
    in.Feed(bytes, [&](std::string_view l) { lines.emplace_back(l); }, [&] { ++dropped; });
  };
  const std::string fits(65536, 'a');
  feed("title\nsta");
  feed("te\n" + fits.substr(0, 1000));
  feed(fits.substr(1000) + "\n");  // exactly 64 KiB: kept
  for (int i = 0; i < 100; ++i) feed(fits);  // 6.4 MB without a line end: one notice, as soon as it is too long
  EXPECT_EQ(dropped, 1);
  feed("tail\ngrid\n" + fits + "b");  // one byte too many
  in.Finish([&](std::string_view l) { lines.emplace_back(l); });
  EXPECT_EQ(dropped, 2);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2].size(), 65536u);
  lines[2].clear();
  EXPECT_EQ(lines, (Strings{"title", "state", "", "grid"}));
}

TEST(CommandLine, ProgramWithoutWindowOrWithBadArgumentsReturnsTwo) {
  testing::TempDir dir;
  const std::string work = dir.path().string();
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{"--workdir", work}, 2}, {{"--help"}, 0}, {{"--bad"}, 2}, {{"--workdir", "/no/such/dir"}, 2}};
  for (const auto& [args, code] : cases) {
    std::vector<char*> argv{const_cast<char*>("feedhandler")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    EXPECT_EQ(RunFeedHandler(static_cast<int>(argv.size()) - 1, argv.data(), nullptr), code) << args[0];
  }
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

TEST(ActionLines, ParseTheSixCommandsAndRefuseTheRest) {
  const std::pair<const char*, const char*> good[] = {{"  click   BCAST DELTA \r", "0|BCAST DELTA|"},
                                                      {"set 1188=10.0.0.5", "1|1188|10.0.0.5"},
                                                      {"grid", "2||"}, {"state", "3||"}, {"title", "4||"},
                                                      {"stats", "5||"}};
  FrontEndAction a;
  std::string error;
  for (const auto& [line, shown] : good) {
    a = {};
    ASSERT_TRUE(ParseActionLine(line, &a, &error)) << line;
    EXPECT_EQ(Show(a), shown);
  }
  for (const char* line : {"click", "grid 3", "set 1188", "stats all", "launch"}) EXPECT_FALSE(ParseActionLine(line, &a, &error));
  EXPECT_EQ(error, "unknown command: launch");
}

// Clicks, the state and the message texts are run end to end by the headless
// tests; here what they do not reach.
TEST(ActionLines, RunActionReportsRefusedEditsAndPrintsTitleAndGrid) {
  testing::DialogRig rig;
  FeedHandlerDialog& d = rig.Open();
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  for (const FrontEndAction& a : std::initializer_list<FrontEndAction>{
           {Kind::kSet, "1191", "15000"}, {Kind::kSet, "1210", "x"}, {Kind::kClick, "nse-fo", {}},
           {Kind::kTitle, {}, {}}, {Kind::kGrid, {}, {}}})
    RunAction(d, a, out, err);
  auto contents = [](std::FILE* f) {
    std::string s(static_cast<std::size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    s.resize(std::fread(s.data(), 1, s.size(), f));
    std::fclose(f);
    return s;
  };
  EXPECT_EQ(contents(err), "feedhandler: set 1210 ignored: not an enabled, visible edit\n");
  EXPECT_EQ(contents(out).substr(0, 36), "FH NFO\nPacket\tNSE-CASH\tNSE-FO\n0\t0\t0\n");
  EXPECT_EQ(rig.options.bridgePort.load(), 15000);
}

}  // namespace
}  // namespace fh
