#include "replay/replay_source.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <optional>

#include "common/tool_net.h"
#include "feedstate/exg_seg.h"
#include "nse/bcast_header.h"
#include "nse/byteorder.h"

namespace fh::tools {

namespace {

// Frame and header sizes of the link layers and protocols read here.
constexpr std::size_t kEthernetHeader = 14;
constexpr std::size_t kEthernetTypeAt = 12;
constexpr std::size_t kVlanTag = 4;
constexpr std::size_t kSllHeader = 16;
constexpr std::size_t kSllTypeAt = 14;
constexpr std::size_t kNullHeader = 4;
constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::uint16_t kEtherTypeVlan = 0x8100;
constexpr std::size_t kIpMinHeader = 20;
constexpr std::size_t kIpTotalLengthAt = 2;
constexpr std::size_t kIpFragmentAt = 6;
constexpr std::size_t kIpProtocolAt = 9;
constexpr std::size_t kIpDestinationAt = 16;
constexpr std::uint8_t kProtocolUdp = 17;
constexpr std::uint16_t kMoreFragments = 0x2000;
constexpr std::uint16_t kFragmentOffsetMask = 0x1fff;
constexpr std::size_t kUdpHeader = 8;
constexpr std::size_t kUdpDestPortAt = 2;
constexpr std::size_t kUdpLengthAt = 4;

std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

// Where the datagram that starts at `at` ends by its structure (before any
// padding), or nothing when it runs past the file, past kMaxUdpPayload bytes,
// or holds a plain packet shorter than its header.
std::optional<std::size_t> WalkNseDatagram(std::span<const std::uint8_t> file, std::size_t at) {
  namespace d = nse::datagram;
  constexpr std::size_t kLengthAt = nse::packet::kMessageAt + nse::header::kMessageLength;
  const std::size_t limit = std::min(file.size(), at + static_cast<std::size_t>(kMaxUdpPayload));
  if (at + d::kPacketsAt > limit) return std::nullopt;
  const int packets = LoadBe16(file.data() + at + d::kNoOfPackets);
  std::size_t pos = at + d::kPacketsAt;
  for (int i = 0; i < packets; ++i) {
    if (pos + d::kCompLenSize > limit) return std::nullopt;
    const int compLen = LoadBe16(file.data() + pos);
    pos += d::kCompLenSize;
    if (compLen > 0) {
      pos += static_cast<std::size_t>(compLen);
    } else {
      if (pos + kLengthAt + 2 > limit) return std::nullopt;
      const int messageLength = LoadBe16(file.data() + pos + kLengthAt);
      if (messageLength < nse::header::kSize) return std::nullopt;
      pos += static_cast<std::size_t>(nse::packet::kUncompressedExtra + messageLength);
    }
    if (pos > limit) return std::nullopt;
  }
  return pos;
}

bool IsNetId(std::uint8_t b) { return b == kNetIdCm || b == kNetIdFo || b == kNetIdCd; }

// A datagram's end with the zero padding after it.
std::size_t WithPadding(std::span<const std::uint8_t> file, std::size_t at, std::size_t end) {
  const std::size_t limit = std::min(file.size(), at + static_cast<std::size_t>(kMaxUdpPayload));
  while (end < limit && file[end] == 0) ++end;
  return end;
}

// Whether a datagram surely starts at `at`: a known net id, a walk, and after
// it the end of the file or another datagram that walks.
bool SureStart(std::span<const std::uint8_t> file, std::size_t at) {
  if (!IsNetId(file[at])) return false;
  const auto end = WalkNseDatagram(file, at);
  if (!end) return false;
  const std::size_t next = WithPadding(file, at, *end);
  return next == file.size() || WalkNseDatagram(file, next).has_value();
}
std::uint32_t Be32(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

std::vector<std::span<const std::uint8_t>> SplitBinRecords(std::span<const std::uint8_t> file, int recordSize) {
  std::vector<std::span<const std::uint8_t>> records;
  if (recordSize <= 0) return records;
  const std::size_t size = static_cast<std::size_t>(recordSize);
  for (std::size_t at = 0; at < file.size(); at += size) records.push_back(file.subspan(at, std::min(size, file.size() - at)));
  return records;
}

std::vector<std::span<const std::uint8_t>> SplitNseRecording(std::span<const std::uint8_t> file,
                                                             long long* guessed) {
  constexpr std::size_t kFallback = 512;  // the exchange's datagram size
  std::vector<std::span<const std::uint8_t>> records;
  std::size_t at = 0;
  while (at < file.size()) {
    std::size_t end = 0;
    if (const auto walked = WalkNseDatagram(file, at)) {
      end = WithPadding(file, at, *walked);
    } else {
      if (guessed != nullptr) ++*guessed;
      const std::size_t limit = std::min(file.size(), at + static_cast<std::size_t>(kMaxUdpPayload));
      end = at + 1;
      while (end < limit && !SureStart(file, end)) ++end;
      if (end == limit && limit < file.size()) end = std::min(file.size(), at + kFallback);
    }
    records.push_back(file.subspan(at, end - at));
    at = end;
  }
  return records;
}

bool ParseUdpFrame(int linkType, const std::uint8_t* frame, std::size_t captured, std::size_t wireLength,
                   CapturedDatagram* out) {
  if (captured < wireLength) return false;  // cut short by the snapshot length
  std::size_t ip = 0;
  switch (linkType) {
    case DLT_EN10MB: {
      if (captured < kEthernetHeader) return false;
      std::size_t typeAt = kEthernetTypeAt;
      std::uint16_t type = Be16(frame + typeAt);
      ip = kEthernetHeader;
      while (type == kEtherTypeVlan) {
        typeAt += kVlanTag;
        ip += kVlanTag;
        if (captured < ip) return false;
        type = Be16(frame + typeAt);
      }
      if (type != kEtherTypeIpv4) return false;
      break;
    }
    case DLT_LINUX_SLL:
      if (captured < kSllHeader || Be16(frame + kSllTypeAt) != kEtherTypeIpv4) return false;
      ip = kSllHeader;
      break;
    case DLT_RAW:
      ip = 0;
      break;
    case DLT_NULL:
      ip = kNullHeader;
      break;
    default:
      return false;
  }
  if (captured < ip + kIpMinHeader) return false;
  const std::uint8_t* h = frame + ip;
  if ((h[0] >> 4) != 4) return false;
  const std::size_t ihl = static_cast<std::size_t>(h[0] & 0x0f) * 4;
  const std::size_t total = Be16(h + kIpTotalLengthAt);
  if (ihl < kIpMinHeader || total < ihl + kUdpHeader || ip + total > captured) return false;
  const std::uint16_t fragment = Be16(h + kIpFragmentAt);
  if ((fragment & kMoreFragments) != 0 || (fragment & kFragmentOffsetMask) != 0) return false;
  if (h[kIpProtocolAt] != kProtocolUdp) return false;
  const std::uint8_t* udp = h + ihl;
  const std::size_t udpLength = Be16(udp + kUdpLengthAt);
  if (udpLength < kUdpHeader || udpLength > total - ihl) return false;
  out->dstAddress = Be32(h + kIpDestinationAt);
  out->dstPort = Be16(udp + kUdpDestPortAt);
  out->payload.assign(udp + kUdpHeader, udp + udpLength);
  return true;
}

PcapReader::~PcapReader() {
  if (pcap_ != nullptr) pcap_close(static_cast<pcap_t*>(pcap_));
}

bool PcapReader::Open(const std::string& path, std::string* error) {
  char text[PCAP_ERRBUF_SIZE] = {};
  pcap_t* p = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, text);
  if (p == nullptr) {
    *error = text;
    return false;
  }
  pcap_ = p;
  linkType_ = pcap_datalink(p);
  return true;
}

std::optional<CapturedDatagram> PcapReader::Next() {
  if (pcap_ == nullptr) return std::nullopt;
  for (;;) {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    const int r = pcap_next_ex(static_cast<pcap_t*>(pcap_), &header, &data);
    if (r != 1) return std::nullopt;  // end of file or a read error
    CapturedDatagram d;
    if (!ParseUdpFrame(linkType_, data, header->caplen, header->len, &d)) {
      ++skipped_;
      continue;
    }
    d.timeNs = static_cast<std::int64_t>(header->ts.tv_sec) * 1000000000 + header->ts.tv_usec;  // nano precision
    return d;
  }
}

}  // namespace fh::tools
