#include "instruments/instrument_map.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "containers/failing_new.h"

namespace fh {
namespace {

TEST(InstrumentMap, HasTheBucketCountOfItsRequest) {
  InstrumentMap map;
  EXPECT_EQ(map.BucketCount(), 20011);
}

TEST(InstrumentMap, FormatsKeysBySegmentAndToken) {
  char key[InstrumentMap::kKeySize];
  EXPECT_EQ(std::string(key, InstrumentMap::FormatKey(key, 1, 22)), "1,22");
  EXPECT_EQ(std::string(key, InstrumentMap::FormatKey(key, 2, 43521)), "2,43521");
  const std::size_t n = InstrumentMap::FormatKey(key, -2147483647 - 1, -2147483647 - 1);
  EXPECT_EQ(std::string(key, n), "-2147483648,-2147483648");
  EXPECT_EQ(key[n], '\0');
  EXPECT_LT(n, InstrumentMap::kKeySize);
}

TEST(UpdateLastValue, ReportsAChangeOnlyWhenTheValueDiffers) {
  InstrumentMap map;
  EXPECT_EQ(map.UpdateLastValue(1, 22, 1500), -1);  // unknown token: created, changed
  EXPECT_EQ(map.UpdateLastValue(1, 22, 1500), 0);
  EXPECT_EQ(map.UpdateLastValue(1, 22, 1505), -1);
  InstrumentRecord* r = map.Find("1,22");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->token, 22);
  EXPECT_STREQ(r->name, "1,22");
  EXPECT_EQ(r->lastValue.load(), 1505);
  EXPECT_EQ(r->subscribed.load(), -1);
  EXPECT_EQ(map.KeyCount(), 1u);
}

TEST(UpdateLastValue, ReportsOneOnceSubscribed) {
  InstrumentMap map;
  EXPECT_EQ(map.UpdateLastValue(2, 43521, 10), -1);
  map.Find("2,43521")->subscribed.store(1);
  EXPECT_EQ(map.UpdateLastValue(2, 43521, 10), 0);
  EXPECT_EQ(map.UpdateLastValue(2, 43521, 11), 1);
}

TEST(UpdateLastValue, AFirstReportOfMinusOneIsNoChange) {
  InstrumentMap map;
  EXPECT_EQ(map.UpdateLastValue(1, 7, -1), 0);
  EXPECT_NE(map.Find("1,7"), nullptr);  // the record exists all the same
  EXPECT_EQ(map.UpdateLastValue(1, 7, 0), -1);
}

TEST(UpdateLastValue, KeepsSegmentsApart) {
  InstrumentMap map;
  EXPECT_EQ(map.UpdateLastValue(1, 22, 5), -1);
  EXPECT_EQ(map.UpdateLastValue(2, 22, 5), -1);
  EXPECT_NE(map.Find("1,22"), map.Find("2,22"));
}

TEST(UpdateLastValue, DoesNotFindAMasterKeyWithLeadingZeros) {
  InstrumentMap map;
  InstrumentRecord* master = map.NewRecord(22, "EQ_ACC       _0_0_EQ");
  ASSERT_TRUE(map.Insert("1,022", master));
  EXPECT_EQ(map.UpdateLastValue(1, 22, 100), -1);
  InstrumentRecord* second = map.Find("1,22");
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, master);
  EXPECT_EQ(master->lastValue.load(), -1);
  EXPECT_EQ(map.KeyCount(), 2u);
}

TEST(UpdateLastValue, FollowsAKeyThatIsGivenAnotherRecord) {
  InstrumentMap map;
  EXPECT_EQ(map.UpdateLastValue(1, 22, 100), -1);
  InstrumentRecord* first = map.Find("1,22");
  InstrumentRecord* replacement = map.NewRecord(22, "EQ_ACC       _0_0_EQ");
  ASSERT_TRUE(map.Insert("1,22", replacement));
  EXPECT_EQ(map.KeyCount(), 1u);
  // The replacement starts at -1, so 100 is a change for it.
  EXPECT_EQ(map.UpdateLastValue(1, 22, 100), -1);
  EXPECT_EQ(replacement->lastValue.load(), 100);
  replacement->subscribed.store(1);
  EXPECT_EQ(map.UpdateLastValue(1, 22, 101), 1);
  EXPECT_EQ(first->lastValue.load(), 100);  // the old record is left as it was
}

TEST(UpdateLastValue, SharesTheRecordWithKeyValueChanged) {
  InstrumentMap map;
  EXPECT_EQ(map.KeyValueChanged("1,22", 5), 1);
  EXPECT_EQ(map.UpdateLastValue(1, 22, 5), 0);
  EXPECT_EQ(map.UpdateLastValue(1, 22, 6), -1);
  EXPECT_EQ(map.KeyValueChanged("1,22", 6), 0);
}

TEST(KeyValueChanged, CreatesTheRecordAndReportsChanges) {
  InstrumentMap map;
  EXPECT_EQ(map.KeyValueChanged("BSE500325", 10), 1);
  EXPECT_EQ(map.KeyValueChanged("BSE500325", 10), 0);
  EXPECT_EQ(map.KeyValueChanged("BSE500325", 9), 1);
  EXPECT_EQ(map.KeyValueChanged("new", -1), 0);
  InstrumentRecord* r = map.Find("BSE500325");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->token, 0);
  EXPECT_STREQ(r->name, "BSE500325");
  EXPECT_EQ(r->subscribed.load(), -1);
}

TEST(KeyValueChanged, CutsALongKeyTo39CharactersForTheName) {
  InstrumentMap map;
  const std::string key(60, 'K');
  EXPECT_EQ(map.KeyValueChanged(key, 1), 1);
  EXPECT_EQ(std::strlen(map.Find(key)->name), 39u);
}

TEST(KeyValueChanged, RefusesAnEmptyKey) {
  InstrumentMap map;
  EXPECT_EQ(map.KeyValueChanged("", 5), 0);
  EXPECT_EQ(map.KeyCount(), 0u);
  EXPECT_EQ(map.RecordCount(), 0u);
}

TEST(FindOrCreate, CreatesOnceAndSaysSo) {
  InstrumentMap map;
  bool created = false;
  InstrumentRecord* r = map.FindOrCreate("2,35001", 35001, "NIFTY", &created);
  ASSERT_NE(r, nullptr);
  EXPECT_TRUE(created);
  EXPECT_EQ(r->token, 35001);
  EXPECT_STREQ(r->name, "NIFTY");
  EXPECT_EQ(r->lastValue.load(), -1);
  EXPECT_EQ(map.FindOrCreate("2,35001", 1, "other", &created), r);
  EXPECT_FALSE(created);
  EXPECT_EQ(map.FindOrCreate("", 1, "x", &created), nullptr);
  EXPECT_FALSE(created);
  EXPECT_EQ(map.RecordCount(), 1u);
}

TEST(Insert, OneRecordUnderTwoKeys) {
  InstrumentMap map;
  InstrumentRecord* r = map.NewRecord(22, "EQ_ACC       _0_0_EQ");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->lastValue.load(), -1);
  EXPECT_EQ(r->subscribed.load(), -1);
  ASSERT_TRUE(map.Insert("ACC       EQ", r));
  ASSERT_TRUE(map.Insert("1,22", r));
  EXPECT_EQ(map.Find("ACC       EQ"), r);
  EXPECT_EQ(map.UpdateLastValue(1, 22, 3), -1);
  EXPECT_EQ(map.Find("ACC       EQ")->lastValue.load(), 3);
  EXPECT_EQ(map.KeyCount(), 2u);
}

TEST(Insert, RefusesANullRecordAndAnEmptyKey) {
  InstrumentMap map;
  EXPECT_FALSE(map.Insert("1,22", nullptr));
  EXPECT_EQ(map.Find("1,22"), nullptr);
  EXPECT_EQ(map.UpdateLastValue(1, 22, 4), -1);  // still creates a usable record
  EXPECT_EQ(map.UpdateLastValue(1, 22, 4), 0);
  EXPECT_FALSE(map.Insert("", map.NewRecord(1, "x")));
}

TEST(InstrumentMap, AFailedAllocationLeavesTheMapConsistent) {
  InstrumentMap map;
  ASSERT_EQ(map.UpdateLastValue(1, 1, 1), -1);
  int result = 0;
  for (int allowed = 0; allowed < 30; ++allowed) {
    {
      testing::AllocationFailure failure(allowed);
      result = map.UpdateLastValue(2, 43521, 7);
    }
    if (result != 0) break;
    EXPECT_EQ(map.Find("2,43521"), nullptr) << allowed;
    EXPECT_EQ(map.KeyCount(), 1u) << allowed;
    EXPECT_EQ(map.RecordCount(), 1u) << allowed;
  }
  EXPECT_EQ(result, -1);
  EXPECT_EQ(map.KeyCount(), 2u);
  EXPECT_EQ(map.RecordCount(), 2u);
  EXPECT_EQ(map.UpdateLastValue(2, 43521, 7), 0);
  EXPECT_EQ(map.UpdateLastValue(1, 1, 1), 0);
}

TEST(InstrumentMap, FindsOrCreatesFromFourThreadsAtOnce) {
  InstrumentMap map;
  constexpr int kThreads = 4;
  constexpr int kTokens = 3000;
  constexpr int kRounds = 4;
  std::atomic<int> changes{0};
  std::atomic<int> subscribedChanges{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        for (int token = 0; token < kTokens; ++token) {
          const int r = map.UpdateLastValue(1 + token % 2, token, t * 1000 + round);
          if (r != 0) changes.fetch_add(1);
          if (r == 1) subscribedChanges.fetch_add(1);
          if (token % 7 == 0) {
            char key[InstrumentMap::kKeySize];
            const std::string_view k(key, InstrumentMap::FormatKey(key, 1 + token % 2, token));
            InstrumentRecord* rec = map.FindOrCreate(k, token, k);
            ASSERT_NE(rec, nullptr);
            rec->subscribed.store(1);
          }
          if (token % 11 == 0) map.KeyValueChanged("shared", token);
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  // Every (segment, token) pair is one record: no bucket lost or doubled a key.
  EXPECT_EQ(map.KeyCount(), static_cast<std::size_t>(kTokens) + 1);
  EXPECT_EQ(map.RecordCount(), static_cast<std::size_t>(kTokens) + 1);
  for (int token = 0; token < kTokens; ++token) {
    char key[InstrumentMap::kKeySize];
    const std::string_view k(key, InstrumentMap::FormatKey(key, 1 + token % 2, token));
    InstrumentRecord* rec = map.Find(k);
    ASSERT_NE(rec, nullptr) << k;
    EXPECT_EQ(rec->token, token);
  }
  EXPECT_GE(changes.load(), kTokens);
  EXPECT_GT(subscribedChanges.load(), 0);
}

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
}  // namespace fh
