#include "bse/bse_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bse/bse_decoder.h"
#include "bse/little_endian.h"
#include "distribution/bridge_output.h"
#include "feedstate/exg_seg.h"
#include "feedstate/feed_context.h"
#include "feedstate/platform.h"

namespace fh {

namespace {

// The largest payload a block may carry: it must fit the decoder's work area.
constexpr std::int32_t kMaxPayload = bse::kWorkAreaSize;

}  // namespace

void BseUsageExit(ProgramExit& exit) {
  std::fputs("timeserv [server_address] port\n", stderr);
  exit.Exit(0);
}

// ---------------------------------------------------------------------------
// BseDatagramHandler

BseDatagramHandler::BseDatagramHandler(FeedContext& context, BseDecoder& decoder, BridgeOutput& output)
    : context_(context), decoder_(decoder), output_(output) {}

int BseDatagramHandler::OnDatagram(const std::uint8_t* data, int length, bool flushNow, std::int64_t receivedAtNs) {
  if (length <= 0) return 0;

  if (context_.options.writeBin.load(std::memory_order_relaxed) == 1) {
    context_.files.Append(kSegBcm, SegmentFiles::kBinFile, data, static_cast<std::size_t>(length), context_.log,
                          &context_.metrics);
    if (flushNow) FlushRecording();
  }

  int position = 0;
  int blocks = 0;
  while (position < length) {
    const int rest = length - position;
    if (rest < bse::block::kHeaderSize) {
      context_.metrics.Of(kSegBcm).malformed[FeedMetrics::kBadBlock].Add();
      context_.log.LogFormat("Udp Received Short Block PktNo: %d| Offset:%d| Total:%d", blocks + 1, position,
                             length);
      break;
    }
    const std::uint8_t* block = data + position;
    const std::int32_t payloadLength = bse::LoadLe32(block + bse::block::kLength);
    if (payloadLength < 0 || payloadLength > rest - bse::block::kHeaderSize || payloadLength > kMaxPayload) {
      context_.metrics.Of(kSegBcm).malformed[FeedMetrics::kBadBlock].Add();
      context_.log.LogFormat("Udp Received Bad Block PktNo: %d| Offset:%d| Length:%d| Total:%d", blocks + 1,
                             position, payloadLength, length);
      break;
    }

    decoder_.DecodeBseBlock(block, payloadLength + bse::block::kHeaderSize);
    Forward(block + bse::block::kPayloadAt, payloadLength, receivedAtNs);

    position += bse::block::kHeaderSize + payloadLength;
    ++blocks;
    if (blocks > 1) {
      context_.log.LogFormat("Udp Received PktNo: %d| Processed:%d| Total:%d", blocks, position, length);
    }
  }
  if (flushNow) EndBatch();
  return blocks;
}

void BseDatagramHandler::Forward(const std::uint8_t* payload, std::int32_t length, std::int64_t receivedAtNs) {
  // Header: exchange 11, segment 20, divisor 100, the message type's low 16
  // bits in the place of the transaction code, zero elsewhere, then the length.
  std::memset(packet_, 0, forwarded::kHeaderSize);
  bse::StoreLe16(packet_ + forwarded::kExchangeCode, forwarded::kExchangeBse);
  bse::StoreLe16(packet_ + forwarded::kSegmentCode, forwarded::kSegmentCm);
  bse::StoreLe16(packet_ + forwarded::kPriceDivisor, forwarded::kDivisorNse);
  std::uint8_t type[4] = {};
  std::memcpy(type, payload, static_cast<std::size_t>(length < 4 ? length : 4));
  bse::StoreLe16(packet_ + forwarded::kTransactionCode, static_cast<std::int16_t>(bse::LoadLe32(type) & 0xFFFF));
  const std::int32_t packetLength = length + forwarded::kHeaderSize;
  bse::StoreLe16(packet_ + forwarded::kPacketLength, static_cast<std::int16_t>(packetLength));
  std::memcpy(packet_ + forwarded::kBodyAt, payload, static_cast<std::size_t>(length));
  output_.SendToBridges(kSegBcm, packetLength, packet_, receivedAtNs);
}

// ---------------------------------------------------------------------------
// BseReceiverThread

BseReceiverThread::BseReceiverThread(FeedContext& context, BseDecoder& decoder, BridgeOutput& output,
                                     const BseReceiverArgs& args)
    : context_(context),
      args_(args),
      handler_(context, decoder, output),
      socket_("BSE receiver", args_.groupIp, args_.port) {
  socket_.Start([this](const std::stop_token& stop) { Run(stop); });
}

BseReceiverThread::~BseReceiverThread() { Stop(); }

void BseReceiverThread::Stop() { socket_.Stop(); }

void BseReceiverThread::Run(const std::stop_token& stop) {
  struct EndState {
    std::atomic<State>& state;
    ~EndState() { state.store(State::kEnded, std::memory_order_release); }
  } endState{state_};

  int parts[4];
  if (std::sscanf(args_.groupIp, "%d.%d.%d.%d", &parts[0], &parts[1], &parts[2], &parts[3]) != 4) {
    BseUsageExit(context_.programExit);
    return;
  }

  const int socket = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (socket < 0) {
    socket_.PrintText("Could not create socket.\n");
    context_.programExit.Exit(0);
    return;
  }
  if (!socket_.Publish(socket)) return;

  const int size = kSocketBufferBytes;
  if (::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0 ||
      ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) {
    socket_.PrintError("setsockopt() failed");
    socket_.Close();
    context_.programExit.Exit(1);
    return;
  }
  AskForReceiveInfo(socket);
  int granted = 0;
  socklen_t grantedSize = sizeof granted;
  if (::getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &granted, &grantedSize) == 0) {
    grantedReceiveBuffer_.store(granted, std::memory_order_release);
    context_.metrics.Of(kSegBcm).receiveBufferBytes.Set(granted);
  }

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(args_.port));
  // A text of four numbers that is no address (a part above 255) reads as
  // 255.255.255.255 and is refused like an address the host does not have; a
  // port that does not fit 16 bits is refused too rather than cut to another.
  bool valid = ::inet_pton(AF_INET, args_.groupIp, &address.sin_addr) == 1;
  if (!valid) address.sin_addr.s_addr = INADDR_NONE;
  if (args_.port < 0 || args_.port > 65535) valid = false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address.sin_addr.s_addr);

  if (!valid || ::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    context_.log.LogFormat("Server Failed to Bind on %u.%u.%u.%u | %d\n", bytes[0], bytes[1], bytes[2], bytes[3],
                           args_.port);
    socket_.PrintText("Could not bind name to socket.\n");
    socket_.Close();
    return;
  }
  context_.log.LogFormat("Server running on %u.%u.%u.%u | %d\n", bytes[0], bytes[1], bytes[2], bytes[3],
                         args_.port);
  context_.log.LogFormat("BSE receive buffer %d bytes (asked %d)", granted, kSocketBufferBytes);

  state_.store(State::kRunning, std::memory_order_release);
  Receive(socket, stop);
}

void BseDatagramHandler::EndBatch() { output_.Flush(); }

void BseDatagramHandler::FlushRecording() {
  context_.files.Flush(kSegBcm, SegmentFiles::kBinFile, context_.log, &context_.metrics);
}

void BseReceiverThread::Receive(int socket, const std::stop_token& stop) {
  const int limit = context_.options.receiveBatch.load(std::memory_order_relaxed);
  while (!stop.stop_requested()) {
    const int n = batch_.Receive(socket, limit);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (stop.stop_requested()) break;
      socket_.PrintText("Could not receive datagram.\n");
      socket_.Close();
      context_.programExit.Exit(0);
      return;
    }
    // A datagram of no bytes carries nothing; after a stop, nothing is what
    // the shut-down socket returns, and the loop condition ends the thread.
    if (n == 0) continue;
    // Flush when recording was on at either end of the batch (no file lock
    // when it was off at both).
    const bool recordingAtStart = context_.options.writeBin.load(std::memory_order_relaxed) == 1;
    FeedMetrics::Segment& figures = context_.metrics.Of(kSegBcm);
    batch_.CountInto(figures, n);
    for (int i = 0; i < n; ++i) {
      handler_.OnDatagram(batch_.Data(i), batch_.Length(i), false, batch_.ReceivedAtNs(i));
    }
    if (recordingAtStart || context_.options.writeBin.load(std::memory_order_relaxed) == 1) handler_.FlushRecording();
    handler_.EndBatch();
  }
  socket_.Close();
}

}  // namespace fh
