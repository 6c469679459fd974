#include "nse/layouts.h"

#include <gtest/gtest.h>

namespace fh::nse {
namespace {

TEST(ForwardedPacketLength, FollowsTheTableOfEachSegment) {
  struct Row { int segment, code, length; };
  const Row rows[] = {{1, 7201, 448}, {1, 7202, 496}, {1, 7203, 490}, {1, 7207, 480}, {1, 7208, 472},
                      {2, 7201, 478}, {2, 7202, 490}, {2, 7203, 448}, {2, 7207, 480}, {2, 7208, 476},
                      {2, 7211, 210}, {3, 7201, 478}, {3, 7202, 490}, {3, 7208, 476}, {3, 7211, 210},
                      {3, 7213, 82}};
  for (const Row& r : rows) EXPECT_EQ(ForwardedPacketLength(r.segment, r.code), r.length) << r.segment << " " << r.code;
  EXPECT_EQ(ForwardedPacketLength(1, 7211), 0);
  EXPECT_EQ(ForwardedPacketLength(2, 7213), 0);
  EXPECT_EQ(ForwardedPacketLength(3, 7203), 0);
  EXPECT_EQ(ForwardedPacketLength(3, 7207), 0);
  EXPECT_EQ(ForwardedPacketLength(4, 7201), 0);
}

TEST(BuildForwardedHeader, CopiesTheHeaderFieldsAndStopsAtTheLength) {
  std::uint8_t message[header::kBodyAt];
  for (int i = 0; i < header::kBodyAt; ++i) message[i] = static_cast<std::uint8_t>(i + 1);
  std::uint8_t out[forwarded::kHeaderSize + 1];
  out[forwarded::kHeaderSize] = 0xA5;
  EXPECT_EQ(BuildForwardedHeader(out, message, kSegmentCodeCd, kDivisorCd, 36), 82);
  EXPECT_EQ(Load16(out + forwarded::kExchangeCode), 10);
  EXPECT_EQ(Load16(out + forwarded::kSegmentCode), 22);
  EXPECT_EQ(Load16(out + forwarded::kPriceDivisor), -27008);
  EXPECT_EQ(Load16(out + forwarded::kPacketLength), 82);
  // Message bytes 0..3, then 2..37 (LogTime through TimeStamp2) in order.
  EXPECT_EQ(out[forwarded::kMessageHead], 1);
  EXPECT_EQ(out[forwarded::kMessageHead + 3], 4);
  for (int i = forwarded::kLogTime; i < forwarded::kPacketLength; ++i) {
    EXPECT_EQ(out[i], message[i - forwarded::kLogTime + header::kLogTime]) << i;
  }
  EXPECT_EQ(out[forwarded::kHeaderSize], 0xA5);
}

TEST(ConvertFields, SwapsEachWidthAndLeavesGapsAlone) {
  std::uint8_t record[cm::mbp::kRecordSize];
  for (int i = 0; i < cm::mbp::kRecordSize; ++i) record[i] = static_cast<std::uint8_t>(i);
  StoreBeDouble(record + cm::mbp::kTotalBuyQuantity, 0.0);
  StoreBeDouble(record + cm::mbp::kTotalSellQuantity, -12.5);
  StoreBe32(record + cm::mbp::kLastTradedPrice, 123456);
  ConvertFields<cm::mbp::kConverted>(record);
  EXPECT_EQ(LoadDouble(record + cm::mbp::kTotalBuyQuantity), 0.0);
  EXPECT_EQ(LoadDouble(record + cm::mbp::kTotalSellQuantity), -12.5);
  EXPECT_EQ(Load32(record + cm::mbp::kLastTradedPrice), 123456);
  EXPECT_EQ(record[cm::mbp::kNetChangeIndicator], cm::mbp::kNetChangeIndicator);
  EXPECT_EQ(record[cm::mbp::kFiller], cm::mbp::kFiller);
  EXPECT_EQ(record[cm::mbp::kDepthIndicator], cm::mbp::kDepthIndicator);
  EXPECT_EQ(record[cm::mbp::kDepthIndicator + 1], cm::mbp::kDepthIndicator + 1);
}

}  // namespace
}  // namespace fh::nse
