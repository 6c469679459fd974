// The capital-market and F&O decoders run on their own receiver threads and
// share the instrument table and the 7203 counters, while the dialog reads
// the counters and Bridge clients subscribe.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "nse_feed.h"

namespace fh::testing {
namespace {

TEST(DecoderThreads, TwoSegmentsDecodeAtOnceWhileTheDialogReadsTheirCounters) {
  constexpr int kRounds = 400;
  NseFeed feed;
  feed.options.pktCounters = 1;
  const MessageBuilder cmIndex = CmIndustryIndexMessage({{"Banks", 1}});
  std::atomic<bool> done{false};

  std::thread cm([&] {
    for (int i = 0; i < kRounds; ++i) {
      auto ticker = CmTickerMessage({{i % 50, 1, i}, {100 + i % 50, 1, -i}}).Wire(cm::ticker::kMessageLength);
      feed.ncm.Decode(ticker.data(), static_cast<int>(ticker.size()));
      auto index = cmIndex.Wire(cm::industry::kMessageLength);
      feed.ncm.Decode(index.data(), static_cast<int>(index.size()));
    }
  });
  std::thread fo([&] {
    for (int i = 0; i < kRounds; ++i) {
      auto watch = FoMarketWatchMessage({{40000 + i % 50, i}}).Wire(fo::mw::kMessageLength);
      feed.nfo.Decode(watch.data(), static_cast<int>(watch.size()));
      auto index = FoIndustryIndexMessage({}).Wire(fo::industry::kMessageLength);
      feed.nfo.Decode(index.data(), static_cast<int>(index.size()));
    }
  });
  std::thread bridge([&] {
    for (int i = 0; i < 50; ++i) feed.Subscribe(1, i);
  });
  std::atomic<std::uint64_t> seen{0};  // the dialog's reads, kept so they are made
  std::thread dialog([&] {
    while (!done.load()) {
      seen += feed.ncm.Count(7202) + feed.ncm.Count(7203) + feed.nfo.Count(7201) + feed.grid.CellText(4, 1).size();
    }
  });
  cm.join();
  fo.join();
  bridge.join();
  done = true;
  dialog.join();

  EXPECT_EQ(feed.ncm.MessageTotal(), 2u * kRounds);
  EXPECT_EQ(feed.ncm.Count(7202), static_cast<std::uint32_t>(kRounds));
  EXPECT_EQ(feed.industryIndex.cm, static_cast<std::uint32_t>(kRounds));
  EXPECT_EQ(feed.industryIndex.fo, static_cast<std::uint32_t>(kRounds));
  EXPECT_EQ(feed.nfo.Count(7201), static_cast<std::uint32_t>(kRounds));
  EXPECT_EQ(feed.out.Packets().size(), 4u * kRounds);
}

}  // namespace
}  // namespace fh::testing
