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

std::string Key(int segment, int token) {
  char key[InstrumentMap::kKeySize];
  return std::string(key, InstrumentMap::FormatKey(key, segment, token));
}

TEST(InstrumentMap, FormatsKeysBySegmentAndToken) {
  EXPECT_EQ(InstrumentMap().BucketCount(), 20011);
  char key[InstrumentMap::kKeySize];
  const std::size_t n = InstrumentMap::FormatKey(key, -2147483647 - 1, -2147483647 - 1);
  EXPECT_EQ(std::string(key, n), "-2147483648,-2147483648");
  EXPECT_EQ(key[n], '\0');
  EXPECT_LT(n, InstrumentMap::kKeySize);
}

// UpdateLastValue: 0 unchanged, -1 changed and not subscribed, 1 changed and
// subscribed; KeyValueChanged: 1 changed. A new record holds -1, so a first
// report of -1 is no change.
TEST(InstrumentMap, ReportsChangesBySubscriptionAndKeepsSegmentsApart) {
  InstrumentMap map;
  EXPECT_EQ(map.UpdateLastValue(1, 22, 1500), -1);
  EXPECT_EQ(map.UpdateLastValue(1, 22, 1500), 0);
  EXPECT_EQ(map.UpdateLastValue(1, 22, 1505), -1);
  InstrumentRecord* r = map.Find("1,22");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->token, 22);
  EXPECT_STREQ(r->name, "1,22");
  r->subscribed.store(1);
  EXPECT_EQ(map.UpdateLastValue(1, 22, 1505), 0);
  EXPECT_EQ(map.UpdateLastValue(1, 22, 1506), 1);
  EXPECT_EQ(map.UpdateLastValue(2, 22, 1506), -1);
  EXPECT_EQ(map.UpdateLastValue(1, 7, -1), 0);
  EXPECT_EQ(map.UpdateLastValue(1, 7, 0), -1);
  EXPECT_EQ(map.KeyValueChanged("1,22", 1506), 0);  // the same record
  EXPECT_EQ(map.KeyValueChanged("1,22", 5), 1);
  EXPECT_EQ(map.UpdateLastValue(1, 22, 5), 0);
  EXPECT_EQ(map.KeyValueChanged("BSE500325", 10), 1);
  EXPECT_EQ(map.KeyValueChanged("BSE500325", 10), 0);
  EXPECT_EQ(map.KeyValueChanged("new", -1), 0);
  r = map.Find("BSE500325");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->token, 0);
  EXPECT_STREQ(r->name, "BSE500325");
  const std::string longKey(60, 'K');
  EXPECT_EQ(map.KeyValueChanged(longKey, 1), 1);
  EXPECT_EQ(std::strlen(map.Find(longKey)->name), 39u);
  EXPECT_EQ(map.KeyValueChanged("", 5), 0);
  EXPECT_EQ(map.KeyCount(), 6u);
  EXPECT_EQ(map.RecordCount(), 6u);
}

TEST(UpdateLastValue, FollowsAKeyThatIsGivenAnotherRecord) {
  InstrumentMap map;
  EXPECT_EQ(map.UpdateLastValue(1, 22, 100), -1);
  InstrumentRecord* first = map.Find("1,22");
  InstrumentRecord* replacement = map.NewRecord(22, "EQ_ACC       _0_0_EQ");
  ASSERT_TRUE(map.Insert("1,22", replacement));
  EXPECT_EQ(map.UpdateLastValue(1, 22, 100), -1);  // the replacement starts at -1
  replacement->subscribed.store(1);
  EXPECT_EQ(map.UpdateLastValue(1, 22, 101), 1);
  EXPECT_EQ(first->lastValue.load(), 100);  // the old record is left as it was
}

// One record under two keys is the master loaders' way; they are tested there.
TEST(InstrumentMap, FindOrCreateAndInsertRefuseWhatTheyCannotStore) {
  InstrumentMap map;
  bool created = false;
  InstrumentRecord* r = map.FindOrCreate("2,35001", 35001, "NIFTY", &created);
  ASSERT_NE(r, nullptr);
  EXPECT_TRUE(created);
  EXPECT_EQ(r->token, 35001);
  EXPECT_STREQ(r->name, "NIFTY");
  EXPECT_EQ(map.FindOrCreate("2,35001", 1, "other", &created), r);
  EXPECT_FALSE(created);
  EXPECT_EQ(map.FindOrCreate("", 1, "x", &created), nullptr);
  EXPECT_FALSE(created);
  EXPECT_FALSE(map.Insert("1,23", nullptr));
  EXPECT_EQ(map.Find("1,23"), nullptr);
  EXPECT_FALSE(map.Insert("", r));
  EXPECT_EQ(map.KeyCount(), 1u);
  EXPECT_EQ(map.RecordCount(), 1u);
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

// Each thread starts on a quarter of its own, creating records with all three
// calls while the others do, then finds theirs. Five maps, for the races to show.
TEST(InstrumentMap, FindsOrCreatesFromFourThreadsAtOnce) {
  constexpr int kTokens = 30000;
  for (int attempt = 0; attempt < 5; ++attempt) {
    InstrumentMap map;
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (ready.fetch_add(1); ready.load() < 4;) std::this_thread::yield();  // start together
        for (int round = 0; round < 3; ++round) {
          for (int i = 0; i < kTokens; ++i) {
            const int token = (i + t * kTokens / 4) % kTokens;
            map.UpdateLastValue(1, token, t * 1000 + round);
            map.FindOrCreate(Key(2, token), token, "x")->subscribed.store(1);
            map.UpdateLastValue(2, token, t * 1000 + round);
            map.KeyValueChanged(Key(3, token), round);
          }
        }
      });
    }
    for (std::thread& th : threads) th.join();
    // Every key is one record: no bucket lost or doubled a key.
    ASSERT_EQ(map.KeyCount(), 3u * kTokens);
    ASSERT_EQ(map.RecordCount(), 3u * kTokens);
    for (int token = 0; token < kTokens; ++token) {
      const InstrumentRecord* rec = map.Find(Key(1 + token % 2, token));
      ASSERT_NE(rec, nullptr) << token;
      EXPECT_EQ(rec->token, token);
    }
  }
}

TEST(RecordCache, AnswersAsTheTableDoesAndSharesItsRecordsBeyondItsRoom) {
  InstrumentMap map;
  EXPECT_EQ(map.UpdateLastValue(2, 22, 100), -1);
  RecordCache cache(map, 2, 4);
  EXPECT_EQ(cache.UpdateLastValue(22, 100), 0);  // a record the table already had
  EXPECT_EQ(cache.UpdateLastValue(43521, 5), -1);
  EXPECT_EQ(cache.UpdateLastValue(43521, 5), 0);
  EXPECT_EQ(cache.UpdateLastValue(43522, -1), 0) << "a new record already holds -1";
  InstrumentRecord* r = map.Find("2,43521");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->token, 43521);
  EXPECT_STREQ(r->name, "2,43521");
  r->subscribed = 1;  // a Bridge asks for it
  EXPECT_EQ(cache.UpdateLastValue(43521, 6), 1);
  EXPECT_EQ(map.UpdateLastValue(2, 43521, 6), 0) << "the table sees the cached change";
  RecordCache small(map, 3, 3);  // room for 6 tokens; the rest go to the table
  for (int round = 0; round < 2; ++round) {
    for (int token = -10; token < 40; ++token) {
      EXPECT_EQ(small.UpdateLastValue(token, token * 2 + round), -1) << token;
      EXPECT_EQ(small.UpdateLastValue(token, token * 2 + round), 0) << token;
    }
  }
  EXPECT_EQ(map.KeyCount(), 53u);
}

}  // namespace
}  // namespace fh
