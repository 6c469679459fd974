#include "distribution/bridge_transport.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "feedstate/platform.h"

namespace fh {
namespace {

constexpr int kSendFlags = MSG_NOSIGNAL;
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

BridgeTransport::BridgeTransport(FeedContext& context) : context_(context) {}

BridgeTransport::~BridgeTransport() { StopSenders(); }

void BridgeTransport::StopSenders() {
  std::list<std::unique_ptr<BridgeSendQueue>> streams;
  {
    std::lock_guard lock(tcpMutex_);
    current_ = nullptr;
    connected_.store(0, std::memory_order_release);
    streams.swap(streams_);
    for (auto& s : streams) s->Stop();
  }
  // Joined without the lock: a sender may be waiting for it to report a failure.
  streams.clear();
}

bool BridgeTransport::BridgeConnected() const { return connected_.load(std::memory_order_acquire) == 1; }

int BridgeTransport::CurrentBridgeSocket() const {
  std::lock_guard lock(tcpMutex_);
  return current_ != nullptr ? current_->Connection()->Fd() : -1;
}

void BridgeTransport::AttachBridge(std::shared_ptr<BridgeConnection> connection) {
  std::list<std::unique_ptr<BridgeSendQueue>> finished;
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
      streams_.push_back(std::make_unique<BridgeSendQueue>(
          std::move(connection),
          [this, raw](const BridgeSendQueue::Failure& failure) { OnSendFailure(raw, failure); }));
      current_ = streams_.back().get();
    }
    connected_.store(current_ != nullptr ? 1 : 0, std::memory_order_release);
  }
  finished.clear();  // their threads have ended: the joins do not wait
}

void BridgeTransport::OnSendFailure(const BridgeConnection* connection, const BridgeSendQueue::Failure& failure) {
  std::lock_guard lock(tcpMutex_);
  if (current_ != nullptr && current_->Connection().get() == connection) {
    DropBridgeLocked(failure.segment, failure.sent, failure.length);
    return;
  }
  // An older connection, replaced while bytes were still queued for it: its
  // stream ends here, but its client thread may still read requests.
  for (const auto& s : streams_) {
    if (s->Connection().get() == connection) s->Connection()->ShutdownSending();
  }
}

void BridgeTransport::DropBridgeLocked(int segment, int sent, int length) {
  const char* segText = SegmentText(segment);
  context_.log.LogFormat("%s Status %d | Sent %d of %d | Send Failed to Bridge from FH\n", segText,
                         connected_.load(std::memory_order_relaxed), sent, length);
  // The client thread of the connection may still be reading it: shut it down
  // so that thread ends too; the last owner closes the descriptor.
  current_->Connection()->Shutdown();
  current_->Stop();
  current_ = nullptr;
  connected_.store(0, std::memory_order_release);
  context_.log.LogFormat("%s Bridge Dis-Connected\n", segText);
}

int BridgeTransport::SendToBridges(int segment, int length, const std::uint8_t* packet) {
  if (connected_.load(std::memory_order_acquire) != 1) return 0;
  const char* segText = SegmentText(segment);
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
    context_.log.LogFormat("%s Bridge Dis-Connected\n", segText);
    return 1;
  }

  if (o.sendTcp.load(std::memory_order_relaxed) == 1 && !SendTcp(segment, packet, length)) {
    context_.log.LogFormat("%s Bridge Dis-Connected\n", segText);
    return 1;
  }

  const bool udpOn = o.sendUdp.load(std::memory_order_relaxed) == 1;
  const bool mcastOn = o.sendMcast.load(std::memory_order_relaxed) == 1;
  if (!udpOn && !mcastOn) return 1;

  std::uint8_t frame[kFrameSize];
  const int copied = std::min(length, kFrameSize);
  std::memcpy(frame, packet, static_cast<std::size_t>(copied));
  std::memset(frame + copied, 0, static_cast<std::size_t>(kFrameSize - copied));

  std::shared_lock lock(outputsMutex_);
  if (udpOn) {
    ssize_t sent = -1;
    if (!udp_.socket.Valid()) {
      errno = EBADF;
    } else if (udp_.destination.sin_addr.s_addr == htonl(INADDR_NONE)) {
      errno = EDESTADDRREQ;  // the box was clicked before any Bridge connected
    } else {
      sent = ::sendto(udp_.socket.Fd(), frame, kFrameSize, kSendFlags,
                      reinterpret_cast<const sockaddr*>(&udp_.destination), sizeof udp_.destination);
    }
    if (sent != kFrameSize) PrintError(kShortSendText);
  }
  if (mcastOn && segment >= 0 && segment < kMcastSlots && mcast_[segment].socket.Valid()) {
    const Output& m = mcast_[segment];
    ::sendto(m.socket.Fd(), frame, kFrameSize, kSendFlags, reinterpret_cast<const sockaddr*>(&m.destination),
             sizeof m.destination);
  }
  return 1;
}

bool BridgeTransport::SendTcp(int segment, const std::uint8_t* packet, int length) {
  std::lock_guard lock(tcpMutex_);
  if (current_ == nullptr || connected_.load(std::memory_order_relaxed) != 1) return false;
  switch (current_->Append(segment, packet, length)) {
    case BridgeSendQueue::AppendResult::kQueued:
      break;
    case BridgeSendQueue::AppendResult::kOverflow:
      // Too far behind: this packet is not sent at all; the stream may end in
      // the middle of one taken before, and nothing follows it.
      DropBridgeLocked(segment, -1, length);
      break;
    case BridgeSendQueue::AppendResult::kClosed:
      // Its sender has just failed and is about to report it: the packet is
      // lost with the connection.
      break;
  }
  return true;
}

int BridgeTransport::SendBroadcast(const Output& out, const char* text, std::size_t length) {
  if (!out.socket.Valid()) {
    errno = EBADF;
    return -1;
  }
  return static_cast<int>(::sendto(out.socket.Fd(), text, length, kSendFlags,
                                   reinterpret_cast<const sockaddr*>(&out.destination), sizeof out.destination));
}

int BridgeTransport::SendDeltaAll(int segment, const char* text) {
  if (text == nullptr || text[0] == '\0' || (segment != 1 && segment != 2)) return 0;
  const std::size_t length = std::strlen(text);
  std::shared_lock lock(outputsMutex_);
  if (SendBroadcast(allDelta_, text, length) != static_cast<int>(length)) PrintError(kShortSendText);
  return 0;
}

int BridgeTransport::SendDeltaSubscribed(int segment, char* text, std::size_t capacity) {
  if (text == nullptr || capacity == 0 || text[0] == '\0') return 0;
  char scratch[kDeltaScratchSize];
  const std::size_t textLength = strnlen(text, capacity);
  const int n = std::snprintf(scratch, sizeof scratch, "%d%.*s", static_cast<int>(static_cast<std::int16_t>(segment)),
                              static_cast<int>(textLength), text);
  const std::size_t lineLength = std::min<std::size_t>(static_cast<std::size_t>(std::max(n, 0)), sizeof scratch - 1);
  // The caller's buffer gets the prefixed line, as much as it can hold.
  const std::size_t back = std::min(lineLength, capacity - 1);
  std::memcpy(text, scratch, back);
  text[back] = '\0';

  std::shared_lock lock(outputsMutex_);
  if (SendBroadcast(subscribedDelta_, scratch, lineLength) != static_cast<int>(lineLength)) {
    PrintError(kShortSendText);
    return -1;
  }
  return 0;
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
