// DatagramBatch on a UDP socket pair of the loopback interface. Runs only
// inside the private network namespace of scripts/netns-run.
#include "net/datagram_batch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "feedstate/feed_metrics.h"
#include "net/socket_util.h"

namespace fh {
namespace {

// A non-blocking receiving socket on 127.0.0.1 that asked for receive
// information, and a socket that sends to it.
class LoopbackPair {
 public:
  explicit LoopbackPair(int receiveBuffer) {
    rx_.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    tx_.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ::setsockopt(rx_.Fd(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    AskForReceiveInfo(rx_.Fd());
    MakeAddress("127.0.0.1", 0, &to_);
    socklen_t len = sizeof to_;
    ok_ = ::bind(rx_.Fd(), reinterpret_cast<const sockaddr*>(&to_), sizeof to_) == 0 &&
          ::getsockname(rx_.Fd(), reinterpret_cast<sockaddr*>(&to_), &len) == 0;
  }
  bool Ok() const { return ok_; }
  int Fd() const { return rx_.Fd(); }
  bool Send(const std::string& datagram) const {
    return ::sendto(tx_.Fd(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to_),
                    sizeof to_) == static_cast<ssize_t>(datagram.size());
  }

 private:
  SocketFd rx_, tx_;
  sockaddr_in to_{};
  bool ok_ = false;
};

class DatagramBatchLimits : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(Limits, DatagramBatchLimits, ::testing::Values(64, 1));

// Two bursts overflow a small receive buffer, each drained before the next.
// A datagram carries the kernel's running drop count as it was when the
// datagram was queued, so the datagrams of the second burst carry the first
// burst's drops, and one more datagram after each burst brings that burst's.
// The figures must add only what is new since the last receive: every
// datagram sent is counted once, received or dropped.
TEST_P(DatagramBatchLimits, KernelDropsAreAddedOnceAcrossBatchesAndBursts) {
  LoopbackPair pair(4096);
  ASSERT_TRUE(pair.Ok());
  DatagramBatch<512, 64, false> batch;
  FeedMetrics::Segment figures;
  const auto drain = [&] {
    for (int got; (got = batch.Receive(pair.Fd(), GetParam())) > 0;) batch.CountInto(figures, got);
    return errno;
  };
  std::uint64_t sent = 0;
  for (int burst = 1; burst <= 2; ++burst) {
    SCOPED_TRACE(burst);
    const std::uint64_t dropsBefore = figures.kernelDrops.Get();
    for (int i = 0; i < 300; ++i) sent += pair.Send(std::string(100, 'd')) ? 1 : 0;
    ASSERT_EQ(drain(), EAGAIN);
    ASSERT_TRUE(pair.Send(std::string(100, 'm')));
    ++sent;
    ASSERT_EQ(drain(), EAGAIN);
    EXPECT_GT(figures.kernelDrops.Get(), dropsBefore);
    EXPECT_EQ(figures.datagrams.Get() + figures.kernelDrops.Get(), sent);
    EXPECT_EQ(figures.bytes.Get(), figures.datagrams.Get() * 100);
  }
}

}  // namespace
}  // namespace fh
