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
#include <vector>

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
  DatagramBatch<512, 64> batch;
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

// The first length bytes of the test datagram of size bytes: each datagram's
// bytes differ from the others'.
std::string Pattern(int size, int length) {
  std::string d(static_cast<std::size_t>(length), '\0');
  for (int i = 0; i < length; ++i) d[static_cast<std::size_t>(i)] = static_cast<char>((i * 7 + size) % 251);
  return d;
}

// Datagrams of those sizes, sent and then taken off the queue.
template <int kSlotBytes>
struct Taken {
  std::vector<std::string> datagrams;
  FeedMetrics::Segment figures;

  Taken(const std::vector<int>& sizes, int limit) {
    LoopbackPair pair(1 << 20);
    if (!pair.Ok()) return;
    for (const int size : sizes)
      if (!pair.Send(Pattern(size, size))) return;
    DatagramBatch<kSlotBytes, 64> batch;
    for (int got; (got = batch.Receive(pair.Fd(), limit)) > 0;) {
      for (int i = 0; i < got; ++i)
        datagrams.emplace_back(reinterpret_cast<const char*>(batch.Data(i)), static_cast<std::size_t>(batch.Length(i)));
      batch.CountInto(figures, got);
    }
  }
};

// Whole-datagram slots take every UDP datagram whole, the largest too; a
// datagram one byte longer than its slot is cut there and counted.
TEST_P(DatagramBatchLimits, TakesEveryDatagramWholeUpToItsSlotAndCountsTheCutOnes) {
  const std::vector<int> sizes = {1, 512, 513, 580, 65507};
  const Taken<kWholeUdp> whole(sizes, GetParam());
  ASSERT_EQ(whole.datagrams.size(), sizes.size());
  for (std::size_t i = 0; i < sizes.size(); ++i) EXPECT_EQ(whole.datagrams[i], Pattern(sizes[i], sizes[i])) << sizes[i];
  EXPECT_EQ(whole.figures.datagrams.Get(), 5u);
  EXPECT_EQ(whole.figures.bytes.Get(), 1u + 512 + 513 + 580 + 65507);
  EXPECT_EQ(whole.figures.truncated.Get(), 0u);

  const Taken<4096> cut({4096, 4097}, GetParam());
  ASSERT_EQ(cut.datagrams.size(), 2u);
  EXPECT_EQ(cut.datagrams[0], Pattern(4096, 4096));
  EXPECT_EQ(cut.datagrams[1], Pattern(4097, 4096));
  EXPECT_EQ(cut.figures.bytes.Get(), 8192u);
  EXPECT_EQ(cut.figures.truncated.Get(), 1u);
}

}  // namespace
}  // namespace fh
