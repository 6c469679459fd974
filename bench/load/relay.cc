// The latency floor: a bare relay that takes the feed's datagrams (three NSE
// groups, the BSE port) and, for each one, makes one TCP send of a
// packet-shaped block to the connected Bridge, nothing else. The block carries
// the TimeStamp1 of the datagram's first uncompressed packet (exchange-sim
// --stamp) at the forwarded packet's header offset, so bridge-client
// --latency measures the relay exactly as it measures the feed handler: the
// feed handler's tick-to-Bridge latency is compared with it.
//
//   relay [--seconds S]     (run it through scripts/netns-run only)
#include <cstdint>
#include <cstring>
#include <span>

#include "bare_feed.h"
#include "bse/bse_layouts.h"
#include "distribution/forwarded_packet.h"
#include "nse/bcast_header.h"
#include "nse/byteorder.h"
#include "sim/nse_wire.h"

namespace {

using namespace fh::load;

constexpr int kBlockLength = 476;  // a typical forwarded packet

void Receiver(int port, bool bse) {
  const int fd = Bound(port, bse ? nullptr : kGroup);
  std::uint8_t buffer[fh::bse::kMaxDatagram];
  std::uint8_t block[kBlockLength] = {};
  fh::Store16(block + fh::forwarded::kExchangeCode, static_cast<std::int16_t>(fh::forwarded::kExchangeNse));
  fh::Store16(block + fh::forwarded::kPacketLength, kBlockLength);
  while (!gStop) {
    const ssize_t n = recv(fd, buffer, bse ? sizeof buffer : fh::nse::datagram::kMaxSize, 0);
    if (n <= 0) continue;
    gDatagrams.fetch_add(1, std::memory_order_relaxed);
    std::memset(block + fh::forwarded::kTimeStamp1, 0, 8);
    if (!bse) {
      const auto stamps = fh::sim::PlainStampOffsets(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)));
      if (!stamps.empty()) std::memcpy(block + fh::forwarded::kTimeStamp1, buffer + stamps.front(), 8);
    }
    gBridge.Send(block, kBlockLength);
    gMessages.fetch_add(1, std::memory_order_relaxed);
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) { return RunBareFeed("relay", argc, argv, Receiver); }
