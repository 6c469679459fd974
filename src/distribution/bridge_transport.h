// BridgeTransport: the one sending operation for forwarded packets and the two
// BCAST DELTA senders.
//
// Packets go to the current Bridge's TCP connection, to the UDP output and to
// the multicast output of the packet's segment, each when its option is on and
// only while a Bridge is connected. Delta lines go as local broadcasts to ports
// 2007 (all changes) and 2017 (subscribed changes, segment-prefixed).
//
// What a slow Bridge can cost the feed: on TCP, a receiver thread hands its
// packets to the connection's BridgeSendQueue (one non-blocking send when
// nothing is queued, made without any lock, else a copy into the queue) and
// never waits for the socket; the connection's own sender thread writes what
// is queued. A Bridge that falls more than kBridgeSendBufferBytes behind, or
// whose socket takes nothing for kBridgeSendTimeout, is dropped with the
// failure line; nothing more is written on that stream. UDP, multicast and
// broadcast sends stay on the calling thread and never wait either: a
// datagram socket whose buffer is full (a slow link, a busy interface) would
// hold its sender, so every datagram goes with MSG_DONTWAIT on a non-blocking
// socket, and one the kernel does not take at once is dropped and counted as
// a send failure of its output.
// A receiver's decoders write through a SendBatch, which holds a batch's
// writes and hands them over with the pieces below (RoutePacket, WriteTcp,
// WriteFrames, WriteDeltas): one append and one sendmmsg per socket, the bytes
// and each socket's order unchanged.
//
// Figures (FeedMetrics): forwarded packets and bytes per segment, frames and
// delta datagrams sent, send failures per output, the Bridge's state, drops
// and queue depth, and the tick-to-Bridge latency of every packet handed to
// the Bridge's queue (from its datagram's receive stamp, handed in with it).
//
// Thread safety: SendToBridges, SendDeltaAll and SendDeltaSubscribed are called
// from every receiver thread and from the Bridge client threads at once.
// The current connection's queue is looked up under one short lock and
// replaced (AttachBridge) and dropped under the same lock; packets are
// appended to the queue whole, so packets of different threads never
// interleave (BridgeSendQueue). A queue lives while any thread still appends
// to it: a sender StopSenders stopped may be joined by the receiver that
// lets go of it last. The output sockets
// are installed and closed by the user-interface thread under an exclusive lock
// while senders hold it shared, so a sender never writes into a closed
// descriptor. StopSenders and the destructor must not run on a sender thread.
#pragma once

#include <netinet/in.h>
#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "distribution/bridge_output.h"
#include "distribution/bridge_send_queue.h"
#include "feedstate/feed_context.h"
#include "net/socket_util.h"

namespace fh {

class BridgeTransport final : public BridgeOutput {
 public:
  static constexpr int kOversizeLength = 512;   // longer packets are counted
  static constexpr int kOversizeCounterCode = 6541;
  static constexpr int kFrameSize = 1024;       // UDP and multicast datagrams
  static constexpr int kDeltaScratchSize = 4096;
  static constexpr int kSubscribedDeltaPort = 2017;
  static constexpr int kAllDeltaPort = 2007;
  static constexpr int kMcastSlots = 5;         // one per ExgSeg 0..4
  static constexpr int kMaxDatagramsPerWrite = 64;  // WriteFrames, WriteDeltas

  // Where SendToBridges writes a packet, as its checks decided.
  struct PacketRoute {
    bool tcp = false;
    bool udp = false;
    bool mcast = false;
  };
  enum class DeltaPort { kAll, kSubscribed };  // 2007, 2017

  // sendTimeout: how long a Bridge's socket may take nothing while bytes wait
  // for it (BridgeSendQueue).
  explicit BridgeTransport(FeedContext& context, std::chrono::milliseconds sendTimeout = kBridgeSendTimeout);
  ~BridgeTransport() override;  // StopSenders()
  BridgeTransport(const BridgeTransport&) = delete;
  BridgeTransport& operator=(const BridgeTransport&) = delete;

  // BridgeOutput.
  bool BridgeConnected() const override;
  int SendToBridges(int segment, int length, const std::uint8_t* packet, std::int64_t receivedAtNs) override;
  int SendDeltaAll(int segment, const char* text) override;
  int SendDeltaSubscribed(int segment, char* text, std::size_t capacity) override;

  // The pieces of the three senders, for callers that hold writes back and
  // hand them over together (SendBatch); the senders above are these pieces
  // run for one packet or line.
  //
  // RoutePacket makes SendToBridges' checks, counts and log lines and
  // returns its value; route tells which sockets the packet is for.
  int RoutePacket(int segment, int length, const std::uint8_t* packet, PacketRoute& route);
  // Hands count packets, laid end to end in bytes, to the current Bridge in
  // one append. Nothing happens for count < 1.
  void WriteTcp(const std::uint8_t* bytes, const QueuedPacket* packets, int count);
  // Sends count (<= kMaxDatagramsPerWrite) frames of kFrameSize bytes, laid
  // end to end: frame i to the UDP output when outputs[i] has bit 1, to the
  // segment's multicast output when it has bit 2; one sendmmsg per socket.
  // Frames a socket does not take at once are counted as its send failures.
  void WriteFrames(int segment, const std::uint8_t* frames, const std::uint8_t* outputs, int count);
  // Broadcasts count (<= kMaxDatagramsPerWrite) delta lines, laid end to end
  // in text with the given lengths, on one port with one sendmmsg. Returns
  // how many did not go out whole.
  int WriteDeltas(DeltaPort port, const char* text, const std::uint16_t* lengths, int count);
  // The subscribed line of text: the segment number in front, as much of it
  // as fits copied back into text, the whole line (NUL-terminated) in line.
  // Returns the line's length.
  static std::size_t PrefixSubscribed(int segment, char* text, std::size_t capacity, char (&line)[kDeltaScratchSize]);

  // The bridge server, on every accept: the connection becomes the current
  // one and BridgeConnected becomes 1. An older connection gets no new
  // packets; what was queued for it is still written (within the send
  // timeout), and it stays open for its client thread.
  void AttachBridge(std::shared_ptr<BridgeConnection> connection);
  // Program end: every sender thread gives up at once, whatever is queued,
  // and is joined (within one poll slice, well under a second). Packets sent
  // afterwards find no Bridge.
  void StopSenders();
  // The descriptor number of the current connection, or -1.
  int CurrentBridgeSocket() const;
  // Packets longer than 512 bytes since the transport was made.
  std::uint32_t OversizePacketCount() const { return oversize_.load(std::memory_order_relaxed); }

  // Output sockets, installed and closed by the output check-box handlers.
  // The transport owns an installed socket until it is replaced or closed. A
  // destination of family AF_UNSPEC sends to the socket's connected peer.
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

  // A sender thread found its stream broken or stalled, or an append found no
  // room in its queue.
  void OnSendFailure(const BridgeConnection* connection, const BridgeSendQueue::Failure& failure);
  // Logs the failure line and "Bridge Dis-Connected" for the current
  // connection, shuts it down (its client thread ends too) and forgets it.
  void DropBridgeLocked(int segment, int sent, int length, bool slow);
  // Sends count datagrams of iov to out's destination without waiting;
  // returns how many did not go out whole (errno then tells the last
  // failure). Once the socket's buffer is full the rest are dropped.
  static int SendDatagrams(const Output& out, iovec* iov, int count);

  FeedContext& context_;
  const std::chrono::milliseconds sendTimeout_;
  std::atomic<int> connected_{0};
  std::atomic<std::uint32_t> oversize_{0};

  mutable std::mutex tcpMutex_;  // current_, streams_
  std::shared_ptr<BridgeSendQueue> current_;
  // The current stream and older ones still writing what was queued for them;
  // finished ones are let go at the next accept.
  std::list<std::shared_ptr<BridgeSendQueue>> streams_;

  mutable std::shared_mutex outputsMutex_;  // UDP, multicast and delta sockets
  Output udp_;
  Output mcast_[kMcastSlots];
  Output subscribedDelta_;
  Output allDelta_;
};

}  // namespace fh
