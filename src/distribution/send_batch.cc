#include "distribution/send_batch.h"

#include <algorithm>
#include <cstring>

namespace fh {

bool SendBatch::Batching() const { return options_.receiveBatch.load(std::memory_order_relaxed) > 1; }

int SendBatch::SendToBridges(int segment, int length, const std::uint8_t* packet, std::int64_t receivedAtNs) {
  if (!Batching()) {
    Flush();
    return transport_.SendToBridges(segment, length, packet, receivedAtNs);
  }
  BridgeTransport::PacketRoute route;
  const int result = transport_.RoutePacket(segment, length, packet, route);
  const auto size = static_cast<std::size_t>(std::max(length, 0));
  if (route.tcp && size > sizeof packetBytes_) {
    FlushPackets();  // keeps the order: what is held goes first
    const QueuedPacket one{segment, length, receivedAtNs};
    transport_.WriteTcp(packet, &one, 1);
  } else if (route.tcp) {
    if (packetCount_ == kMaxPackets || packetUsed_ + size > sizeof packetBytes_) FlushPackets();
    std::memcpy(packetBytes_ + packetUsed_, packet, size);
    packets_[packetCount_++] = QueuedPacket{segment, length, receivedAtNs};
    packetUsed_ += size;
  }
  if (route.udp || route.mcast) {
    if (frameCount_ == kMaxFrames || (frameCount_ > 0 && segment != frameSegment_)) FlushFrames();
    frameSegment_ = segment;
    std::uint8_t* frame = frames_[frameCount_];
    const auto copied = std::min<std::size_t>(size, BridgeTransport::kFrameSize);
    std::memcpy(frame, packet, copied);
    std::memset(frame + copied, 0, BridgeTransport::kFrameSize - copied);
    frameOutputs_[frameCount_++] = static_cast<std::uint8_t>((route.udp ? 1 : 0) | (route.mcast ? 2 : 0));
  }
  return result;
}

int SendBatch::SendDeltaAll(int segment, const char* text) {
  if (!Batching()) {
    Flush();
    return transport_.SendDeltaAll(segment, text);
  }
  if (text == nullptr || text[0] == '\0' || (segment != 1 && segment != 2)) return 0;
  HoldLine(BridgeTransport::DeltaPort::kAll, all_, text, std::strlen(text));
  return 0;
}

int SendBatch::SendDeltaSubscribed(int segment, char* text, std::size_t capacity) {
  if (!Batching()) {
    Flush();
    return transport_.SendDeltaSubscribed(segment, text, capacity);
  }
  if (text == nullptr || capacity == 0 || text[0] == '\0') return 0;
  char line[BridgeTransport::kDeltaScratchSize];
  const std::size_t length = BridgeTransport::PrefixSubscribed(segment, text, capacity, line);
  HoldLine(BridgeTransport::DeltaPort::kSubscribed, subscribed_, line, length);
  return 0;
}

void SendBatch::HoldLine(BridgeTransport::DeltaPort port, Lines& lines, const char* text, std::size_t length) {
  if (length > sizeof lines.text) {  // never made by the decoders; sent alone
    FlushLines(port, lines);
    const auto length16 = static_cast<std::uint16_t>(std::min<std::size_t>(length, UINT16_MAX));
    transport_.WriteDeltas(port, text, &length16, 1);
    return;
  }
  if (lines.count == kMaxLines || lines.used + length > sizeof lines.text) FlushLines(port, lines);
  std::memcpy(lines.text + lines.used, text, length);
  lines.lengths[lines.count++] = static_cast<std::uint16_t>(length);
  lines.used += length;
}

void SendBatch::FlushPackets() {
  transport_.WriteTcp(packetBytes_, packets_, packetCount_);
  packetCount_ = 0;
  packetUsed_ = 0;
}

void SendBatch::FlushFrames() {
  if (frameCount_ > 0) transport_.WriteFrames(frameSegment_, frames_[0], frameOutputs_, frameCount_);
  frameCount_ = 0;
}

void SendBatch::FlushLines(BridgeTransport::DeltaPort port, Lines& lines) {
  if (lines.count > 0) transport_.WriteDeltas(port, lines.text, lines.lengths, lines.count);
  lines.count = 0;
  lines.used = 0;
}

void SendBatch::Flush() {
  // The Bridge's packets first: they are what its latency is measured on.
  FlushPackets();
  FlushFrames();
  FlushLines(BridgeTransport::DeltaPort::kAll, all_);
  FlushLines(BridgeTransport::DeltaPort::kSubscribed, subscribed_);
}

}  // namespace fh
