// The floor for the load run: a program that takes the same datagrams as the
// feed handler (three NSE groups, the BSE port) and makes the same system calls
// per message (one TCP send of a packet's length to the connected Bridge, the
// delta broadcasts on ports 2007 and 2017), without decompressing or decoding
// anything. The feed handler's sustained rate is measured against it.
//
//   floor [--seconds S]     (run it through scripts/netns-run only)
#include <cstdint>
#include <cstring>

#include "bare_feed.h"
#include "bse/bse_layouts.h"
#include "distribution/forwarded_packet.h"
#include "feedstate/feed_defaults.h"
#include "nse/bcast_header.h"
#include "nse/byteorder.h"

namespace {

using namespace fh::load;

constexpr int kPacketLength = 476;  // a typical forwarded packet
constexpr char kDeltaLine[] = ",38665|1234500,38670|99500";

// What the feed handler does per message, minus the decoding.
void PerMessage(int delta, const sockaddr_in& to2007, const sockaddr_in& to2017, std::uint8_t* packet,
                int length) {
  // A well-formed packet header, so the Bridge keeps reading the stream.
  fh::Store16(packet + fh::forwarded::kPacketLength, static_cast<std::int16_t>(length));
  gBridge.Send(packet, length);
  sendto(delta, kDeltaLine, sizeof kDeltaLine - 1, 0, reinterpret_cast<const sockaddr*>(&to2007), sizeof to2007);
  sendto(delta, kDeltaLine, sizeof kDeltaLine - 1, 0, reinterpret_cast<const sockaddr*>(&to2017), sizeof to2017);
  gMessages.fetch_add(1, std::memory_order_relaxed);
}

void Receiver(int port, bool bse) {
  const int fd = Bound(port, bse ? nullptr : kGroup);
  const int delta = socket(AF_INET, SOCK_DGRAM, 0);
  const int on = 1;
  setsockopt(delta, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  sockaddr_in to2007{}, to2017{};
  to2007.sin_family = to2017.sin_family = AF_INET;
  to2007.sin_addr.s_addr = to2017.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  to2007.sin_port = htons(2007);
  to2017.sin_port = htons(2017);
  std::uint8_t buffer[fh::bse::kMaxDatagram];
  std::uint8_t packet[fh::bse::kMaxDatagram + 64] = {};
  while (!gStop) {
    const ssize_t n = recv(fd, buffer, bse ? sizeof buffer : fh::nse::datagram::kMaxSize, 0);
    if (n <= 0) continue;
    gDatagrams.fetch_add(1, std::memory_order_relaxed);
    if (bse) {
      // One packet per block, its length from the block header.
      for (ssize_t p = 0; p + fh::bse::block::kHeaderSize <= n;) {
        const std::int32_t length = fh::Load32(buffer + p + fh::bse::block::kLength);
        if (length < 1 || length > n - p - fh::bse::block::kHeaderSize) break;
        PerMessage(delta, to2007, to2017, packet, length + fh::forwarded::kHeaderSize);
        p += fh::bse::block::kHeaderSize + length;
      }
    } else if (n >= fh::nse::datagram::kPacketsAt) {
      const int packets = fh::LoadBe16(buffer + fh::nse::datagram::kNoOfPackets);
      for (int i = 0; i < packets && i < 64; ++i) PerMessage(delta, to2007, to2017, packet, kPacketLength);
    }
  }
  close(fd);
  close(delta);
}

}  // namespace

int main(int argc, char** argv) { return RunBareFeed("floor", argc, argv, Receiver); }
