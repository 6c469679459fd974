// The receiver thread's socket and stop, on a local AF_UNIX datagram pair (no
// network is touched).
#include "net/receiver_socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <stop_token>
#include <thread>
#include <vector>

namespace fh {
namespace {

// Several threads stop the receiver at once (in odd rounds the receiver thread
// stops itself as well), and the destructor stops it once more: the thread is
// joined once, and each Stop from another thread returns only after the
// receiver thread has ended.
TEST(ReceiverSocket, StopsFromManyThreadsAtOnceJoinOnceAndEachWaitsForTheEnd) {
  constexpr int kStoppers = 4;
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair), 0);
    std::atomic<bool> go{false};
    std::atomic<bool> ended{false};
    std::atomic<int> sawTheEnd{0};
    {
      ReceiverSocket socket("NSE receiver", "233.1.2.5", 35610);
      socket.Start([&, round](const std::stop_token& stop) {
        if (socket.Publish(pair[0])) {
          char byte;
          // A shut-down socket returns 0 at once.
          while (!stop.stop_requested() && ::recv(pair[0], &byte, 1, 0) > 0) {
          }
          if (round % 2 == 1) socket.Stop();
          socket.Close();
        }
        ended = true;
      });
      std::vector<std::jthread> stoppers;
      for (int i = 0; i < kStoppers; ++i) {
        stoppers.emplace_back([&] {
          while (!go) std::this_thread::yield();
          socket.Stop();
          if (ended) ++sawTheEnd;
        });
      }
      go = true;
      stoppers.clear();
    }
    EXPECT_TRUE(ended);
    EXPECT_EQ(sawTheEnd, kStoppers);
    ::close(pair[1]);
  }
}

}  // namespace
}  // namespace fh
