// Framing of NSE broadcast datagrams: recording hook, packet counters, the
// split into packets, LZO1Z decompression, conversion of the four header
// fields the decoders rely on, and the call of the segment's decoder.
//
// A datagram (layout in nse/bcast_header.h) is handed to the framing of the
// segment its first byte names: FrameCmDatagram (net id 4), FrameFoDatagram
// (2), FrameCdDatagram (6); any other first byte goes to RecordUnknownDatagram.
// Per datagram the framing
//   1. appends the datagram to the segment's recording (SegmentFiles::kBinFile)
//      when options.writeBin is 1 and that file is open, and flushes it;
//   2. counts the datagram (FO and CD also show the count in the grid, row "0",
//      column 1, when options.pktCounters is 1);
//   3. checks the net id, then walks the packets of the whole datagram, in
//      place in the caller's bytes: each compressed packet is decompressed
//      into the segment's output buffer (CM 5120 bytes, FO/CD 1024 bytes); an
//      uncompressed packet is used where it lies. LogTime, TransactionCode,
//      ErrorCode and MessageLength are converted to host order in place,
//      packets with TransactionCode <= 0 are logged and skipped, compressed
//      packets longer than 512 bytes are hex-dumped into
//      SegmentFiles::kBpackCounterFile, the packet is counted (FO/CD grid row
//      "1": column 2 compressed, column 1 uncompressed) and the decoder is
//      called.
//
// Malformed datagrams are handled safely; every line below goes to the log:
//   - a datagram too short for its 4-byte head (or a negative length) is
//     recorded and counted, then dropped:
//       "FH : CM : datagram of %d bytes is too short, dropped";
//   - a packet whose compLen field, compressed bytes or plain header and body
//     would run past the datagram ends the framing of that datagram (packets
//     before it were decoded, noOfPackets may lie):
//       "FH : CM : packet %d of %d runs past the datagram (%d bytes), rest dropped";
//   - an uncompressed packet whose MessageLength is below the 40-byte header
//     gives no place for the next packet and ends the framing likewise:
//       "FH : CM : packet %d of %d has msglen=%d, shorter than its header, rest dropped";
//   - a compressed packet that does not decompress within the output buffer, or
//     decompresses into fewer than the 48 bytes of a plain packet's head, is
//     skipped (not counted, no decoder call); the next packet is still framed:
//       "FH : CM : packet %d of %d did not decompress into a message (icomlen=%d out=%d), skipped".
//   (With "FO" or "CD" in place of "CM".)
//
// Figures (FeedMetrics, by the lane's segment): packets handed to the
// decoder, packets that did not decompress, and the three malformed cases
// above (too short, runs past, short header); datagrams of no known net id
// count as segment 0's datagrams.
//
// What the decoder receives (see nse/decoder_entry.h): the message address (plain
// packet + 10) and MessageLength clamped to [0, bytes the framing owns after the
// message address]. Those bytes are the rest of the segment's output buffer for
// a compressed packet and the rest of the datagram for an uncompressed one, so
// a well-formed packet is handed its MessageLength unchanged, and the decoder
// may read and convert in place up to that length without leaving the
// framing's memory. Bytes of the output buffer that lie within that length but
// past what the decompression produced are zero. The hex dump covers the bytes
// from the packet's compLen field to the end of the datagram only.
//
// Thread safety: every member may be called from any thread. Each segment has
// one lock, held for the whole datagram (recording, counting, framing and the
// decoder call), so a segment's buffers and its decoder are used by one thread
// at a time even when two receivers get datagrams of the same segment. The
// segments do not block each other. Counters are relaxed atomics and may be
// read at any time. Nothing on the framing road allocates; log lines are
// formatted into 512-byte stack buffers.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "feedstate/feed_context.h"
#include "nse/decoder_entry.h"

namespace fh {

// Per-segment packet counts, 32 bits, never reset; they wrap after 2^32.
class PacketCounters {
 public:
  // seg is kSegNcm, kSegNfo or kSegNcd; any other value reads 0.
  std::uint32_t Datagrams(int seg) const { return Load(seg, kDatagrams); }
  std::uint32_t Compressed(int seg) const { return Load(seg, kCompressed); }
  std::uint32_t Uncompressed(int seg) const { return Load(seg, kUncompressed); }

 private:
  friend class Framing;
  enum Kind { kDatagrams = 0, kCompressed = 1, kUncompressed = 2, kKinds = 3 };
  static constexpr int kSegs = 4;  // indexed by ExgSeg 1..3

  std::uint32_t Load(int seg, Kind kind) const {
    if (seg < 1 || seg >= kSegs) return 0;
    return counts_[seg][kind].load(std::memory_order_relaxed);
  }
  std::uint32_t Increment(int seg, Kind kind) {
    return counts_[seg][kind].fetch_add(1, std::memory_order_relaxed) + 1;
  }

  std::atomic<std::uint32_t> counts_[kSegs][kKinds] = {};
};

class Framing {
 public:
  static constexpr int kCmOutputSize = 5120;
  static constexpr int kFoCdOutputSize = 1024;
  static constexpr int kDumpAbove = 512;  // compLen above this is hex-dumped

  // ctx must outlive the framing. Every decoder entry starts empty (packets
  // are framed and counted, nothing is decoded).
  explicit Framing(FeedContext& ctx);
  Framing(const Framing&) = delete;
  Framing& operator=(const Framing&) = delete;

  // Plugs in the decoder of seg (kSegNcm, kSegNfo or kSegNcd; other values are
  // ignored). Takes the segment's lock, so it may be called while receivers
  // run; the next datagram uses the new entry.
  void SetDecoder(int seg, DecoderEntry entry);

  // Whether a datagram's recording is flushed at once, or by the caller's
  // FlushRecording at the end of its batch (before its next receive).
  enum class Flush { kNow, kLater };

  // One datagram of len bytes each, of any size; always return 0. Header
  // fields are converted in place in data (the caller's buffer is left
  // converted), after the recording took the datagram as it arrived.
  // receivedAtNs: when the datagram arrived (CLOCK_REALTIME ns, 0 unknown),
  // handed to the decoder with each of its messages.
  int FrameCmDatagram(std::uint8_t* data, int len, Flush flush = Flush::kNow, std::int64_t receivedAtNs = 0);
  int FrameFoDatagram(std::uint8_t* data, int len, Flush flush = Flush::kNow, std::int64_t receivedAtNs = 0);
  int FrameCdDatagram(std::uint8_t* data, int len, Flush flush = Flush::kNow, std::int64_t receivedAtNs = 0);

  // A datagram of no known net id: appended to segment 0's recording when
  // writeBin is 1 and that file is open. Always returns 0.
  int RecordUnknownDatagram(const std::uint8_t* data, int len, Flush flush = Flush::kNow);

  // Flushes seg's recording (kSegUnknown .. kSegNcd).
  void FlushRecording(int seg);
  // The receiver's batch ends, or moves on to another segment: seg's decoder
  // hands over the output it held back (under the segment's lock). A
  // datagram framed with Flush::kNow is followed by this at once.
  void EndBatch(int seg);

  const PacketCounters& Counters() const { return counters_; }

 private:
  struct Lane;
  // One packet as NextPacket found it.
  struct Packet {
    int at = 0;         // offset of its compLen field in the framed bytes
    int compLen = 0;
    int out = 0;        // bytes decompressed (compressed packets)
    std::uint8_t* message = nullptr;  // plain packet + 10
    int owned = 0;      // bytes the framing owns from the plain packet on
    int produced = 0;   // of those, the bytes that hold the packet's data
    int trx = 0;
    int msgLen = 0;
  };
  enum class PacketRead {
    kMessage,         // a packet with its header in host order
    kUndecompressed,  // compressed bytes that gave no plain head: skip it
    kRunsPast,        // compLen field, compressed bytes or plain packet pass the end
    kShortMessage,    // uncompressed, MessageLength below the header: no way on
  };
  int Frame(Lane& lane, std::uint8_t* data, int len, Flush flush, std::int64_t receivedAtNs);
  void FrameLocked(Lane& lane, std::uint8_t* d, int len, Flush flush, std::int64_t receivedAtNs);
  void Record(int seg, const std::uint8_t* data, int len, Flush flush);
  PacketRead NextPacket(Lane& lane, std::uint8_t* d, int end, int& pos, Packet& p);
  void Dump(const Lane& lane, const std::uint8_t* from, int count);
  Lane* LaneOf(int seg);

  struct Lane {
    int seg;
    unsigned char netId;
    const char* name;         // "CM", "FO", "CD"
    const char* unexpected;   // "FO in CM", "CM in FO", "CM in CD"
    bool showsGrid;           // FO and CD show their counts at once
    int dumpStep;             // CM dumps every byte, FO and CD every second one
    std::uint8_t* output;
    int outputSize;
    std::mutex mutex;
    DecoderEntry decoder;
  };

  FeedContext& ctx_;
  PacketCounters counters_;

  std::uint8_t cmOutput_[kCmOutputSize] = {};
  std::uint8_t foOutput_[kFoCdOutputSize] = {};
  std::uint8_t cdOutput_[kFoCdOutputSize] = {};

  Lane cm_;
  Lane fo_;
  Lane cd_;
};

}  // namespace fh
