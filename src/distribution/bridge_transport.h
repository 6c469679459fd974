// BridgeTransport: the one sending operation for forwarded packets and the two
// BCAST DELTA senders.
//
// Packets go to the current Bridge's TCP connection, to the UDP output and to
// the multicast output of the packet's segment, each when its option is on and
// only while a Bridge is connected. Delta lines go as local broadcasts to ports
// 2007 (all changes) and 2017 (subscribed changes, segment-prefixed).
//
// Thread safety: SendToBridges, SendDeltaAll and SendDeltaSubscribed are called
// from every receiver thread and from the Bridge client threads at once.
// The TCP stream is written under one lock, a packet at a time, so packets of
// different threads never interleave; the current connection is replaced
// (AttachBridge) and dropped under the same lock. The output sockets are
// installed and closed by the user-interface thread under an exclusive lock
// while senders hold it shared, so a sender never writes into a closed
// descriptor.
//
// A Bridge that stops reading cannot stall the feed: a TCP send that cannot
// finish within kBridgeSendTimeout drops the connection through the
// failed-send path, and nothing more is written on that stream.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "distribution/bridge_output.h"
#include "distribution/socket_util.h"
#include "feedstate/feed_context.h"

namespace fh {

// How long one packet may wait for a Bridge that does not read.
inline constexpr std::chrono::milliseconds kBridgeSendTimeout{200};

class BridgeTransport final : public BridgeOutput {
 public:
  static constexpr int kOversizeLength = 512;   // longer packets are counted
  static constexpr int kOversizeCounterCode = 6541;
  static constexpr int kFrameSize = 1024;       // UDP and multicast datagrams
  static constexpr int kDeltaScratchSize = 4096;
  static constexpr int kSubscribedDeltaPort = 2017;
  static constexpr int kAllDeltaPort = 2007;
  static constexpr int kMcastSlots = 5;         // one per ExgSeg 0..4

  explicit BridgeTransport(FeedContext& context);
  ~BridgeTransport() override;
  BridgeTransport(const BridgeTransport&) = delete;
  BridgeTransport& operator=(const BridgeTransport&) = delete;

  // BridgeOutput.
  bool BridgeConnected() const override;
  int SendToBridges(int segment, int length, const std::uint8_t* packet) override;
  int SendDeltaAll(int segment, const char* text) override;
  int SendDeltaSubscribed(int segment, char* text, std::size_t capacity) override;

  // The bridge server, on every accept: the connection becomes the current
  // one (an older one is no longer written to) and BridgeConnected becomes 1.
  void AttachBridge(std::shared_ptr<BridgeConnection> connection);
  // The value of BridgeConnected: 1 after an accept, 0 after a failed send.
  int BridgeConnectedFlag() const { return connected_.load(std::memory_order_acquire); }
  // The descriptor number of the current connection, or -1.
  int CurrentBridgeSocket() const;
  // Packets longer than 512 bytes since the transport was made.
  std::uint32_t OversizePacketCount() const { return oversize_.load(std::memory_order_relaxed); }

  // Output sockets, installed and closed by the output check-box handlers.
  // The transport owns an installed socket until it is replaced or closed.
  void SetUdpOutput(SocketFd socket, const sockaddr_in& destination);
  void CloseUdpOutput();
  // segment 0..4; other values are ignored.
  void SetMcastOutput(int segment, SocketFd socket, const sockaddr_in& destination);
  void CloseMcastOutput(int segment);
  void SetDeltaSockets(SocketFd subscribed, SocketFd all);
  void CloseDeltaSockets();

  bool HasUdpOutput() const;
  bool HasMcastOutput(int segment) const;

 private:
  struct Output {
    SocketFd socket;
    sockaddr_in destination{};
  };

  // Writes the whole packet on the current connection or drops the
  // connection. Returns false when there was no connection any more.
  bool SendTcp(const char* segText, const std::uint8_t* packet, int length);
  void DropBridgeLocked();
  int SendBroadcast(const Output& out, const char* text, std::size_t length);

  FeedContext& context_;
  std::atomic<int> connected_{0};
  std::atomic<std::uint32_t> oversize_{0};

  mutable std::mutex tcpMutex_;  // the TCP stream and the current connection
  std::shared_ptr<BridgeConnection> current_;

  mutable std::shared_mutex outputsMutex_;  // UDP, multicast and delta sockets
  Output udp_;
  Output mcast_[kMcastSlots];
  Output subscribedDelta_;
  Output allDelta_;
};

}  // namespace fh
