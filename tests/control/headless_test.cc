// The feedhandler binary run headless, in the private network namespace: it
// opens the feed's sockets once Server and Start are clicked.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>

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

TEST(Headless, RunsActionsThenStandardInputShowsBoxesOnStandardErrorAndEndsOnlyOnASignal) {
  TempDir work, drive;
  ChildProcess child(Command(work, drive, {"--click", "NSE-CM", "--click", "Server", "--click", "Save"}));
  ASSERT_TRUE(child.Started());
  child.Write("title\n");
  ASSERT_TRUE(child.WaitForLine("FH NCM"));
  EXPECT_EQ(ReadFile(work.File("FH_Config_NCM.TXT")), "127.0.0.1 14002 127.0.0.1 14002 29002");
  for (const std::string& file : {drive.File("fhc.fhc"), work.File("BPACK_NCM.TXT"), work.File("BPACK_Counter_NCM.TXT")})
    EXPECT_TRUE(std::filesystem::exists(file)) << file;

  testing::WriteFile(work.File("BCASTOUT_TEXT_CASH.TXT"), "239.7.7.7 36000");
  child.Write("click About\nclick Start\nstate\n");
  ASSERT_TRUE(child.WaitForErrLine("FeedHandler, NSE and BSE broadcast feed handler"));
  ASSERT_TRUE(child.WaitForLine("NSE CM 239.7.7.7|36000"));
  ASSERT_TRUE(child.WaitForLine("1020\tStart\t0\t0\t1\t"));
  const std::vector<std::string> stateHead{"id\tcaption\tchecked\tenabled\tvisible\ttext", "0\tFH NCM\t0\t1\t1\t",
                                           "1020\tStart\t0\t0\t1\t"};
  const auto& out = child.OutLines();
  EXPECT_NE(std::search(out.begin(), out.end(), stateHead.begin(), stateHead.end()), out.end());
  child.Write("click End\nstate\nclick Quit\n");
  ASSERT_TRUE(child.WaitForLine("1021\tEnd\t0\t0\t1\t"));
  ASSERT_TRUE(child.WaitForErrLine(
      "feedhandler: click on Quit ignored: the control is disabled, hidden or not clickable"));
  child.CloseInput();  // the end of input does not end the program
  EXPECT_FALSE(child.Wait(std::chrono::milliseconds(300)).has_value());
  EXPECT_EQ(child.Terminate(SIGTERM), 0);
}

TEST(Headless, AnUnknownControlOrLoadWithoutSaveEndsBeforeTheLaterActions) {
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {  // actions, exit code, last error line
      {{"--click", "Save", "--click", "No Such Box"}, 2, "feedhandler: unknown control: No Such Box"},
      {{"--click", "Load", "--click", "Save"}, 0, "Cant open file :fhc"},
      {{"--bridge-allow", "", "--click", "Save"}, 2, "feedhandler: --bridge-allow: empty list"}};
  for (const auto& [actions, code, lastError] : cases) {
    TempDir work, drive;
    ChildProcess child(Command(work, drive, actions));
    EXPECT_EQ(child.Wait(), code);
    EXPECT_EQ(child.ErrLines().empty() ? "" : child.ErrLines().back(), lastError);
    EXPECT_FALSE(std::filesystem::exists(drive.File("fhc.fhc")));
  }
}

TEST(Headless, SaysAtOnceWhenTheBridgeServerCannotListenAndDropsAnOverlongInputLine) {
  TempDir work, drive;
  ChildProcess child(Command(work, drive, {"--bridge-listen", "10.99.0.1", "--click", "NSE-CM"}));
  EXPECT_TRUE(child.WaitForErrLine(
      "feedhandler: --bridge-listen 10.99.0.1: the Bridge server cannot listen there: Cannot assign requested address"));
  child.Write("click NSE-FO" + std::string(100'000, ' ') + "\ntitle\n");
  EXPECT_TRUE(child.WaitForErrLine("feedhandler: input line longer than 65536 bytes dropped"));
  EXPECT_TRUE(child.WaitForLine("FH NCM"));  // the line after it runs; the dropped one did not
  EXPECT_EQ(child.ErrLines().size(), 2u);
  EXPECT_EQ(child.Terminate(SIGTERM), 0);
}

// --- A reader that stops reading standard output ---------------------------------

constexpr char kFloodGroup[] = "239.77.2.5";
constexpr int kFloodPort = 41710;
constexpr int kFloodDatagrams = 6000;

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
  bool Flood() const {
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
  std::uintmax_t Recorded() const {
    std::error_code ec;
    const auto size = std::filesystem::file_size(work.File("BCASTOUT_BIN_Unknown.TXT"), ec);
    return ec ? 0 : size;
  }
  bool WaitForStart() const {
    return child->WaitForLine(std::string("NSE CM ") + kFloodGroup + "|" + std::to_string(kFloodPort));
  }
};

TEST(HeadlessOutput, AReaderThatStopsReadingCostsLinesNotTheFeed) {
  Flooded f;
  ChildProcess& child = *f.child;
  ASSERT_TRUE(f.WaitForStart());
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
  ASSERT_TRUE(f.WaitForStart());
  ASSERT_TRUE(f.Flood());
  // The queued lines get a bounded time to go out, then the program ends.
  EXPECT_EQ(f.child->Terminate(SIGTERM, 5s), 0);
}

}  // namespace
}  // namespace fh
