#include "distribution/output_sockets.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>

#include "feedstate/exg_seg.h"
#include "feedstate/platform.h"

namespace fh {
namespace {

SocketFd OpenBroadcastSocket(LogList& log, const char* createFailed, const char* optionFailed) {
  SocketFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!s.Valid()) {
    log.LogLine(createFailed);
    return s;
  }
  const int one = 1;
  if (::setsockopt(s.Fd(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
    log.LogLine(optionFailed);
    s.Reset();  // unusable: every send on it reports a short count
  }
  return s;
}

}  // namespace

void OnUdpClicked(FeedContext& context, BridgeTransport& transport, const std::string& lastBridgeAddress) {
  transport.CloseUdpOutput();
  if (context.options.sendUdp.load() != 1) return;

  SocketFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!s.Valid()) context.log.LogLine("UDP Socket Failed\n");
  sockaddr_in destination{};
  MakeAddress(lastBridgeAddress.c_str(), context.ports.udpOutPort, &destination);
  if (!SetFeedBufferSizes(s.Fd(), "UDP output", context.programExit)) return;
  transport.SetUdpOutput(std::move(s), destination);
}

void OnMcastClicked(FeedContext& context, BridgeTransport& transport) {
  const FeedHandlerOptions& o = context.options;
  if (o.segNcm.load() != 1) return;
  transport.CloseMcastOutput(kSegNcm);
  if (o.sendMcast.load() == 1 && OpenMcastSendSocket(context, transport, kSegNcm) == 1) {
    context.log.LogFormat("MCast Socket Created for ExgSeg=%d!!!", kSegNcm);
  }
}

void OnBcastDeltaClicked(FeedContext& context, BridgeTransport& transport) {
  transport.CloseDeltaSockets();
  if (context.options.bcastDelta.load() != 1) return;
  SocketFd subscribed = OpenBroadcastSocket(context.log, "BCAST Socket Failed\n",
                                            "BCAST Socket Failed setsockopt (SO_BROADCAST)\n");
  SocketFd all = OpenBroadcastSocket(context.log, "BCAST Socket Failed 2007\n",
                                     "BCAST Socket Failed setsockopt (SO_BROADCAST) 2007\n");
  transport.SetDeltaSockets(std::move(subscribed), std::move(all));
}

int OpenMcastSendSocket(FeedContext& context, BridgeTransport& transport, int segment) {
  if (segment < 0 || segment >= BridgeTransport::kMcastSlots) return 0;
  const char* group = segment == kSegNcm ? kMcastGroupNcm : kMcastGroupOther;
  const int port = static_cast<std::uint16_t>(context.ports.mcastOutPort);
  if (port < kLowestMcastPort) {
    std::fprintf(stderr, "Invalid port number argument %d.\n", port);
    std::fprintf(stderr, "Valid range is between %d and %d.\n", kLowestMcastPort, 65535);
    context.programExit.Exit(1);
    return 0;
  }
  SocketFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP));
  if (!s.Valid()) {
    PrintError("socket() failed");
    context.programExit.Exit(1);
    return 0;
  }
  const unsigned char ttl = kMcastTtl;
  if (::setsockopt(s.Fd(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
    PrintError("setsockopt() failed");
    context.programExit.Exit(1);
    return 0;
  }
  sockaddr_in destination{};
  MakeAddress(group, port, &destination);
  if (!SetFeedBufferSizes(s.Fd(), "Multicast output", context.programExit)) return 0;
  transport.SetMcastOutput(segment, std::move(s), destination);
  return 1;
}

int OpenBpackFiles(FeedContext& context, int segment, const char* name, const char* counterName) {
  const bool packOpen =
      name != nullptr && context.files.Open(segment, SegmentFiles::kBpackFile, context.places.Work(name), "w+");
  const bool counterOpen = counterName != nullptr &&
                           context.files.Open(segment, SegmentFiles::kBpackCounterFile,
                                              context.places.Work(counterName), "w+");
  if (!packOpen) {
    context.messageBoxes.Show("Cant open file :BPACK");
    context.programExit.Exit(0);
    return 0;
  }
  if (!counterOpen) {
    context.messageBoxes.Show("Cant open file :BPACK_Counter");
    context.programExit.Exit(0);
    return 0;
  }
  return 1;
}

const char* BpackFileName(int segment) {
  switch (segment) {
    case kSegNcm: return "BPACK_NCM.TXT";
    case kSegNfo: return "BPACK_NFO.TXT";
    case kSegNcd: return "BPACK_NCD.TXT";
    case kSegBcm: return "BPACK_BSE.TXT";
    default: return nullptr;
  }
}

const char* BpackCounterFileName(int segment) {
  switch (segment) {
    case kSegNcm: return "BPACK_Counter_NCM.TXT";
    case kSegNfo: return "BPACK_Counter_NFO.TXT";
    case kSegNcd: return "BPACK_Counter_NCD.TXT";
    case kSegBcm: return "BPACK_Counter_BSE.TXT";
    default: return nullptr;
  }
}

}  // namespace fh
