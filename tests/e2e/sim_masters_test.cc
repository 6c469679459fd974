// The simulator's master files, read back by the feed handler's own loaders:
// every capital-market and F&O instrument the simulator sends is found.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "instruments/masters.h"
#include "sim/masters_files.h"
#include "sim/nse_feed.h"
#include "support/feed_state.h"

namespace fh {
namespace {

TEST(SimMasters, TheLoadersFindEveryInstrumentTheSimulatorSends) {
  setenv("TZ", "UTC", 1);
  tzset();
  const std::pair<int, std::uint32_t> cases[] = {{1, 1}, {50, 1}, {4000, 9}};  // tokens, seed
  for (const auto& [tokens, seed] : cases) {
    SCOPED_TRACE(tokens);
    testing::FeedState state;
    const sim::NseSegmentFeed cm(1, tokens, seed), fo(2, tokens, seed);
    std::string error;
    ASSERT_TRUE(sim::WriteMasters(state.dir.path(), cm.universe(), fo.universe(), &error)) << error;
    CADODatabase db{state.places};
    InstrumentMap map;
    EXPECT_EQ(LoadSecurityMaster(state.context, db, map), 1);
    EXPECT_EQ(LoadContractMaster(state.context, db, map), 1);
    EXPECT_TRUE(state.log.Lines().empty() && state.boxes.Texts().empty());
    for (const auto& [seg, feed] : {std::pair{1, &cm}, std::pair{2, &fo}}) {
      for (const sim::Instrument& in : feed->universe()) {
        const InstrumentRecord* r = map.Find(std::to_string(seg) + "," + std::to_string(in.token));
        ASSERT_NE(r, nullptr) << seg << "," << in.token;
        EXPECT_EQ(r->token, in.token);
      }
    }
    EXPECT_EQ(map.RecordCount(), 2u * static_cast<unsigned>(tokens));
    // The first instrument of each universe, under its name and key by name.
    EXPECT_EQ(std::string(map.Find("RELIAN0   EQ")->name), "EQ_RELIAN0   _0_0_EQ");
    EXPECT_EQ(map.Find("FUTSTK_RELIAN0   _30MAY2024_-1_XX"), map.Find("2,38665"));
  }
}

}  // namespace
}  // namespace fh
