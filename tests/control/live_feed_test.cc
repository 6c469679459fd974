// The dialog over the real feed pieces, in the private network namespace:
// Start joins real groups, End stops the receivers for good.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "control/feed_application.h"
#include "support/feed_state.h"
#include "feedstate/exg_seg.h"
#include "nse/bcast_header.h"

namespace fh {
namespace {

using namespace std::chrono_literals;

constexpr char kGroup[] = "239.77.1.5";
constexpr int kCmPort = 41610;
constexpr int kBsePort = 41449;

TEST(LiveFeed, AfterEndNoDatagramIsCountedBseKeepsRunningAndPktCountersShowTheCashCounts) {
  testing::TempDir work;
  testing::RecordingBoxes boxes;
  testing::RecordingExit exit;
  FeedApplication app{FilePlaces(work.path(), work.path()), boxes, exit};
  testing::WriteFile(work.File("BCASTOUT_TEXT_CASH.TXT"), std::string(kGroup) + " " + std::to_string(kCmPort));
  testing::WriteFile(work.File("BCASTOUT_TEXT_CASH_BSE.TXT"), "127.0.0.1 " + std::to_string(kBsePort));

  FeedHandlerDialog& d = app.Dialog();
  d.Initialise();
  d.SetCheck(ctl::kServer, true);  // checked without starting the bridge server
  d.Click(ctl::kNseCm);
  d.Click(ctl::kBse);
  d.Click(ctl::kStart);
  ASSERT_TRUE(d.ReceiverRunning(kSegNcm));
  EXPECT_TRUE(exit.Codes().empty());

  const PacketCounters& counters = app.Feed().NseFraming().Counters();
  // An empty capital-market datagram: its net id and a packet count of 0.
  std::array<std::uint8_t, nse::datagram::kPacketsAt> datagram{};
  datagram[nse::datagram::kNetId] = kNetIdCm;
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kCmPort);
  ::inet_pton(AF_INET, kGroup, &to.sin_addr);
  auto send = [&] { ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to); };
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (counters.Datagrams(kSegNcm) < 3 && std::chrono::steady_clock::now() < deadline) {
    send();
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_GE(counters.Datagrams(kSegNcm), 3u) << "the receiver never got its datagrams";

  d.Click(ctl::kEnd);
  EXPECT_FALSE(d.ReceiverRunning(kSegNcm));
  const std::uint32_t atEnd = counters.Datagrams(kSegNcm);
  for (int i = 0; i < 20; ++i) send();
  ::close(fd);
  std::this_thread::sleep_for(100ms);  // the receiver was joined; this only gives a stray one time to show
  EXPECT_EQ(counters.Datagrams(kSegNcm), atEnd);

  ASSERT_NE(app.Feed().BseReceiver(), nullptr);
  EXPECT_NE(app.Feed().BseReceiver()->CurrentState(), BseReceiverThread::State::kEnded);

  d.Click(ctl::kPktCounters);
  const CounterGrid& grid = app.Context().grid;
  EXPECT_EQ(grid.CellText(1, 2), std::to_string(atEnd));  // row "0", F&O column: CM datagrams
  EXPECT_EQ(grid.CellText(1, 1), "0");                    // no message reached the decoder
}

}  // namespace
}  // namespace fh
