// One code, two generations of layout: the header's MessageLength tells them
// apart. A length that announces no form of its code is counted and logged
// once and nothing of it leaves; a datagram that carries both generations of
// a code decodes each by its own layout, the whole datagram however long.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "feedstate/exg_seg.h"
#include "intake/framing.h"
#include "nse_feed.h"
#include "support/nse_datagram.h"

namespace fh::testing {
namespace {

// Today's capital-market market watch (record 106: a 4-byte token, market
// blocks of 34 with 8-byte volumes) and market by price (record 262).
MessageBuilder CmWatchToday(int token, int ltp, std::int64_t buyVolume) {
  namespace L = cm::mwWide;
  return RecordList<L::kConverted>(7201, WireLength(L::kMessageLength), L::kRecordSize, std::vector<int>{0}, -1,
                                   [&](MessageBuilder& m, int r, int) {
                                     m.C32(r + L::kToken, token);
                                     m.C64(r + L::kBuyVolume0, buyVolume);
                                     m.C32(r + L::kLastTradedPrice0, ltp);
                                   });
}
MessageBuilder CmDepthToday(int token, int ltp) {
  namespace L = cm::mbpWide;
  return RecordList<L::kConverted>(7208, WireLength(L::kMessageLength), L::kRecordSize, std::vector<int>{0}, -1,
                                   [&](MessageBuilder& m, int r, int) {
                                     m.C32(r + wideMbp::kToken, token);
                                     m.C16(r + wideMbp::kBookType, 1);
                                     m.C16(r + wideMbp::kTradingStatus, 2);
                                     m.C32(r + wideMbp::kLastTradedPrice, ltp);
                                   });
}
MessageBuilder WithLength(MessageBuilder m, int messageLength) {
  m.SetHeader16(header::kMessageLength, static_cast<std::int16_t>(messageLength));
  return m;
}

TEST(FormChoice, ALengthThatAnnouncesNoFormIsCountedAndLoggedOnceAndNothingElse) {
  struct Case {
    int segment;
    MessageBuilder message;
    int code;
    const char* line;
  };
  const Case cases[] = {
      {1, WithLength(CmMarketWatchMessage({{2885, 100}}), 500), 7201,
       "FH : CM : TrxCode 7201 of unknown form : MsgLen=500, not decoded"},
      {1, WithLength(CmMarketByPriceMessage({{2885, 100}}), 468), 7208,
       "FH : CM : TrxCode 7208 of unknown form : MsgLen=468, not decoded"},
      {2, WithLength(FoMarketWatchMessage({{38665, 100}}), 474), 7201,
       "FH : FO : TrxCode 7201 of unknown form : MsgLen=474, not decoded"},
      // A code of today's only: its one length (498), or records trimmed.
      {2, WithLength(FoTickerMessage({{38665, 1, 100}}), 497), 17202,
       "FH : FO : TrxCode 17202 of unknown form : MsgLen=497, not decoded"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    NseFeed feed;
    feed.options.pktCounters = 1;
    feed.Subscribe(c.segment, c.segment == 1 ? 2885 : 38665);
    MessageBuilder m = c.message;
    m.SetHeader16(header::kTransactionCode, static_cast<std::int16_t>(c.code));
    feed.Decode(c.segment, m);
    feed.Decode(c.segment, m);
    EXPECT_TRUE(feed.out.Events().empty());
    EXPECT_EQ(feed.log.Lines(), Strings{c.line});
    const int row = c.code == 17202 ? 7202 : c.code;
    EXPECT_EQ(feed.Count(c.segment, row), 2u);
    EXPECT_EQ(feed.CounterCell(row, c.segment == 1 ? 1 : 2), "2");
    const CodeCounts& unknown = feed.metrics.Of(c.segment).unknownForms;
    EXPECT_EQ(unknown.Code(0), c.code);
    EXPECT_EQ(unknown.Count(0), 2u);
    EXPECT_EQ(unknown.Code(1), 0);
    EXPECT_EQ(feed.metrics.Messages(c.segment, c.code), 2u);
  }
}

// A 580-byte datagram: the classic 7201 (442) and today's 7201 (466)
// compressed, today's 7208 (566) uncompressed. Each is decoded by its own
// layout and forwarded whole, converted as its layout says.
TEST(FormChoice, ADatagramOfBothGenerationsOfACodeDecodesEachByItsOwnLayout) {
  NseFeed feed;
  feed.options.ctcl = 1;
  Framing framing(feed.context);
  framing.SetDecoder(kSegNcm, nse::MakeDecoderEntry(feed.ncm));
  const MessageBuilder classic = WithLength(CmMarketWatchMessage({{1594, 51000}}), 442);
  const MessageBuilder today = CmWatchToday(70001, 123450, 5000000001);
  const MessageBuilder depth = CmDepthToday(70002, 99000);
  Bytes datagram =
      DatagramBuilder(kNetIdCm).Compressed(classic.Plain()).Compressed(today.Plain()).Uncompressed(depth.Plain()).Build();
  ASSERT_GT(datagram.size(), 512u + depth.Plain().size() / 2);
  framing.FrameCmDatagram(datagram.data(), static_cast<int>(datagram.size()));

  EXPECT_EQ(feed.out.AllLines(), (Strings{",1594|51000", ",70001|123450", ",70002|99000"}));
  const Strings packets = feed.out.Packets();
  ASSERT_EQ(packets.size(), 3u);
  const MessageBuilder* sent[] = {&classic, &today, &depth};
  const std::size_t lengths[] = {448, 472, 572};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(packets[i].size(), lengths[i]);
    const std::uint8_t* host = sent[i]->HostBytes();
    EXPECT_EQ(packets[i].substr(46), std::string(host + 38, host + 38 + lengths[i] - 46));
  }
  EXPECT_EQ(feed.ncm.Count(7201), 2u);
  EXPECT_EQ(feed.ncm.Count(7208), 1u);
  EXPECT_TRUE(feed.log.Lines().empty());
}

}  // namespace
}  // namespace fh::testing
