// Exchange segments and the names formed from them.
// Thread safety: constants and pure functions only.
#pragma once

namespace fh {

// One number names a segment everywhere: file tables, receiver arguments, log
// lines ("ExgSeg=%d") and the choice of decoder.
enum ExgSeg : int {
  kSegUnknown = 0,  // datagrams of no known net id
  kSegNcm = 1,      // NSE capital market, net id 4
  kSegNfo = 2,      // NSE futures and options, net id 2
  kSegNcd = 3,      // NSE currency derivatives, net id 6
  kSegBcm = 4,      // BSE: cash, F&O and CD on one feed
};

inline constexpr int kSegmentCount = 5;  // 0..4 are used

// First byte of an NSE datagram.
inline constexpr unsigned char kNetIdCm = 4;
inline constexpr unsigned char kNetIdFo = 2;
inline constexpr unsigned char kNetIdCd = 6;

// The segment an NSE datagram's first byte names; kSegUnknown for any other.
constexpr int SegmentOfNetId(unsigned char netId) {
  switch (netId) {
    case kNetIdCm: return kSegNcm;
    case kNetIdFo: return kSegNfo;
    case kNetIdCd: return kSegNcd;
    default: return kSegUnknown;
  }
}

// Suffix by segment: "NCM", "NFO", "NCD", "BCM"; nullptr for 0 and others.
const char* SegmentSuffix(int seg);

// The instance-port table: 1 or 30001 -> "NCM", 2 or 30002 -> "NFO",
// 4 or 30004 -> "BCM"; any other value names no file (nullptr).
const char* SuffixForSelector(int selector);

}  // namespace fh
