#include "intake/receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "feedstate/exg_seg.h"
#include "feedstate/feed_defaults.h"

namespace fh {

ReceiverArgs ReceiverArgs::Make(std::string_view group, int port, int segment) {
  ReceiverArgs args;
  const std::size_t n = std::min(group.size(), kGroupSize - 1);
  std::memcpy(args.groupIp, group.data(), n);
  args.groupIp[n] = '\0';
  args.port = port;
  args.segment = segment;
  return args;
}

ReceiverThread::ReceiverThread(FeedContext& ctx, Framing& framing, const ReceiverArgs& args)
    : ctx_(ctx), framing_(framing), args_(args), socket_("NSE receiver", args_.groupIp, args_.port) {
  socket_.Start([this](const std::stop_token& stop) { Run(stop); });
}

ReceiverThread::~ReceiverThread() { Stop(); }

void ReceiverThread::Stop() { socket_.Stop(); }

void ReceiverThread::Fail(const char* what) {
  socket_.PrintError(what);
  socket_.Close();
  ctx_.programExit.Exit(1);
}

void ReceiverThread::Run(const std::stop_token& stop) {
  // The thread's own copy of its arguments, taken first.
  ReceiverArgs args = args_;
  args.groupIp[ReceiverArgs::kGroupSize - 1] = '\0';

  struct Finish {
    ReceiverThread& self;
    ~Finish() {
      self.listening_.store(false, std::memory_order_release);
      self.running_.store(false, std::memory_order_release);
    }
  } finish{*this};

  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    socket_.PrintError("socket");
    ctx_.programExit.Exit(1);
    return;
  }
  if (!socket_.Publish(fd)) return;

  const int one = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) return Fail("Reusing ADDR failed");
  const int size = args.receiveBuffer;
  const int sendSize = kSocketBufferBytes;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) < 0) return Fail("setsockopt() failed");
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendSize, sizeof sendSize) < 0) return Fail("setsockopt() failed");
  AskForReceiveInfo(fd);
  FeedMetrics::Segment& figures = ctx_.metrics.Of(args.segment);

  int granted = 0;
  socklen_t grantedLen = sizeof granted;
  if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &grantedLen) == 0) {
    granted_.store(granted, std::memory_order_release);
    figures.receiveBufferBytes.Set(granted);
    ctx_.log.LogFormat("NSE receiver %s|%d : socket receive buffer %d bytes (asked %d)", args.groupIp, args.port,
                       granted, size);
  }

  if (args.port < 0 || args.port > 65535) {  // no such port: a failed bind, not a wrong port
    errno = EINVAL;
    return Fail("bind");
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(static_cast<std::uint16_t>(args.port));
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) return Fail("bind");

  ip_mreq membership{};
  // Text that is no dotted address asks for the group 255.255.255.255, which
  // the membership request refuses.
  if (::inet_pton(AF_INET, args.groupIp, &membership.imr_multiaddr) != 1) {
    membership.imr_multiaddr.s_addr = htonl(INADDR_NONE);
  }
  membership.imr_interface.s_addr = htonl(INADDR_ANY);
  if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) < 0) {
    return Fail("setsockopt");
  }
  listening_.store(true, std::memory_order_release);

  const int limit = ctx_.options.receiveBatch.load(std::memory_order_relaxed);
  const auto later = Framing::Flush::kLater;
  while (!stop.stop_requested()) {
    const int got = batch_.Receive(fd, limit);
    if (stop.stop_requested()) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      return Fail("recvfrom");
    }
    // Every datagram is recorded, framed and decoded in arrival order; the
    // recordings are on disk before the next receive.
    // Recording may be switched on or off meanwhile: flush when it was on at
    // either end of the batch, and take no file lock when it was off at both.
    // A decoder's output is held back until the batch ends or the next
    // datagram is another segment's, so each output socket sees what the
    // datagrams made in their order.
    const bool recordingAtStart = ctx_.options.writeBin.load(std::memory_order_relaxed) == 1;
    unsigned recorded = 0;
    std::uint64_t over512 = 0;
    int held = kSegUnknown;  // the segment whose output is held back
    for (int i = 0; i < got; ++i) {
      std::uint8_t* buf = batch_.Data(i);
      const int len = batch_.Length(i);
      if (len == 0) continue;  // an empty datagram carries nothing to frame
      over512 += len > kClassicDatagramBytes ? 1 : 0;
      const int seg = SegmentOfNetId(buf[0]);
      if (held != kSegUnknown && seg != held) framing_.EndBatch(held);
      held = seg;
      const std::int64_t receivedAtNs = batch_.ReceivedAtNs(i);
      switch (seg) {
        case kSegNfo: framing_.FrameFoDatagram(buf, len, later, receivedAtNs); break;
        case kSegNcm: framing_.FrameCmDatagram(buf, len, later, receivedAtNs); break;
        case kSegNcd: framing_.FrameCdDatagram(buf, len, later, receivedAtNs); break;
        default:
          framing_.RecordUnknownDatagram(buf, len, later);
          ctx_.log.LogFormat("no FO no CM segment Read from MCAST Socket %c %d", buf[0], buf[0]);
          break;
      }
      recorded |= 1u << seg;
    }
    if (held != kSegUnknown) framing_.EndBatch(held);
    batch_.CountInto(figures, got);
    if (over512 != 0) figures.datagramsOver512.Add(over512);
    if (!recordingAtStart && ctx_.options.writeBin.load(std::memory_order_relaxed) != 1) recorded = 0;
    for (int seg = kSegUnknown; recorded != 0; ++seg, recorded >>= 1)
      if ((recorded & 1u) != 0) framing_.FlushRecording(seg);
  }
  socket_.Close();
}

}  // namespace fh
