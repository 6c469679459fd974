// The capital-market and F&O decoders run on their own receiver threads and
// share the instrument table and the 7203 counters, while the dialog reads
// the counters and Bridge clients subscribe.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "nse/ncm_decoder.h"
#include "nse/nfo_decoder.h"
#include "nse_messages.h"
#include "nse_test_support.h"

namespace fh::nse {
namespace {

using testing::Feed;
using testing::MessageBuilder;

class CountingOutput final : public BridgeOutput {
 public:
  bool BridgeConnected() const override { return true; }
  int SendToBridges(int, int, const std::uint8_t*) override { packets.fetch_add(1); return 1; }
  int SendDeltaAll(int, const char*) override { lines.fetch_add(1); return 0; }
  int SendDeltaSubscribed(int, char*, std::size_t) override { lines.fetch_add(1); return 0; }
  std::atomic<int> packets{0};
  std::atomic<int> lines{0};
};

TEST(DecoderThreads, TwoSegmentsDecodeAtOnceWhileTheDialogReadsTheirCounters) {
  constexpr int kRounds = 400;
  Feed feed;
  feed.options.bcastDelta = 1;
  feed.options.pktCounters = 1;
  CountingOutput out;
  NcmDecoder ncm(feed.context, feed.instruments, out, feed.industryIndex);
  NfoDecoder nfo(feed.context, feed.instruments, out, feed.industryIndex);

  const MessageBuilder cmIndex = testing::CmIndustryIndexMessage({{"Banks", 1}});
  std::atomic<bool> done{false};

  std::thread cm([&] {
    for (int i = 0; i < kRounds; ++i) {
      auto ticker = testing::CmTickerMessage({{i % 50, 1, i}, {100 + i % 50, 1, -i}}).Wire(cm::ticker::kMessageLength);
      ncm.Decode(ticker.data(), static_cast<int>(ticker.size()));
      auto index = cmIndex.Wire(cm::industry::kMessageLength);
      ncm.Decode(index.data(), static_cast<int>(index.size()));
    }
  });
  std::thread fo([&] {
    for (int i = 0; i < kRounds; ++i) {
      auto watch = testing::FoMarketWatchMessage({{40000 + i % 50, i}}).Wire(fo::mw::kMessageLength);
      nfo.Decode(watch.data(), static_cast<int>(watch.size()));
      auto index = testing::FoIndustryIndexMessage({}).Wire(fo::industry::kMessageLength);
      nfo.Decode(index.data(), static_cast<int>(index.size()));
    }
  });
  std::thread bridge([&] {
    for (int i = 0; i < 50; ++i) feed.Subscribe(1, i);
  });
  std::thread dialog([&] {
    std::uint64_t seen = 0;
    while (!done.load()) {
      seen += ncm.Count(7202) + ncm.Count(7203) + feed.industryIndex.fo.load() + nfo.Count(7201);
      seen += feed.grid.CellText(4, 1).size();
    }
    EXPECT_GE(seen, 0u);
  });
  cm.join();
  fo.join();
  bridge.join();
  done = true;
  dialog.join();

  EXPECT_EQ(ncm.MessageTotal(), 2u * kRounds);
  EXPECT_EQ(ncm.Count(7202), static_cast<std::uint32_t>(kRounds));
  EXPECT_EQ(feed.industryIndex.cm, static_cast<std::uint32_t>(kRounds));
  EXPECT_EQ(feed.industryIndex.fo, static_cast<std::uint32_t>(kRounds));
  EXPECT_EQ(nfo.Count(7201), static_cast<std::uint32_t>(kRounds));
  EXPECT_EQ(out.packets.load(), 4 * kRounds);
}

}  // namespace
}  // namespace fh::nse
