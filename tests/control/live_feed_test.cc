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

// An empty capital-market datagram: its net id and a packet count of 0.
std::array<std::uint8_t, nse::datagram::kPacketsAt> EmptyCmDatagram() {
  std::array<std::uint8_t, nse::datagram::kPacketsAt> d{};
  d[nse::datagram::kNetId] = kNetIdCm;
  return d;
}

class Sender {
 public:
  Sender() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {}
  ~Sender() { ::close(fd_); }
  void SendTo(const char* address, int port, const void* data, std::size_t len) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address, &to.sin_addr);
    ::sendto(fd_, data, len, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }

 private:
  int fd_;
};

struct LiveRig {
  testing::TempDir work;
  testing::RecordingBoxes boxes;
  testing::RecordingExit exit;
  FeedApplication app{FilePlaces(work.path(), work.path()), boxes, exit};
};

TEST(LiveFeed, AfterEndNoDatagramIsCountedBseKeepsRunningAndPktCountersShowTheCashCounts) {
  LiveRig rig;
  char text[64];
  std::snprintf(text, sizeof text, "%s %d", kGroup, kCmPort);
  testing::WriteFile(rig.work.File("BCASTOUT_TEXT_CASH.TXT"), text);
  std::snprintf(text, sizeof text, "127.0.0.1 %d", kBsePort);
  testing::WriteFile(rig.work.File("BCASTOUT_TEXT_CASH_BSE.TXT"), text);

  FeedHandlerDialog& d = rig.app.Dialog();
  d.Initialise();
  d.SetCheck(ctl::kServer, true);  // checked without starting the bridge server
  d.Click(ctl::kNseCm);
  d.Click(ctl::kBse);
  d.Click(ctl::kStart);
  ASSERT_TRUE(d.ReceiverRunning(kSegNcm));
  EXPECT_TRUE(rig.exit.Codes().empty());

  const PacketCounters& counters = rig.app.Feed().NseFraming().Counters();
  const auto datagram = EmptyCmDatagram();
  Sender sender;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (counters.Datagrams(kSegNcm) < 3 && std::chrono::steady_clock::now() < deadline) {
    sender.SendTo(kGroup, kCmPort, datagram.data(), datagram.size());
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_GE(counters.Datagrams(kSegNcm), 3u) << "the receiver never got its datagrams";

  d.Click(ctl::kEnd);
  EXPECT_FALSE(d.ReceiverRunning(kSegNcm));
  const std::uint32_t atEnd = counters.Datagrams(kSegNcm);
  for (int i = 0; i < 20; ++i) sender.SendTo(kGroup, kCmPort, datagram.data(), datagram.size());
  std::this_thread::sleep_for(100ms);  // the receiver was joined; this only gives a stray one time to show
  EXPECT_EQ(counters.Datagrams(kSegNcm), atEnd);

  ASSERT_NE(rig.app.Feed().BseReceiver(), nullptr);
  EXPECT_NE(rig.app.Feed().BseReceiver()->CurrentState(), BseReceiverThread::State::kEnded);

  d.Click(ctl::kPktCounters);
  const CounterGrid& grid = rig.app.Context().grid;
  EXPECT_EQ(grid.CellText(1, 2), std::to_string(atEnd));  // row "0", F&O column: CM datagrams
  EXPECT_EQ(grid.CellText(1, 1), "0");                    // no message reached the decoder
}

}  // namespace
}  // namespace fh
