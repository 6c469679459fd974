// The feedhandler binary run headless, in the private network namespace: it
// opens the feed's sockets once Server and Start are clicked.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "support/child_process.h"
#include "support/test_dir.h"

namespace fh {
namespace {

using testing::ChildProcess;
using testing::ReadFile;
using testing::TempDir;
using namespace std::chrono_literals;

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

// --- A reader that stops reading standard output ---------------------------------

constexpr char kFloodGroup[] = "239.77.2.5";
constexpr int kFloodPort = 41710;
constexpr int kFloodDatagrams = 6000;

std::uintmax_t SizeOf(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// A feedhandler recording unknown datagrams on a capital-market receiver; its
// standard output is read up to the receiver's start line and then no more.
struct Flooded {
  TempDir work, drive;
  std::unique_ptr<ChildProcess> child;

  Flooded() {
    const std::string address = std::string(kFloodGroup) + " " + std::to_string(kFloodPort);
    testing::WriteFile(work.File("BCASTOUT_TEXT_CASH.TXT"), address);
    child = std::make_unique<ChildProcess>(
        Command(work, drive, {"--click", "Write BIN", "--click", "NSE-CM", "--click", "Server", "--click", "Start"}));
  }

  // Sends datagrams whose first byte is no net id, so the receiver logs one
  // line for each, at least kFloodDatagrams of them; paced by the recording,
  // which grows by one byte for each datagram before its line is logged.
  // False when the receiver stalled.
  bool Flood() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kFloodPort);
    ::inet_pton(AF_INET, kFloodGroup, &to.sin_addr);
    auto send = [&] { ::sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to); };
    // The start line comes before the receiver has joined the group.
    bool ok = WaitUntil([&] {
      send();
      std::this_thread::sleep_for(5ms);
      return Recorded() > 0;
    });
    for (std::uintmax_t sent = Recorded(); sent < kFloodDatagrams && ok;) {
      for (int i = 0; i < 100; ++i, ++sent) send();
      ok = WaitUntil([&] { return Recorded() >= sent; }, 5s);
    }
    ::close(fd);
    return ok;
  }
  std::uintmax_t Recorded() const { return SizeOf(work.File("BCASTOUT_BIN_Unknown.TXT")); }
};

TEST(HeadlessOutput, AReaderThatStopsReadingCostsLinesNotTheFeed) {
  Flooded f;
  ChildProcess& child = *f.child;
  ASSERT_TRUE(child.WaitForLine(std::string("NSE CM ") + kFloodGroup + "|" + std::to_string(kFloodPort)));
  ASSERT_TRUE(f.Flood()) << "the receiver stopped while standard output was full";

  // End joins the receiver, Save shows the dialog still answers.
  child.Write("click End\nclick Save\n");
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(f.drive.File("fhc.fhc")); }));

  // Reading again: the writer catches up and says how many lines it lost;
  // every line flooded in is shown or counted so.
  auto lost = [](const std::string& line) -> long {
    const auto at = line.find(" log lines not shown");
    return at != std::string::npos && at + 20 == line.size() ? std::stol(line.substr(0, at)) : 0;
  };
  ASSERT_TRUE(child.WaitForLineThat([&](const std::string& line) { return lost(line) > 0; }));
  int shown = 0;
  long notShown = 0;
  for (const std::string& line : child.OutLines()) {
    if (line == "no FO no CM segment Read from MCAST Socket x 120") ++shown;
    notShown += lost(line);
  }
  EXPECT_GT(shown, 0);
  EXPECT_EQ(static_cast<std::uintmax_t>(shown + notShown), f.Recorded());
  // Caught up, the next line logged is shown again.
  testing::WriteFile(f.work.File("BCASTOUT_TEXT_CASH.TXT"), std::string(kFloodGroup) + " 41711");
  child.Write("click Start\n");
  EXPECT_TRUE(child.WaitForLine(std::string("NSE CM ") + kFloodGroup + "|41711"));
  EXPECT_EQ(child.Terminate(SIGTERM), 0);
}

TEST(HeadlessOutput, SigtermEndsTheProgramPromptlyWhileNobodyReads) {
  Flooded f;
  ChildProcess& child = *f.child;
  ASSERT_TRUE(child.WaitForLine(std::string("NSE CM ") + kFloodGroup + "|" + std::to_string(kFloodPort)));
  ASSERT_TRUE(f.Flood());
  // The queued lines get a bounded time to go out, then the program ends.
  EXPECT_EQ(child.Terminate(SIGTERM, 5s), 0);
}

}  // namespace
}  // namespace fh
