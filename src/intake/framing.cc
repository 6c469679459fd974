#include "intake/framing.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "feedstate/exg_seg.h"
#include "intake/decompress.h"
#include "nse/bcast_header.h"
#include "nse/byteorder.h"

namespace fh {

namespace dg = nse::datagram;
namespace pk = nse::packet;
namespace hd = nse::header;

namespace {

// A plain packet must hold its 8 leading bytes and the whole BcastHeader
// before any header field is touched.
constexpr int kPlainHead = pk::kHeaderAt + hd::kSize;

}  // namespace

Framing::Framing(FeedContext& ctx)
    : ctx_(ctx),
      cm_{kSegNcm, kNetIdCm, "CM", "FO in CM", false, 1, cmOutput_, kCmOutputSize, {}, {}},
      fo_{kSegNfo, kNetIdFo, "FO", "CM in FO", true, 2, foOutput_, kFoCdOutputSize, {}, {}},
      cd_{kSegNcd, kNetIdCd, "CD", "CM in CD", true, 2, cdOutput_, kFoCdOutputSize, {}, {}} {}

Framing::Lane* Framing::LaneOf(int seg) {
  switch (seg) {
    case kSegNcm: return &cm_;
    case kSegNfo: return &fo_;
    case kSegNcd: return &cd_;
    default: return nullptr;
  }
}

void Framing::SetDecoder(int seg, DecoderEntry entry) {
  Lane* lane = LaneOf(seg);
  if (lane == nullptr) return;
  std::lock_guard lock(lane->mutex);
  lane->decoder = entry;
}

int Framing::FrameCmDatagram(std::uint8_t* data, int len, Flush flush, std::int64_t receivedAtNs) {
  return Frame(cm_, data, len, flush, receivedAtNs);
}
int Framing::FrameFoDatagram(std::uint8_t* data, int len, Flush flush, std::int64_t receivedAtNs) {
  return Frame(fo_, data, len, flush, receivedAtNs);
}
int Framing::FrameCdDatagram(std::uint8_t* data, int len, Flush flush, std::int64_t receivedAtNs) {
  return Frame(cd_, data, len, flush, receivedAtNs);
}

int Framing::RecordUnknownDatagram(const std::uint8_t* data, int len, Flush flush) {
  if (data == nullptr) return 0;
  ctx_.metrics.Of(kSegUnknown).datagrams.Add();
  Record(kSegUnknown, data, len, flush);
  return 0;
}

void Framing::Record(int seg, const std::uint8_t* data, int len, Flush flush) {
  if (len <= 0 || ctx_.options.writeBin.load(std::memory_order_relaxed) != 1) return;
  ctx_.files.Append(seg, SegmentFiles::kBinFile, data, static_cast<std::size_t>(len), ctx_.log, &ctx_.metrics);
  if (flush == Flush::kNow) FlushRecording(seg);
}

void Framing::FlushRecording(int seg) { ctx_.files.Flush(seg, SegmentFiles::kBinFile, ctx_.log, &ctx_.metrics); }

void Framing::EndBatch(int seg) {
  Lane* lane = LaneOf(seg);
  if (lane == nullptr) return;
  std::lock_guard lock(lane->mutex);
  lane->decoder.Flush();
}

int Framing::Frame(Lane& lane, std::uint8_t* data, int len, Flush flush, std::int64_t receivedAtNs) {
  if (data == nullptr || len < 0) len = 0;
  std::lock_guard lock(lane.mutex);
  FrameLocked(lane, data, len, flush, receivedAtNs);
  if (flush == Flush::kNow) lane.decoder.Flush();
  return 0;
}

void Framing::FrameLocked(Lane& lane, std::uint8_t* d, int len, Flush flush, std::int64_t receivedAtNs) {
  // Recording: exactly what arrived, before anything is converted.
  Record(lane.seg, d, len, flush);

  const bool showCounts = lane.showsGrid && ctx_.options.pktCounters.load(std::memory_order_relaxed) == 1;
  const std::uint32_t datagrams = counters_.Increment(lane.seg, PacketCounters::kDatagrams);
  if (showCounts) ctx_.grid.SetCounterCell(0, datagrams, CounterGrid::kCashColumn);

  // d[0 .. end-1] are the bytes framed, the whole datagram, in place.
  const int end = len;
  if (end >= 1 && d[dg::kNetId] != lane.netId) {
    ctx_.log.LogFormat("FH : %s : Not Expected %s mcast cnet=%c", lane.name, lane.unexpected, d[dg::kNetId]);
    return;
  }
  FeedMetrics::Segment& figures = ctx_.metrics.Of(lane.seg);
  if (end < dg::kPacketsAt) {
    figures.malformed[FeedMetrics::kTooShort].Add();
    ctx_.log.LogFormat("FH : %s : datagram of %d bytes is too short, dropped", lane.name, len);
    return;
  }

  ToHost16(d + dg::kNoOfPackets);
  const int packets = Load16(d + dg::kNoOfPackets);
  int pos = dg::kPacketsAt;

  for (int i = 1; i <= packets; ++i) {
    Packet p;
    switch (NextPacket(lane, d, end, pos, p)) {
      case PacketRead::kMessage:
        break;
      case PacketRead::kRunsPast:
        figures.malformed[FeedMetrics::kRunsPast].Add();
        ctx_.log.LogFormat("FH : %s : packet %d of %d runs past the datagram (%d bytes), rest dropped", lane.name, i,
                           packets, end);
        return;
      case PacketRead::kShortMessage:
        figures.malformed[FeedMetrics::kShortHeader].Add();
        ctx_.log.LogFormat("FH : %s : packet %d of %d has msglen=%d, shorter than its header, rest dropped",
                           lane.name, i, packets, p.msgLen);
        return;
      case PacketRead::kUndecompressed:
        figures.decompressFailures.Add();
        ctx_.log.LogFormat("FH : %s : packet %d of %d did not decompress into a message (icomlen=%d out=%d), skipped",
                           lane.name, i, packets, p.compLen, p.out);
        continue;
    }

    if (p.trx <= 0) {
      ctx_.log.LogFormat("FH : %s : cnet=%c pkts=%d icomlen=%d msglen=%d trx=%d", lane.name, d[dg::kNetId], packets,
                         p.compLen, p.msgLen, p.trx);
      continue;
    }

    if (p.compLen > kDumpAbove) Dump(lane, d + p.at, end - p.at);

    if (p.compLen > 0) {
      const std::uint32_t n = counters_.Increment(lane.seg, PacketCounters::kCompressed);
      if (showCounts) ctx_.grid.SetCounterCell(1, n, CounterGrid::kFoColumn);
    } else {
      const std::uint32_t n = counters_.Increment(lane.seg, PacketCounters::kUncompressed);
      if (showCounts) ctx_.grid.SetCounterCell(1, n, CounterGrid::kCashColumn);
    }

    figures.packetsFramed.AddSerialised();  // under the lane's lock
    const int length = std::clamp(p.msgLen, 0, p.owned - pk::kMessageAt);
    // What the decoder may read past the bytes a decompression produced (the
    // two header bytes a whole message's MessageLength counts, or the rest a
    // lying one claims) reads as zero, never as an earlier packet's bytes.
    std::uint8_t* plain = p.message - pk::kMessageAt;
    const int seen = pk::kMessageAt + length;
    if (seen > p.produced) std::memset(plain + p.produced, 0, static_cast<std::size_t>(seen - p.produced));
    lane.decoder(p.message, length, receivedAtNs);
  }
}

// The one place that reads a packet's bounds. d[0 .. end-1] are the framed
// bytes and pos is where the packet's compLen field starts; on kMessage and
// kUndecompressed pos has moved past the packet. Converts compLen and (once
// there is a whole plain head) the four header fields in place.
Framing::PacketRead Framing::NextPacket(Lane& lane, std::uint8_t* d, int end, int& pos, Packet& p) {
  if (end - pos < dg::kCompLenSize) return PacketRead::kRunsPast;
  p.at = pos;
  ToHost16(d + pos);
  p.compLen = Load16(d + pos);
  pos += dg::kCompLenSize;

  std::uint8_t* plain;
  if (p.compLen > 0) {
    if (p.compLen > end - pos) return PacketRead::kRunsPast;
    p.out = DecompressPacket(lane.output, lane.outputSize, d + pos, p.compLen);
    pos += p.compLen;
    if (p.out < kPlainHead) return PacketRead::kUndecompressed;
    plain = lane.output;
    p.owned = lane.outputSize;
    p.produced = p.out;
  } else {
    if (end - pos < kPlainHead) return PacketRead::kRunsPast;
    plain = d + pos;
    p.owned = end - pos;
    p.produced = p.owned;
  }

  p.message = plain + pk::kMessageAt;
  ToHost16(p.message + hd::kTransactionCode);
  ToHost16(p.message + hd::kMessageLength);
  ToHost32(p.message + hd::kLogTime);
  ToHost16(p.message + hd::kErrorCode);
  p.trx = Load16(p.message + hd::kTransactionCode);
  p.msgLen = Load16(p.message + hd::kMessageLength);

  if (p.compLen <= 0) {
    // An uncompressed packet's own length is the only way to the next one.
    if (p.msgLen < hd::kSize) return PacketRead::kShortMessage;
    if (p.msgLen + pk::kUncompressedExtra > end - pos) return PacketRead::kRunsPast;
    pos += p.msgLen + pk::kUncompressedExtra;
  }
  return PacketRead::kMessage;
}

// Writes "%02x " of every dumpStep-th byte of from[0 .. count-1], each taken as
// a signed 8-bit value widened to 32 bits ("ffffff80 " for 0x80), then "\n".
void Framing::Dump(const Lane& lane, const std::uint8_t* from, int count) {
  static constexpr char kHex[] = "0123456789abcdef";
  ctx_.files.With(lane.seg, SegmentFiles::kBpackCounterFile, [&](std::FILE* f) {
    char text[1024];
    std::size_t n = 0;
    for (int j = 0; j < count; j += lane.dumpStep) {
      if (n + 16 > sizeof text) {
        std::fwrite(text, 1, n, f);
        n = 0;
      }
      const std::uint8_t b = from[j];
      if (b >= 0x80) {
        for (int k = 0; k < 6; ++k) text[n++] = 'f';
      }
      text[n++] = kHex[b >> 4];
      text[n++] = kHex[b & 0x0f];
      text[n++] = ' ';
    }
    text[n++] = '\n';
    std::fwrite(text, 1, n, f);
    std::fflush(f);
  });
}

}  // namespace fh
