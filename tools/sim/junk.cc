#include "sim/junk.h"

#include <algorithm>
#include <cstring>

#include "nse/byteorder.h"

namespace fh::sim {

namespace {

std::vector<std::uint8_t> RandomBytes(std::mt19937& rng, int n) {
  std::vector<std::uint8_t> v(static_cast<std::size_t>(n));
  for (auto& b : v) b = static_cast<std::uint8_t>(Uniform(rng, 0, 255));
  return v;
}

// Values that make lengths and counts lie.
std::int16_t LyingInt16(std::mt19937& rng) {
  static constexpr std::int16_t kValues[] = {-32768, -1, 0, 1, 2, 3, 29, 100, 511, 512, 513, 1024, 5120, 32767};
  return kValues[Uniform(rng, 0, static_cast<int>(std::size(kValues)) - 1)];
}

}  // namespace

std::vector<std::uint8_t> MakeNseJunk(NseSegmentFeed& feed, std::mt19937& rng, int maxSize) {
  const int netId = NetIdOfSegment(feed.segment());
  Lzo1zCompressor lzo;
  Effects fx;
  const int kind = Uniform(rng, 0, 7);
  std::vector<std::uint8_t> out;
  if (kind == 0) {  // random bytes
    out = RandomBytes(rng, Uniform(rng, 1, maxSize));
    if (Uniform(rng, 0, 3) > 0) out[0] = static_cast<std::uint8_t>(netId);
    return out;
  }
  DatagramBuilder d(netId, maxSize);
  const int packets = Uniform(rng, 1, 4);
  for (int i = 0; i < packets; ++i) {
    NseMessage m = feed.Next(&fx);
    if (kind == 5) {  // plain packet whose MessageLength or NoOfRecords lies
      std::uint8_t* msg = m.message();
      if (Uniform(rng, 0, 1) == 0) {
        StoreBe16(msg + nse::header::kMessageLength, LyingInt16(rng));
      } else {
        StoreBe16(msg + nse::header::kBodyAt, LyingInt16(rng));
      }
      if (Uniform(rng, 0, 2) == 0) StoreBe16(msg + nse::header::kTransactionCode, LyingInt16(rng));
    }
    // Today's packets too long to travel plain in maxSize are compressed, or
    // left out where the kind needs them plain.
    const bool tooLongPlain = nse::datagram::kPacketsAt + nse::datagram::kCompLenSize +
                                  static_cast<int>(m.plain().size()) > maxSize;
    if (kind == 5 && tooLongPlain) continue;
    if (!d.Add(m.plain(), (kind != 5 && Uniform(rng, 0, 3) > 0) || tooLongPlain, lzo)) break;
  }
  if (kind == 2) d.SetDeclaredPackets(LyingInt16(rng));
  if (kind == 3) {  // a compLen that lies: random data behind it
    auto data = RandomBytes(rng, Uniform(rng, 0, 40));
    d.AddRaw(LyingInt16(rng), data);
  }
  if (kind == 7) {  // an uncompressed packet whose header claims a huge message
    std::vector<std::uint8_t> plain(static_cast<std::size_t>(nse::packet::kMessageAt + nse::header::kBodyAt), 0);
    StoreBe16(plain.data() + nse::packet::kMessageAt + nse::header::kTransactionCode, 7208);
    StoreBe16(plain.data() + nse::packet::kMessageAt + nse::header::kMessageLength, LyingInt16(rng));
    d.AddRaw(0, plain);
  }
  out.assign(d.bytes().begin(), d.bytes().end());
  if (kind == 1 && out.size() > 1) out.resize(static_cast<std::size_t>(Uniform(rng, 1, static_cast<int>(out.size()) - 1)));
  constexpr std::size_t kFirstPacketData = nse::datagram::kPacketsAt + 4;
  if (kind == 4 && out.size() > kFirstPacketData) {
    // Corrupt the compressed bytes of the first packet.
    for (int i = 0; i < 8; ++i) {
      const int at = Uniform(rng, nse::datagram::kPacketsAt + 2, static_cast<int>(out.size()) - 1);
      out[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(Uniform(rng, 0, 255));
    }
  }
  if (kind == 6) out[nse::datagram::kNetId] = static_cast<std::uint8_t>(Uniform(rng, 0, 255));  // wrong segment
  return out;
}

std::vector<std::uint8_t> MakeBseJunk(BseFeed& feed, std::mt19937& rng) {
  const int kind = Uniform(rng, 0, 5);
  if (kind == 0) return RandomBytes(rng, Uniform(rng, 1, bse::kMaxDatagram));
  bse::DatagramBuilder d;
  feed.NextDatagram(&d, nullptr);
  std::vector<std::uint8_t> out(d.bytes().begin(), d.bytes().end());
  if (kind == 1 && out.size() > 1) {  // cut short
    out.resize(static_cast<std::size_t>(Uniform(rng, 1, static_cast<int>(out.size()) - 1)));
  } else if (kind == 2) {  // the first block's length lies
    static constexpr std::int32_t kLengths[] = {-2147483647 - 1, -8, -1, 0, 1, 3, 4095, 4096, 4097, 65536, 2147483647};
    Store32(out.data() + bse::kPayloadLength, kLengths[Uniform(rng, 0, static_cast<int>(std::size(kLengths)) - 1)]);
  } else if (kind == 3) {  // a record count beyond the payload
    bse::DatagramBuilder one;
    one.StartBlock(Uniform(rng, 0, 1) ? bse::kShape2020 : bse::kShape2014, 1);
    out.assign(one.bytes().begin(), one.bytes().end());
    Store16(out.data() + bse::kPayloadAt + bse::kHeadAt + bse::kShape2020.countAt, LyingInt16(rng));
  } else if (kind == 4) {  // a tail shorter than a block header
    out.resize(std::min<std::size_t>(out.size() + static_cast<std::size_t>(Uniform(rng, 1, 7)), bse::kMaxDatagram), 0xff);
  } else {  // random bytes inside a good datagram
    for (int i = 0; i < 16 && !out.empty(); ++i)
      out[static_cast<std::size_t>(Uniform(rng, 0, static_cast<int>(out.size()) - 1))] =
          static_cast<std::uint8_t>(Uniform(rng, 0, 255));
  }
  return out;
}

}  // namespace fh::sim
