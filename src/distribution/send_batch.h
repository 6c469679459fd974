// SendBatch: what one segment's decoder sends while its receiver works
// through a batch of datagrams, held back and handed to the transport
// together when the batch ends (Flush): the Bridge's packets in one append to
// its send queue, the UDP and multicast frames and each port's delta lines
// with one sendmmsg per socket.
//
// Guarantees: every packet, frame and delta datagram carries the bytes the
// transport would send for it alone, and each socket sees them in the order
// the decoder produced them; only the number of system calls changes. A
// packet's checks, counts and log lines (Bridge connected, CTCL mode, the
// oversize count) happen when the decoder sends it; only the writes wait. A
// held-back write waits at most until the batch ends, or less when a buffer
// fills first. With batching off (options.receiveBatch below 2) every call
// goes straight to the transport.
//
// Thread safety: one SendBatch serves one segment and is used by one thread
// at a time (the thread holding the segment's framing lock, or the BSE
// receiver thread), Flush included. BridgeConnected may be called from any
// thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "distribution/bridge_output.h"
#include "distribution/bridge_transport.h"
#include "feedstate/options.h"

namespace fh {

class SendBatch final : public BridgeOutput {
 public:
  static constexpr int kPacketBytes = 64 * 1024;
  static constexpr int kMaxPackets = 256;
  static constexpr int kMaxFrames = 32;
  static constexpr int kMaxLines = BridgeTransport::kMaxDatagramsPerWrite;
  static constexpr int kLineBytes = 32 * 1024;

  SendBatch(BridgeTransport& transport, const FeedHandlerOptions& options)
      : transport_(transport), options_(options) {}
  SendBatch(const SendBatch&) = delete;
  SendBatch& operator=(const SendBatch&) = delete;

  bool BridgeConnected() const override { return transport_.BridgeConnected(); }
  int SendToBridges(int segment, int length, const std::uint8_t* packet, std::int64_t receivedAtNs) override;
  int SendDeltaAll(int segment, const char* text) override;
  // Returns 0: whether the line went out whole is known only at Flush.
  int SendDeltaSubscribed(int segment, char* text, std::size_t capacity) override;
  // Writes everything held back.
  void Flush() override;

 private:
  struct Lines {
    char text[kLineBytes];
    std::uint16_t lengths[kMaxLines];
    int count = 0;
    std::size_t used = 0;
  };

  bool Batching() const;
  void FlushPackets();
  void FlushFrames();
  void FlushLines(BridgeTransport::DeltaPort port, Lines& lines);
  void HoldLine(BridgeTransport::DeltaPort port, Lines& lines, const char* text, std::size_t length);

  BridgeTransport& transport_;
  const FeedHandlerOptions& options_;

  std::uint8_t packetBytes_[kPacketBytes];
  QueuedPacket packets_[kMaxPackets];
  int packetCount_ = 0;
  std::size_t packetUsed_ = 0;

  int frameSegment_ = 0;
  std::uint8_t frames_[kMaxFrames][BridgeTransport::kFrameSize];
  std::uint8_t frameOutputs_[kMaxFrames];
  int frameCount_ = 0;

  Lines all_;
  Lines subscribed_;
};

}  // namespace fh
