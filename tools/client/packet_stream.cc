#include "client/packet_stream.h"

#include <charconv>
#include <cstdio>

#include "nse/byteorder.h"
#include "nse/layouts.h"

namespace fh::tools {

namespace {

// Market by price: the token and the best bid (entry 0) and ask (entry 5) of
// the first record, as the decoder converted them to host order.
void DescribeBook(const std::uint8_t* packet, int length, PacketInfo* info) {
  if (info->exchange != forwarded::kExchangeNse || info->code != nse::code::kMarketByPrice) return;
  // The body holds the converted message from offset 38 on.
  const std::uint8_t* message = packet + forwarded::kBodyAt - nse::header::kBodyAt;
  const bool cm = info->segment == forwarded::kSegmentCm;
  const int recordSize = cm ? nse::cm::mbp::kRecordSize : nse::fo::mbp::kRecordSize;
  const int mbpAt = cm ? nse::cm::mbp::kMbpInfoAt : nse::fo::mbp::kMbpInfoAt;
  const int sellAt = mbpAt + nse::cm::mbp::kMbpSellAt * nse::cm::mbp::kMbpInfoSize;
  const int needed = forwarded::kBodyAt - nse::header::kBodyAt + nse::records::kRecordsAt + recordSize;
  if (length < needed || Load16(message + nse::records::kNoOfRecords) < 1) return;
  const std::uint8_t* rec = message + nse::records::kRecordsAt;
  info->hasBook = true;
  info->token = cm ? Load16(rec + nse::cm::mbp::kToken) : Load32(rec + nse::fo::mbp::kToken);
  info->bidQuantity = Load32(rec + mbpAt + nse::mbpinfo::kQuantity);
  info->bidPrice = Load32(rec + mbpAt + nse::mbpinfo::kPrice);
  info->askQuantity = Load32(rec + sellAt + nse::mbpinfo::kQuantity);
  info->askPrice = Load32(rec + sellAt + nse::mbpinfo::kPrice);
}

}  // namespace

PacketInfo DescribePacket(const std::uint8_t* packet, int length) {
  PacketInfo info;
  info.length = length;
  if (length < forwarded::kHeaderSize) return info;
  info.exchange = static_cast<std::uint16_t>(Load16(packet + forwarded::kExchangeCode));
  info.segment = static_cast<std::uint16_t>(Load16(packet + forwarded::kSegmentCode));
  info.code = static_cast<std::uint16_t>(Load16(packet + forwarded::kTransactionCode));
  DescribeBook(packet, length, &info);
  return info;
}

std::string FormatPacket(const PacketInfo& info) {
  char line[200];
  int n = std::snprintf(line, sizeof line, "pkt %s seg=%d code=%d len=%d",
                        info.exchange == forwarded::kExchangeNse   ? "NSE"
                        : info.exchange == forwarded::kExchangeBse ? "BSE"
                                                                   : "???",
                        info.segment, info.code, info.length);
  if (info.hasBook && n > 0 && n < static_cast<int>(sizeof line)) {
    std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), " token=%d bid=%dx%d ask=%dx%d", info.token,
                  info.bidPrice, info.bidQuantity, info.askPrice, info.askQuantity);
  }
  return line;
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
  char key[48];
  std::snprintf(key, sizeof key, "%d %d %d", info.exchange, info.segment, info.code);
  auto& c = packetsByKind[key];
  ++c.packets;
  c.bytes += info.length;
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
  for (const auto& [key, value] : lastValue) {
    std::snprintf(line, sizeof line, "last %s %lld\n", key.c_str(), value);
    out += line;
  }
  return out;
}

}  // namespace fh::tools
