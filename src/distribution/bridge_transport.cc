#include "distribution/bridge_transport.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "feedstate/platform.h"

namespace fh {
namespace {

// Datagram sends never wait, whatever mode the socket is in.
constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;
constexpr char kShortSendText[] = "sendto() sent incorrect number of bytes";

const char* SegmentText(int segment) {
  switch (segment) {
    case 1: return "CM";
    case 2: return "FO";
    case 4: return "BC";
    default: return "XX";
  }
}

sockaddr_in BroadcastAddress(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  return a;
}

}  // namespace

BridgeTransport::BridgeTransport(FeedContext& context, std::chrono::milliseconds sendTimeout)
    : context_(context), sendTimeout_(sendTimeout) {}

BridgeTransport::~BridgeTransport() { StopSenders(); }

void BridgeTransport::StopSenders() {
  std::list<std::shared_ptr<BridgeSendQueue>> streams;
  {
    std::lock_guard lock(tcpMutex_);
    current_ = nullptr;
    connected_.store(0, std::memory_order_release);
    context_.metrics.bridgeConnected.Set(0);
    streams.swap(streams_);
    for (auto& s : streams) s->Stop();
  }
  // Joined without the lock: a sender may be waiting for it to report a
  // failure. One a receiver is still appending to is joined when that
  // receiver lets go of it.
  streams.clear();
}

bool BridgeTransport::BridgeConnected() const { return connected_.load(std::memory_order_acquire) == 1; }

int BridgeTransport::CurrentBridgeSocket() const {
  std::lock_guard lock(tcpMutex_);
  return current_ != nullptr ? current_->Connection()->Fd() : -1;
}

void BridgeTransport::AttachBridge(std::shared_ptr<BridgeConnection> connection) {
  std::list<std::shared_ptr<BridgeSendQueue>> finished;
  {
    std::lock_guard lock(tcpMutex_);
    if (current_ != nullptr) current_->Close();
    current_ = nullptr;
    for (auto it = streams_.begin(); it != streams_.end();) {
      if ((*it)->Finished()) {
        finished.splice(finished.end(), streams_, it++);
      } else {
        ++it;
      }
    }
    if (connection) {
      const BridgeConnection* raw = connection.get();
      streams_.push_back(std::make_shared<BridgeSendQueue>(
          std::move(connection),
          [this, raw](const BridgeSendQueue::Failure& failure) { OnSendFailure(raw, failure); },
          kBridgeSendBufferBytes, sendTimeout_));
      current_ = streams_.back();
    }
    connected_.store(current_ != nullptr ? 1 : 0, std::memory_order_release);
    context_.metrics.bridgeConnected.Set(current_ != nullptr ? 1 : 0);
    context_.metrics.bridgeQueueBytes.Set(0);
  }
  finished.clear();  // their threads have ended: the joins do not wait
}

void BridgeTransport::OnSendFailure(const BridgeConnection* connection, const BridgeSendQueue::Failure& failure) {
  std::lock_guard lock(tcpMutex_);
  if (current_ != nullptr && current_->Connection().get() == connection) {
    DropBridgeLocked(failure.segment, failure.sent, failure.length, failure.slow);
    return;
  }
  // An older connection, replaced while bytes were still queued for it: its
  // stream ends here, but its client thread may still read requests.
  for (const auto& s : streams_) {
    if (s->Connection().get() == connection) s->Connection()->ShutdownSending();
  }
}

void BridgeTransport::DropBridgeLocked(int segment, int sent, int length, bool slow) {
  const char* segText = SegmentText(segment);
  context_.log.LogFormat("%s Status %d | Sent %d of %d | Send Failed to Bridge from FH\n", segText,
                         connected_.load(std::memory_order_relaxed), sent, length);
  FeedMetrics& m = context_.metrics;
  m.sendFailures[FeedMetrics::kOutTcp].Add();
  m.bridgeDrops[slow ? FeedMetrics::kDropSlow : FeedMetrics::kDropError].Add();
  // The client thread of the connection may still be reading it: shut it down
  // so that thread ends too; the last owner closes the descriptor.
  current_->Connection()->Shutdown();
  current_->Stop();
  current_ = nullptr;
  connected_.store(0, std::memory_order_release);
  m.bridgeConnected.Set(0);
  m.bridgeQueueBytes.Set(0);
  context_.log.LogFormat("%s Bridge Dis-Connected\n", segText);
}

int BridgeTransport::RoutePacket(int segment, int length, const std::uint8_t* packet, PacketRoute& route) {
  route = PacketRoute{};
  if (connected_.load(std::memory_order_acquire) != 1) return 0;
  const FeedHandlerOptions& o = context_.options;
  if (o.ctcl.load(std::memory_order_relaxed) != 1 || o.feedHandlerRadio.load(std::memory_order_relaxed) != 0 ||
      length < 1 || packet == nullptr) {
    return 1;
  }
  if (length > kOversizeLength) {
    const std::uint32_t count = oversize_.fetch_add(1, std::memory_order_relaxed) + 1;
    if (o.pktCounters.load(std::memory_order_relaxed) == 1) {
      context_.grid.SetCounterCell(kOversizeCounterCode, count, CounterGrid::kCashColumn);
    }
  }
  if (connected_.load(std::memory_order_acquire) != 1) {
    context_.log.LogFormat("%s Bridge Dis-Connected\n", SegmentText(segment));
    return 1;
  }
  FeedMetrics::Segment& m = context_.metrics.Of(segment);
  m.forwardedPackets.Add();
  m.forwardedBytes.Add(static_cast<std::uint64_t>(length));
  route.tcp = o.sendTcp.load(std::memory_order_relaxed) == 1;
  route.udp = o.sendUdp.load(std::memory_order_relaxed) == 1;
  route.mcast = o.sendMcast.load(std::memory_order_relaxed) == 1;
  return 1;
}

int BridgeTransport::SendToBridges(int segment, int length, const std::uint8_t* packet, std::int64_t receivedAtNs) {
  PacketRoute route;
  const int result = RoutePacket(segment, length, packet, route);
  if (route.tcp) {
    const QueuedPacket one{segment, length, receivedAtNs};
    WriteTcp(packet, &one, 1);
  }
  if (route.udp || route.mcast) {
    std::uint8_t frame[kFrameSize];
    const int copied = std::min(length, kFrameSize);
    std::memcpy(frame, packet, static_cast<std::size_t>(copied));
    std::memset(frame + copied, 0, static_cast<std::size_t>(kFrameSize - copied));
    const std::uint8_t outputs = static_cast<std::uint8_t>((route.udp ? 1 : 0) | (route.mcast ? 2 : 0));
    WriteFrames(segment, frame, &outputs, 1);
  }
  return result;
}

void BridgeTransport::WriteTcp(const std::uint8_t* bytes, const QueuedPacket* packets, int count) {
  if (count < 1) return;
  // Appended without the transport's lock: the queue keeps the packets of
  // different threads apart, and its send is made without any lock. A queue
  // replaced meanwhile by a new Bridge's takes no more; the packets then go
  // to the new one.
  std::shared_ptr<BridgeSendQueue> queue;
  BridgeSendQueue::Appended done;
  auto result = BridgeSendQueue::AppendResult::kClosed;
  for (int attempt = 0; attempt < 2 && result == BridgeSendQueue::AppendResult::kClosed; ++attempt) {
    {
      std::lock_guard lock(tcpMutex_);
      if (current_ == nullptr || connected_.load(std::memory_order_relaxed) != 1) {
        // Dropped since the packets were routed: they are lost with it.
        context_.log.LogFormat("%s Bridge Dis-Connected\n", SegmentText(packets[0].segment));
        return;
      }
      if (current_ == queue) break;  // it failed and is about to report it
      queue = current_;
    }
    result = queue->Append(bytes, packets, count, &done);
  }
  FeedMetrics& m = context_.metrics;
  switch (result) {
    case BridgeSendQueue::AppendResult::kQueued:
      m.bridgeQueueBytes.Set(static_cast<std::int64_t>(done.queued));
      m.bridgeQueueHighWater.Raise(static_cast<std::int64_t>(done.queued));
      break;
    case BridgeSendQueue::AppendResult::kOverflow:
      // Too far behind: the packet that found no room is not sent at all;
      // the stream may end in the middle of one taken before, and nothing
      // follows it.
      OnSendFailure(queue->Connection().get(),
                    BridgeSendQueue::Failure{packets[done.taken].segment, -1, packets[done.taken].length, true});
      break;
    case BridgeSendQueue::AppendResult::kClosed:
      // Its sender has just failed and is about to report it: the packets
      // are lost with the connection.
      break;
  }
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t nowNs = std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
  for (int i = 0; i < done.taken; ++i) {
    if (packets[i].receivedAtNs != 0) m.tickToBridge.Observe(nowNs - packets[i].receivedAtNs);
  }
}

int BridgeTransport::SendDatagrams(const Output& out, iovec* iov, int count) {
  if (!out.socket.Valid()) {
    errno = EBADF;
    return count;
  }
  mmsghdr messages[kMaxDatagramsPerWrite];
  count = std::min(count, kMaxDatagramsPerWrite);
  const bool connected = out.destination.sin_family == AF_UNSPEC;  // to the socket's peer
  for (int i = 0; i < count; ++i) {
    messages[i] = {};
    messages[i].msg_hdr.msg_name = connected ? nullptr : const_cast<sockaddr_in*>(&out.destination);
    messages[i].msg_hdr.msg_namelen = connected ? 0 : sizeof out.destination;
    messages[i].msg_hdr.msg_iov = &iov[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  int failed = 0;
  for (int at = 0; at < count;) {
    const int n = ::sendmmsg(out.socket.Fd(), messages + at, static_cast<unsigned>(count - at), kSendFlags);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        failed += count - at;  // the buffer is full: the rest are dropped, not waited for
        break;
      }
      ++failed;  // this datagram is lost; the next ones are still tried
      ++at;
      continue;
    }
    // A partial count means the next datagram found the buffer full or
    // failed: the next call tells which.
    for (int i = at; i < at + n; ++i) {
      if (messages[i].msg_len != iov[i].iov_len) ++failed;
    }
    at += n;
  }
  return failed;
}

void BridgeTransport::WriteFrames(int segment, const std::uint8_t* frames, const std::uint8_t* outputs, int count) {
  count = std::min(count, kMaxDatagramsPerWrite);
  iovec udp[kMaxDatagramsPerWrite];
  iovec mcast[kMaxDatagramsPerWrite];
  int udpCount = 0;
  int mcastCount = 0;
  for (int i = 0; i < count; ++i) {
    const iovec frame{const_cast<std::uint8_t*>(frames + static_cast<std::ptrdiff_t>(i) * kFrameSize), kFrameSize};
    if ((outputs[i] & 1) != 0) udp[udpCount++] = frame;
    if ((outputs[i] & 2) != 0) mcast[mcastCount++] = frame;
  }
  FeedMetrics& m = context_.metrics;
  std::shared_lock lock(outputsMutex_);
  if (udpCount > 0) {
    int failed;
    if (udp_.socket.Valid() && udp_.destination.sin_addr.s_addr == htonl(INADDR_NONE)) {
      errno = EDESTADDRREQ;  // the box was clicked before any Bridge connected
      failed = udpCount;
    } else {
      failed = SendDatagrams(udp_, udp, udpCount);
    }
    for (int i = 0; i < failed; ++i) PrintError(kShortSendText);
    m.udpFrames.Add(static_cast<std::uint64_t>(udpCount - failed));
    m.sendFailures[FeedMetrics::kOutUdp].Add(static_cast<std::uint64_t>(failed));
  }
  if (mcastCount > 0 && segment >= 0 && segment < kMcastSlots && mcast_[segment].socket.Valid()) {
    const int failed = SendDatagrams(mcast_[segment], mcast, mcastCount);
    m.mcastFrames.Add(static_cast<std::uint64_t>(mcastCount - failed));
    m.sendFailures[FeedMetrics::kOutMcast].Add(static_cast<std::uint64_t>(failed));
  }
}

int BridgeTransport::WriteDeltas(DeltaPort port, const char* text, const std::uint16_t* lengths, int count) {
  count = std::min(count, kMaxDatagramsPerWrite);
  iovec lines[kMaxDatagramsPerWrite];
  std::size_t at = 0;
  for (int i = 0; i < count; ++i) {
    lines[i] = iovec{const_cast<char*>(text + at), lengths[i]};
    at += lengths[i];
  }
  int failed;
  {
    std::shared_lock lock(outputsMutex_);
    failed = SendDatagrams(port == DeltaPort::kAll ? allDelta_ : subscribedDelta_, lines, count);
  }
  FeedMetrics& m = context_.metrics;
  (port == DeltaPort::kAll ? m.deltaAll : m.deltaSubscribed).Add(static_cast<std::uint64_t>(count - failed));
  m.sendFailures[FeedMetrics::kOutDelta].Add(static_cast<std::uint64_t>(failed));
  for (int i = 0; i < failed; ++i) PrintError(kShortSendText);
  return failed;
}

int BridgeTransport::SendDeltaAll(int segment, const char* text) {
  if (text == nullptr || text[0] == '\0' || (segment != 1 && segment != 2)) return 0;
  const std::size_t length = std::min<std::size_t>(std::strlen(text), UINT16_MAX);
  const auto length16 = static_cast<std::uint16_t>(length);
  WriteDeltas(DeltaPort::kAll, text, &length16, 1);
  return 0;
}

std::size_t BridgeTransport::PrefixSubscribed(int segment, char* text, std::size_t capacity,
                                              char (&line)[kDeltaScratchSize]) {
  const std::size_t textLength = strnlen(text, capacity);
  const int n = std::snprintf(line, sizeof line, "%d%.*s", static_cast<int>(static_cast<std::int16_t>(segment)),
                              static_cast<int>(textLength), text);
  const std::size_t lineLength = std::min<std::size_t>(static_cast<std::size_t>(std::max(n, 0)), sizeof line - 1);
  // The caller's buffer gets the prefixed line, as much as it can hold.
  const std::size_t back = std::min(lineLength, capacity - 1);
  std::memcpy(text, line, back);
  text[back] = '\0';
  return lineLength;
}

int BridgeTransport::SendDeltaSubscribed(int segment, char* text, std::size_t capacity) {
  if (text == nullptr || capacity == 0 || text[0] == '\0') return 0;
  char line[kDeltaScratchSize];
  const auto length = static_cast<std::uint16_t>(PrefixSubscribed(segment, text, capacity, line));
  return WriteDeltas(DeltaPort::kSubscribed, line, &length, 1) == 0 ? 0 : -1;
}

void BridgeTransport::SetUdpOutput(SocketFd socket, const sockaddr_in& destination) {
  std::unique_lock lock(outputsMutex_);
  udp_.socket = std::move(socket);
  udp_.destination = destination;
}

void BridgeTransport::CloseUdpOutput() {
  std::unique_lock lock(outputsMutex_);
  udp_.socket.Reset();
}

void BridgeTransport::SetMcastOutput(int segment, SocketFd socket, const sockaddr_in& destination) {
  if (segment < 0 || segment >= kMcastSlots) return;
  std::unique_lock lock(outputsMutex_);
  mcast_[segment].socket = std::move(socket);
  mcast_[segment].destination = destination;
}

void BridgeTransport::CloseMcastOutput(int segment) {
  if (segment < 0 || segment >= kMcastSlots) return;
  std::unique_lock lock(outputsMutex_);
  mcast_[segment].socket.Reset();
}

void BridgeTransport::SetDeltaSockets(SocketFd subscribed, SocketFd all) {
  std::unique_lock lock(outputsMutex_);
  subscribedDelta_.socket = std::move(subscribed);
  subscribedDelta_.destination = BroadcastAddress(kSubscribedDeltaPort);
  allDelta_.socket = std::move(all);
  allDelta_.destination = BroadcastAddress(kAllDeltaPort);
}

void BridgeTransport::CloseDeltaSockets() {
  std::unique_lock lock(outputsMutex_);
  subscribedDelta_.socket.Reset();
  allDelta_.socket.Reset();
}

bool BridgeTransport::HasUdpOutput() const {
  std::shared_lock lock(outputsMutex_);
  return udp_.socket.Valid();
}

bool BridgeTransport::HasMcastOutput(int segment) const {
  if (segment < 0 || segment >= kMcastSlots) return false;
  std::shared_lock lock(outputsMutex_);
  return mcast_[segment].socket.Valid();
}

}  // namespace fh
