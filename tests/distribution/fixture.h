// Distribution test helpers: packets that show interleaving, a walker over a
// received stream, socket pairs standing in for Bridge connections, and small
// socket readers and writers. The feed state, the recorders and WaitFor come
// from tests/support.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "distribution/bridge_transport.h"
#include "distribution/forwarded_packet.h"
#include "net/socket_util.h"
#include "support/feed_state.h"

namespace fh::testing {

using Lines = std::vector<std::string>;

// One forwarded packet: the header's length field at its place, the packet's
// sequence number in the log-time field, the body a pattern of the sender's
// id. length is more than the header's 46 bytes.
inline std::vector<std::uint8_t> BuildPacket(int length, std::uint8_t sender, std::uint32_t sequence) {
  std::vector<std::uint8_t> p(static_cast<std::size_t>(length));
  const auto length16 = static_cast<std::uint16_t>(length);
  std::memcpy(&p[forwarded::kPacketLength], &length16, 2);
  std::memcpy(&p[forwarded::kLogTime], &sequence, 4);
  for (int i = forwarded::kBodyAt; i < length; ++i) p[i] = static_cast<std::uint8_t>(sender + i);
  return p;
}

// Walks a stream of packets built by BuildPacket and returns the bytes of an
// unfinished last packet. A packet whose content is broken (interleaving) or
// that comes after a later one of its sender fails the test.
inline std::size_t WalkPackets(const std::vector<std::uint8_t>& stream) {
  std::array<std::int64_t, 256> lastSequence;
  lastSequence.fill(-1);
  std::size_t at = 0;
  while (at + forwarded::kHeaderSize <= stream.size()) {
    std::uint16_t length;
    std::uint32_t sequence;
    std::memcpy(&length, &stream[at + forwarded::kPacketLength], 2);
    std::memcpy(&sequence, &stream[at + forwarded::kLogTime], 4);
    if (at + length > stream.size()) break;  // the cut packet
    bool intact = length > forwarded::kBodyAt;
    const auto sender = static_cast<std::uint8_t>(intact ? stream[at + forwarded::kBodyAt] - forwarded::kBodyAt : 0);
    intact = intact && std::exchange(lastSequence[sender], sequence) < static_cast<std::int64_t>(sequence);
    for (int i = forwarded::kBodyAt; i < length && intact; ++i) intact = stream[at + i] == std::uint8_t(sender + i);
    EXPECT_TRUE(intact) << "the packet at byte " << at << " is broken or out of order";
    if (!intact) break;
    at += length;
  }
  return stream.size() - at;
}

// Reads whatever arrives on fd until it stays quiet for quiet, the peer ends,
// or max bytes have come (a sender thread writes the stream: wait for what is
// expected rather than for a short quiet). progress, when given, follows the
// count read so far. On a datagram socket a max of 1 reads one datagram.
inline std::vector<std::uint8_t> Drain(int fd, std::chrono::milliseconds quiet, std::size_t max = 64u << 20,
                                       std::atomic<std::size_t>* progress = nullptr) {
  std::vector<std::uint8_t> out;
  std::uint8_t buf[65536];
  for (pollfd p{fd, POLLIN, 0}; out.size() < max && ::poll(&p, 1, static_cast<int>(quiet.count())) > 0;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
    if (progress != nullptr) *progress = out.size();
  }
  return out;
}

// A connected pair of local stream sockets: the feed handler's end, shared as
// a BridgeConnection, and the Bridge's end.
struct SocketPair {
  std::shared_ptr<BridgeConnection> feed;
  SocketFd bridge;

  SocketPair() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    feed = std::make_shared<BridgeConnection>(fds[0]);
    bridge.Reset(fds[1]);
  }
};

// The state of one test and its transport; Send hands the transport a whole packet.
struct TransportRig {
  FeedState state;
  BridgeTransport transport{state.context};
  int Send(int segment, const std::vector<std::uint8_t>& p) {
    return transport.SendToBridges(segment, static_cast<int>(p.size()), p.data(), 0);
  }
};

inline bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace fh::testing
