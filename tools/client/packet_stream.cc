#include "client/packet_stream.h"

#include <charconv>
#include <cstdio>
#include <string_view>

#include "nse/byteorder.h"
#include "nse/layouts.h"

namespace fh::tools {

namespace {

// The NSE packets a Bridge receives, by segment code and transaction code:
// what they carry, the classic form's packet length (0: none), and today's
// form (null: none) with its record size and capacity, or for a message
// without records (record size 0) its whole MessageLength.
struct NseKind {
  int segmentCode, code;
  const char* name;
  int classicLength;
  const char* today = nullptr;
  int recordSize = 0, capacity = 0, wholeLength = 0;
};

constexpr int kCm = forwarded::kSegmentCm, kFo = forwarded::kSegmentFo, kCd = forwarded::kSegmentCd;
namespace cm = nse::cm;
namespace fo = nse::fo;
constexpr const char *kMarketWatch = "market watch", *kTicker = "ticker", *kMarketByPrice = "market by price",
                     *kSpread = "spread market by price", *kIndustry = "industry index", *kIndices = "indices";
constexpr NseKind kNseKinds[] = {
    {kCm, 7201, kMarketWatch, cm::mw::kPacketLength, "CM6", cm::mwWide::kRecordSize, cm::mwWide::kCapacity},
    {kCm, 7202, kTicker, cm::ticker::kPacketLength},
    {kCm, 18703, kTicker, 0, "CM6", cm::ticker18703::kRecordSize, cm::ticker18703::kCapacity},
    {kCm, 7203, kIndustry, cm::industry::kPacketLength},
    {kCm, 7207, kIndices, cm::indices::kPacketLength},
    {kCm, 7208, kMarketByPrice, cm::mbp::kPacketLength, "CM6", cm::mbpWide::kRecordSize, cm::mbpWide::kCapacity},
    {kFo, 7201, kMarketWatch, fo::mw::kPacketLength, "FO9.48", fo::mwWide::kRecordSize, fo::mwWide::kCapacity},
    {kFo, 17201, kMarketWatch, 0, "FO9.43", fo::mw17201::kRecordSize, fo::mw17201::kCapacity},
    {kFo, 7202, kTicker, fo::ticker::kPacketLength},
    {kFo, 17202, kTicker, 0, "FO9.43", fo::ticker17202::kRecordSize, fo::ticker17202::kCapacity},
    {kFo, 7203, kIndustry, fo::industry::kPacketLength},
    {kFo, 7207, kIndices, fo::indices::kPacketLength},
    {kFo, 7208, kMarketByPrice, fo::mbp::kPacketLength},
    {kFo, 17208, kMarketByPrice, 0, "FO9.48", fo::mbp17208::kRecordSize, fo::mbp17208::kCapacity},
    {kFo, 7211, kSpread, fo::spread::kPacketLength},
    {kFo, 17211, kSpread, 0, "FO9.48", 0, 0, nse::WireLength(fo::spread17211::kMessageLength)},
    {kCd, 7201, kMarketWatch, fo::mw::kPacketLength},
    {kCd, 7202, kTicker, fo::ticker::kPacketLength},
    {kCd, 7208, kMarketByPrice, fo::mbp::kPacketLength},
    {kCd, 7211, kSpread, fo::spread::kPacketLength},
    {kCd, 7213, "currency value", nse::cd::v7213::kPacketLength},
};

const NseKind* FindKind(int segmentCode, int code) {
  for (const NseKind& k : kNseKinds) {
    if (k.segmentCode == segmentCode && k.code == code) return &k;
  }
  return nullptr;
}

// The form a packet of `length` bytes has: the classic one at its fixed
// length, today's whole or trimmed to 1 .. capacity records.
const char* FormOf(const NseKind& k, int length) {
  if (k.classicLength != 0 && length == k.classicLength) return "classic";
  if (k.today == nullptr) return "unknown";
  if (k.recordSize == 0) return length == nse::PacketLengthOfMessageLength(k.wholeLength) ? k.today : "unknown";
  for (int n = 1; n <= k.capacity; ++n) {
    const int messageLength = nse::WireLength(nse::records::kRecordsAt + n * k.recordSize);
    if (length == nse::PacketLengthOfMessageLength(messageLength)) return k.today;
  }
  return "unknown";
}

// Market by price: the token and the best bid (entry 0) and ask (entry 5) of
// the first record, as the decoder converted them to host order. Today's
// records have a 4-byte token and 16-byte depth entries with 8-byte quantities.
void DescribeBook(const std::uint8_t* packet, int length, PacketInfo* info) {
  if (info->exchange != forwarded::kExchangeNse || info->name != kMarketByPrice || info->form == nullptr) return;
  const std::string_view form = info->form;
  if (form == "unknown") return;
  const bool today = form != "classic";
  const bool cm = info->segment == forwarded::kSegmentCm;
  int recordSize = cm ? cm::mbp::kRecordSize : fo::mbp::kRecordSize;
  int mbpAt = cm ? cm::mbp::kMbpInfoAt : fo::mbp::kMbpInfoAt;
  int entrySize = nse::mbpinfo::kSize, quantityAt = nse::mbpinfo::kQuantity, priceAt = nse::mbpinfo::kPrice;
  if (today) {
    recordSize = cm ? cm::mbpWide::kRecordSize : fo::mbp17208::kRecordSize;
    mbpAt = nse::wideMbp::kMbpInfoAt;
    entrySize = nse::wideMbpInfo::kSize, quantityAt = nse::wideMbpInfo::kQuantity, priceAt = nse::wideMbpInfo::kPrice;
  }
  const int sellAt = mbpAt + cm::mbp::kMbpSellAt * entrySize;
  // The body holds the converted message from offset 38 on.
  const std::uint8_t* message = packet + forwarded::kBodyAt - nse::header::kBodyAt;
  const int needed = forwarded::kBodyAt - nse::header::kBodyAt + nse::records::kRecordsAt + recordSize;
  if (length < needed || Load16(message + nse::records::kNoOfRecords) < 1) return;
  const std::uint8_t* rec = message + nse::records::kRecordsAt;
  info->hasBook = true;
  info->token = cm && !today ? Load16(rec + cm::mbp::kToken) : Load32(rec + fo::mbp::kToken);
  const auto quantity = [today](const std::uint8_t* p) -> long long { return today ? Load64(p) : Load32(p); };
  info->bidQuantity = quantity(rec + mbpAt + quantityAt);
  info->bidPrice = Load32(rec + mbpAt + priceAt);
  info->askQuantity = quantity(rec + sellAt + quantityAt);
  info->askPrice = Load32(rec + sellAt + priceAt);
}

}  // namespace

PacketInfo DescribePacket(const std::uint8_t* packet, int length) {
  PacketInfo info;
  info.length = length;
  if (length < forwarded::kHeaderSize) return info;
  info.exchange = static_cast<std::uint16_t>(Load16(packet + forwarded::kExchangeCode));
  info.segment = static_cast<std::uint16_t>(Load16(packet + forwarded::kSegmentCode));
  info.code = static_cast<std::uint16_t>(Load16(packet + forwarded::kTransactionCode));
  if (info.exchange == forwarded::kExchangeNse) {
    const NseKind* kind = FindKind(info.segment, info.code);
    info.name = kind != nullptr ? kind->name : nullptr;
    info.form = kind != nullptr ? FormOf(*kind, length) : "unknown";
  }
  DescribeBook(packet, length, &info);
  return info;
}

std::string FormatPacket(const PacketInfo& info) {
  char line[240];
  int n = std::snprintf(line, sizeof line, "pkt %s seg=%d code=%d",
                        info.exchange == forwarded::kExchangeNse   ? "NSE"
                        : info.exchange == forwarded::kExchangeBse ? "BSE"
                                                                   : "???",
                        info.segment, info.code);
  const auto append = [&](const char* format, auto... args) {
    if (n > 0 && n < static_cast<int>(sizeof line))
      n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), format, args...);
  };
  if (info.form != nullptr) append(" (%s, %s)", info.name != nullptr ? info.name : "not named", info.form);
  append(" len=%d", info.length);
  if (info.hasBook) {
    append(" token=%d bid=%dx%lld ask=%dx%lld", info.token, info.bidPrice, info.bidQuantity, info.askPrice,
           info.askQuantity);
  }
  return line;
}

std::string KindName(const std::string& kind) {
  int exchange = 0, segment = 0, code = 0;
  if (std::sscanf(kind.c_str(), "%d %d %d", &exchange, &segment, &code) != 3) return kind;
  char text[96];
  if (exchange != forwarded::kExchangeNse) {
    std::snprintf(text, sizeof text, "%s %d %d", exchange == forwarded::kExchangeBse ? "BSE" : "???", segment, code);
    return text;
  }
  const NseKind* k = FindKind(segment, code);
  std::snprintf(text, sizeof text, "NSE %s %d%s%s", segment == kCm ? "CM" : segment == kFo ? "FO" : segment == kCd ? "CD" : "??",
                code, k != nullptr ? " " : "", k != nullptr ? k->name : "");
  return text;
}

namespace {

bool ParseNumber(std::string_view text, long long* out) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, *out);
  return ec == std::errc() && p == end;
}

}  // namespace

bool ParseDeltaLine(std::string_view line, bool prefixed, int* segment, std::vector<DeltaItem>* items) {
  items->clear();
  *segment = -1;
  const auto first = line.find(',');
  if (first == std::string_view::npos) return false;
  if (prefixed) {
    long long seg = 0;
    if (!ParseNumber(line.substr(0, first), &seg)) return false;
    *segment = static_cast<int>(seg);
  } else if (first != 0) {
    return false;
  }
  std::size_t at = first;
  while (at < line.size()) {
    // line[at] is the comma that opens an item.
    const auto bar = line.find('|', at + 1);
    if (bar == std::string_view::npos) return false;
    auto next = line.find(',', bar + 1);
    if (next == std::string_view::npos) next = line.size();
    DeltaItem item;
    item.key = line.substr(at + 1, bar - at - 1);
    item.value = line.substr(bar + 1, next - bar - 1);
    item.isChange = ParseNumber(item.value, &item.number);
    items->push_back(item);
    at = next;
  }
  return !items->empty();
}

void ClientView::AddPacket(const PacketInfo& info) {
  char key[64];
  const int n = std::snprintf(key, sizeof key, "%d %d %d", info.exchange, info.segment, info.code);
  auto& c = packetsByKind[key];
  ++c.packets;
  c.bytes += info.length;
  if (info.form != nullptr && n > 0 && n < static_cast<int>(sizeof key)) {
    std::snprintf(key + n, sizeof key - static_cast<std::size_t>(n), " %s", info.form);
    auto& f = packetsByForm[key];
    ++f.packets;
    f.bytes += info.length;
  }
  ++packets;
  bytes += info.length;
}

bool ClientView::AddDeltaLine(int port, std::string_view line) {
  const bool subscribed = port != 2007;
  ++deltaLines[subscribed ? 1 : 0];
  int segment = -1;
  std::vector<DeltaItem> items;
  if (!ParseDeltaLine(line, subscribed, &segment, &items)) {
    ++malformedLines;
    return false;
  }
  for (const auto& item : items) {
    ++deltaItems;
    if (!item.isChange) {
      ++newInstruments;
      if (subscribed) newKeys.insert("2017 " + std::to_string(segment) + " " + std::string(item.key));
      continue;
    }
    std::string key = subscribed ? "2017 " + std::to_string(segment) + " " : "2007 ";
    key.append(item.key);
    lastValue[key] = item.number;
  }
  return true;
}

std::string ClientView::Summary() const {
  std::string out;
  char line[160];
  std::snprintf(line, sizeof line, "total packets %lld bytes %lld delta2007 %lld delta2017 %lld items %lld new %lld malformed %lld\n",
                packets, bytes, deltaLines[0], deltaLines[1], deltaItems, newInstruments, malformedLines);
  out += line;
  for (const auto& [kind, c] : packetsByKind) {
    std::snprintf(line, sizeof line, "packets %s %lld %lld\n", kind.c_str(), c.packets, c.bytes);
    out += line;
  }
  for (const auto& [kind, c] : packetsByForm) {
    std::snprintf(line, sizeof line, "form %s %lld %lld\n", kind.c_str(), c.packets, c.bytes);
    out += line;
  }
  for (const std::string& key : newKeys) out += "new " + key + "\n";
  for (const auto& [key, value] : lastValue) {
    std::snprintf(line, sizeof line, "last %s %lld\n", key.c_str(), value);
    out += line;
  }
  return out;
}

}  // namespace fh::tools
