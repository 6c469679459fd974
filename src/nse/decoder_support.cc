#include "nse/decoder_support.h"

#include <charconv>
#include <cstdio>

#include "feedstate/counter_grid.h"

namespace fh::nse {

void DeltaLines::AppendAll(const char* item, int length) {
  if (allLength_ + length > kLineLimit) SendAll();
  std::memcpy(all_ + allLength_, item, static_cast<std::size_t>(length));
  allLength_ += length;
  all_[allLength_] = '\0';
}

void DeltaLines::AppendSubscribed(const char* item, int length) {
  if (subLength_ + length > kLineLimit) SendSubscribed();
  std::memcpy(sub_ + subLength_, item, static_cast<std::size_t>(length));
  subLength_ += length;
  sub_[subLength_] = '\0';
}

void DeltaLines::SendAll() {
  if (allLength_ > 0 && bcastDelta_.load(std::memory_order_relaxed) != 0) out_.SendDeltaAll(segment_, all_);
  allLength_ = 0;
  all_[0] = '\0';
}

void DeltaLines::SendSubscribed() {
  if (subLength_ > 0 && bcastDelta_.load(std::memory_order_relaxed) != 0) {
    out_.SendDeltaSubscribed(segment_, sub_, sizeof sub_);
  }
  subLength_ = 0;
  sub_[0] = '\0';
}

void DeltaLines::Send() {
  SendAll();
  SendSubscribed();
}

int FormatChangeItem(char* out, std::int32_t token, std::int32_t value) {
  char* p = out;
  *p++ = ',';
  p = std::to_chars(p, out + kChangeItemSize, token).ptr;
  *p++ = '|';
  p = std::to_chars(p, out + kChangeItemSize, value).ptr;
  *p = '\0';
  return static_cast<int>(p - out);
}

void PacketStage::Build(const std::uint8_t* head, const std::uint8_t* work, int workLength, int packetLength) {
  PrepareForwardedHeader(bytes_, head, segmentCode_, divisor_);
  SetForwardedLength(bytes_, packetLength);
  const int body = ForwardedBodyLength(packetLength);
  const int have = std::clamp(workLength - header::kBodyAt, 0, body);
  if (have > 0) std::memcpy(bytes_ + forwarded::kBodyAt, work + header::kBodyAt, static_cast<std::size_t>(have));
  if (have < body) std::memset(bytes_ + forwarded::kBodyAt + have, 0, static_cast<std::size_t>(body - have));
  length_ = packetLength;
}

ReportedCodes::ReportedCodes(const char* initial) {
  const std::size_t n = std::min(std::strlen(initial), static_cast<std::size_t>(kSize - 1));
  std::memcpy(text_, initial, n);
  length_ = static_cast<int>(n);
  text_[length_] = '\0';
}

bool ReportedCodes::Add(int code) {
  char digits[16];
  char* end = std::to_chars(digits, digits + sizeof digits - 1, code).ptr;
  *end = '\0';
  if (std::strstr(text_, digits) != nullptr) return false;
  const int n = static_cast<int>(end - digits);
  if (length_ + n + 1 >= kSize) return false;  // full: the code and its comma must fit with the terminator
  std::memcpy(text_ + length_, digits, static_cast<std::size_t>(n));
  length_ += n;
  text_[length_++] = ',';
  text_[length_] = '\0';
  return true;
}

void SetViewNumber(CounterGrid& grid, int row, int col, long long value) {
  grid.SetCellNumber(row * grid.Cols() + col, value);
}

void SetViewDouble(CounterGrid& grid, int row, int col, double value) {
  char text[64];
  const int n = std::snprintf(text, sizeof text, "%.0f", value);
  if (n < 0) return;
  grid.SetCellText(row * grid.Cols() + col, std::string_view(text, std::min<std::size_t>(n, sizeof text - 1)));
}

void ShowMarketWatch(CounterGrid& grid, const std::uint8_t* r, const MarketWatchFields& f) {
  SetViewNumber(grid, view::kPrices, view::kCol1, Load32(r + f.buyPrice));
  SetViewNumber(grid, view::kPrices, view::kCol2, Load32(r + f.sellPrice));
  SetViewNumber(grid, view::kQuantities, view::kCol1, Load32(r + f.buyVolume));
  SetViewNumber(grid, view::kQuantities, view::kCol2, Load32(r + f.sellVolume));
  SetViewNumber(grid, view::kLast, view::kCol1, Load32(r + f.lastTradedPrice));
}

void ShowTicker(CounterGrid& grid, const std::uint8_t* r, const TickerFields& f) {
  SetViewNumber(grid, view::kLast, view::kCol1, Load32(r + f.fillPrice));
  SetViewNumber(grid, view::kLast, view::kCol2, Load32(r + f.fillVolume));
}

void ShowMarketByPrice(CounterGrid& grid, const std::uint8_t* r, const MarketByPriceFields& f) {
  const std::uint8_t* best = r + f.mbpInfoAt;
  const std::uint8_t* bestSell = r + f.mbpInfoAt + f.sellAt * f.infoSize;
  SetViewNumber(grid, view::kPrices, view::kCol1, Load32(best + mbpinfo::kPrice));
  SetViewNumber(grid, view::kPrices, view::kCol2, Load32(bestSell + mbpinfo::kPrice));
  SetViewNumber(grid, view::kQuantities, view::kCol1, Load32(best + mbpinfo::kQuantity));
  SetViewNumber(grid, view::kQuantities, view::kCol2, Load32(bestSell + mbpinfo::kQuantity));
  SetViewNumber(grid, view::kLast, view::kCol1, Load32(r + f.lastTradedPrice));
  SetViewNumber(grid, view::kLast, view::kCol2, Load32(r + f.lastTradeQuantity));
  SetViewNumber(grid, view::kVolume, view::kCol1, Load32(r + f.volumeTradedToday));
  SetViewNumber(grid, view::kVolume, view::kCol2, Load32(r + f.lastTradeTime));
}

}  // namespace fh::nse
