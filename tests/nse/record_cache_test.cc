#include "nse/record_cache.h"

#include <gtest/gtest.h>

namespace fh::nse {
namespace {

TEST(RecordCache, AnswersAsTheTablesChangeTest) {
  InstrumentMap map;
  RecordCache cache(map, 2, 4);
  EXPECT_EQ(cache.UpdateLastValue(43521, 5), -1);
  EXPECT_EQ(cache.UpdateLastValue(43521, 5), 0);
  EXPECT_EQ(cache.UpdateLastValue(43522, -1), 0) << "a new record already holds -1";
  InstrumentRecord* r = map.Find("2,43521");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->token, 43521);
  EXPECT_STREQ(r->name, "2,43521");
  EXPECT_EQ(r->lastValue, 5);
  r->subscribed = 1;  // a Bridge asks for it
  EXPECT_EQ(cache.UpdateLastValue(43521, 6), 1);
  EXPECT_EQ(map.UpdateLastValue(2, 43521, 6), 0) << "the table sees the cached change";
}

TEST(RecordCache, UsesRecordsTheTableAlreadyHas) {
  InstrumentMap map;
  EXPECT_EQ(map.UpdateLastValue(1, 22, 100), -1);
  RecordCache cache(map, 1, 4);
  EXPECT_EQ(cache.UpdateLastValue(22, 100), 0);
  EXPECT_EQ(cache.UpdateLastValue(22, 101), -1);
  EXPECT_EQ(map.KeyCount(), 1u);
}

TEST(RecordCache, TokensBeyondItsRoomStillGetTheRightAnswer) {
  InstrumentMap map;
  RecordCache cache(map, 3, 3);  // room for 6 tokens
  for (int round = 0; round < 2; ++round) {
    for (int token = -10; token < 40; ++token) {
      EXPECT_EQ(cache.UpdateLastValue(token, token * 2 + round), -1) << token;
      EXPECT_EQ(cache.UpdateLastValue(token, token * 2 + round), 0) << token;
    }
  }
  EXPECT_EQ(map.KeyCount(), 50u);
}

}  // namespace
}  // namespace fh::nse
