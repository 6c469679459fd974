#include "containers/string_hash_map.h"

#include <gtest/gtest.h>

#include "failing_new.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace fh {
namespace {

TEST(ShiftAddHash, FoldsSignedCharactersTimesFourWrappingAt32BitsAndNegatesANegativeSum) {
  const struct {
    std::string key;
    int buckets;
    int hash;
  } cases[] = {
      {"1,22", 20011, 4090},  // ((49 * 4 + 44) * 4 + 50) * 4 + 50
      {"1", 20011, 49},
      {"1,22", 1009, 4090 % 1009},
      {"A\xE9", 20011, 237},  // 0xE9 is -23 as a signed byte: 65 * 4 - 23
      {"\xFF", 20011, 1},     // a negative sum is negated
      {"1,22", 0, -1},         // no usable bucket count
      {"1,22", -5, -1},
  };
  for (const auto& c : cases) EXPECT_EQ(ShiftAddHash(c.key, c.buckets), c.hash) << c.key << " " << c.buckets;

  // 17 characters: the first one is shifted out of 32 bits entirely.
  EXPECT_EQ(ShiftAddHash("Z" + std::string(16, 'a'), 20011), ShiftAddHash("Q" + std::string(16, 'a'), 20011));
  // A reference computed with 64-bit arithmetic reduced modulo 2^32.
  const std::string key = "FUTIDX_NIFTY     _26APR2018_0_XX";
  std::int64_t h = 0;
  for (const char c : key) h = (h * 4 + static_cast<signed char>(c)) & 0xFFFFFFFF;
  std::int64_t sum = h >= 0x80000000 ? h - 0x100000000 : h;
  EXPECT_EQ(ShiftAddHash(key, 20011), (sum < 0 ? -sum : sum) % 20011);
}

TEST(BucketCount, IsTheFirstListedPrimeAtLeastTheRequest) {
  for (const auto& [asked, given] : {std::pair{20011, 20011}, {20012, 50021}, {600000, 500009}, {0, 1009},
                                    {1010, 5009}, {500009, 500009}})
    EXPECT_EQ(StringHashMap<int>(asked, &ShiftAddHash).BucketCount(), given) << asked;
}

TEST(StringHashMap, InsertWithAnExistingKeyReplacesTheValueWithoutANewKey) {
  StringHashMap<int> map(20011, &ShiftAddHash);
  int a = 1, b = 2;
  ASSERT_TRUE(map.Insert("1,22", &a));
  ASSERT_TRUE(map.Insert("1,22", &b));
  EXPECT_EQ(map.Find("1,22"), &b);
  EXPECT_EQ(map.KeyCount(), 1u);
  EXPECT_EQ(map.KeyAt(0), "1,22");
}

TEST(StringHashMap, AKeyStoredWithNullTakesALaterValue) {
  StringHashMap<int> map(20011, &ShiftAddHash);
  int a = 1;
  ASSERT_TRUE(map.Insert("k", nullptr));
  EXPECT_EQ(map.Find("k"), nullptr);
  ASSERT_TRUE(map.Insert("k", &a));
  EXPECT_EQ(map.Find("k"), &a);
  EXPECT_EQ(map.KeyCount(), 1u);
}

TEST(StringHashMap, RefusesAnEmptyKey) {
  StringHashMap<int> map(20011, &ShiftAddHash);
  int a = 1;
  EXPECT_FALSE(map.Insert("", &a));
  EXPECT_EQ(map.Find(""), nullptr);
  EXPECT_EQ(map.KeyCount(), 0u);
}

TEST(StringHashMap, RefusesWithoutAHashFunctionOrForAnOutOfRangeIndex) {
  int a = 1;
  StringHashMap<int> noHash(20011, nullptr);
  EXPECT_FALSE(noHash.Insert("1,22", &a));
  EXPECT_EQ(noHash.Find("1,22"), nullptr);

  StringHashMap<int> wild(1009, [](std::string_view, std::int32_t buckets) { return buckets; });
  EXPECT_FALSE(wild.Insert("x", &a));
  StringHashMap<int> negative(1009, [](std::string_view, std::int32_t) { return std::int32_t{-3}; });
  EXPECT_FALSE(negative.Insert("x", &a));
  EXPECT_EQ(negative.Find("x"), nullptr);
  EXPECT_EQ(negative.KeyCount(), 0u);
}

TEST(StringHashMap, FindsTwoKeysOfOneBucket) {
  StringHashMap<int> map(20011, &ShiftAddHash);
  // "1,22" hashes to 4090; so does "1,22" + 20011 steps away: find a partner.
  std::string partner;
  for (int t = 23; t < 10000000 && partner.empty(); ++t) {
    const std::string k = "1," + std::to_string(t);
    if (ShiftAddHash(k, 20011) == 4090) partner = k;
  }
  ASSERT_FALSE(partner.empty());
  int a = 1, b = 2;
  ASSERT_TRUE(map.Insert("1,22", &a));
  ASSERT_TRUE(map.Insert(partner, &b));
  EXPECT_EQ(map.Find("1,22"), &a);
  EXPECT_EQ(map.Find(partner), &b);
  EXPECT_EQ(map.KeyCount(), 2u);
  EXPECT_EQ(map.Find("1,2"), nullptr);  // a prefix is another key
}

TEST(StringHashMap, ComparesKeysByLengthAndBytes) {
  StringHashMap<int> map(1009, [](std::string_view, std::int32_t) { return std::int32_t{7}; });
  int a = 1, b = 2, c = 3;
  ASSERT_TRUE(map.Insert("AB", &a));
  ASSERT_TRUE(map.Insert(std::string_view("AB\0", 3), &b));
  ASSERT_TRUE(map.Insert("ab", &c));
  EXPECT_EQ(map.Find("AB"), &a);
  EXPECT_EQ(map.Find(std::string_view("AB\0", 3)), &b);
  EXPECT_EQ(map.Find("ab"), &c);
  EXPECT_EQ(map.Find("A"), nullptr);
  EXPECT_EQ(map.KeyCount(), 3u);
  EXPECT_EQ(map.KeyAt(1), std::string_view("AB\0", 3));
}

TEST(StringHashMap, AFailedAllocationStoresNothingAndLeavesTheMapUsable) {
  StringHashMap<int> map(1009, [](std::string_view, std::int32_t) { return std::int32_t{5}; });
  int a = 1, b = 2, c = 3;
  ASSERT_TRUE(map.Insert("first key of the bucket, long enough to allocate", &a));
  bool succeeded = false;
  for (int allowed = 0; allowed < 20 && !succeeded; ++allowed) {
    const std::string key = "second key of the bucket, also long enough to allocate";
    {
      testing::AllocationFailure failure(allowed);
      succeeded = map.Insert(key, &b);
    }
    if (!succeeded) {
      EXPECT_EQ(map.Find(key), nullptr) << allowed;
      EXPECT_EQ(map.KeyCount(), 1u) << allowed;
    }
    EXPECT_EQ(map.Find("first key of the bucket, long enough to allocate"), &a);
  }
  ASSERT_TRUE(succeeded);
  EXPECT_EQ(map.KeyCount(), 2u);
  EXPECT_EQ(map.KeyAt(1), "second key of the bucket, also long enough to allocate");
  ASSERT_TRUE(map.Insert("third", &c));
  EXPECT_EQ(map.Find("third"), &c);
}

}  // namespace
}  // namespace fh
