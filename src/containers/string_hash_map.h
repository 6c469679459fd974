// StringHashMap: a separately chained hash map from text keys to pointers it
// does not own. The bucket count is one of a fixed set of primes, chosen at
// construction and never changed; there is no rehashing and no removal.
//
// Thread safety: none. Callers serialise every Find and Insert (the instrument
// map does so with one lock).
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fh {

// h = h * 4 + c over the key's characters taken as signed 8-bit values, with
// 32-bit wrap; a negative h is negated; the result is h modulo buckets.
inline std::int32_t ShiftAddHash(std::string_view key, std::int32_t buckets) {
  std::uint32_t h = 0;  // unsigned arithmetic wraps the way the signed value is defined to
  for (const char ch : key) {
    h = h * 4u + static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int8_t>(ch)));
  }
  std::int32_t s = static_cast<std::int32_t>(h);
  if (s < 0) s = static_cast<std::int32_t>(0u - h);  // INT32_MIN stays negative
  if (buckets < 1) return -1;
  return s % buckets;  // negative only for INT32_MIN, which callers refuse
}

using HashFunction = std::int32_t (*)(std::string_view key, std::int32_t buckets);

// The first prime of the table at least `requested`; 500009 above that.
inline std::int32_t BucketCountFor(std::int64_t requested) {
  constexpr std::int32_t kPrimes[] = {1009, 5009, 10009, 20011, 50021, 100003, 200003, 500009};
  for (const std::int32_t p : kPrimes) {
    if (p >= requested) return p;
  }
  return kPrimes[std::size(kPrimes) - 1];
}

template <class T>
class StringHashMap {
 public:
  StringHashMap(std::int64_t requested, HashFunction hash)
      : bucketCount_(BucketCountFor(requested)), hash_(hash), buckets_(static_cast<std::size_t>(bucketCount_)) {}

  // Stores value under key; an existing key gets the new value and the key
  // list does not grow. A key is held by one entry only, even after a null
  // value was stored under it: a second entry behind it could never be found.
  // False for an empty key, an unusable map, a key that hashes out of range,
  // or a failed allocation (nothing is stored then).
  // *replaced (when given) tells whether the key was already there.
  bool Insert(std::string_view key, T* value, bool* replaced = nullptr) {
    if (replaced != nullptr) *replaced = false;
    const std::int32_t b = BucketOf(key);
    if (b < 0) return false;
    const std::uint32_t tag = TagOf(key);
    std::vector<Entry>& bucket = buckets_[static_cast<std::size_t>(b)];
    for (Entry& e : bucket) {
      if (e.tag == tag && e.key == key) {
        e.value = value;
        if (replaced != nullptr) *replaced = true;
        return true;
      }
    }
    try {
      bucket.push_back(Entry{std::string(key), value, tag});
      try {
        keyList_.emplace_back(b, static_cast<std::uint32_t>(bucket.size() - 1));
      } catch (...) {
        bucket.pop_back();
        throw;
      }
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }

  // The value of the first entry with an equal key, or null.
  T* Find(std::string_view key) const {
    const std::int32_t b = BucketOf(key);
    if (b < 0) return nullptr;
    const std::uint32_t tag = TagOf(key);
    for (const Entry& e : buckets_[static_cast<std::size_t>(b)]) {
      if (e.tag == tag && e.key == key) return e.value;
    }
    return nullptr;
  }

  std::int32_t BucketCount() const { return bucketCount_; }
  // Keys inserted as new entries, in insertion order.
  std::size_t KeyCount() const { return keyList_.size(); }
  std::string_view KeyAt(std::size_t i) const {
    const auto [b, pos] = keyList_[i];
    return buckets_[static_cast<std::size_t>(b)][pos].key;
  }

 private:
  // Each entry keeps a second hash of its key (FNV-1a), so a scan of a long
  // bucket compares small integers and reads a key's text only on a likely match.
  struct Entry {
    std::string key;
    T* value;
    std::uint32_t tag;
  };

  static std::uint32_t TagOf(std::string_view key) {
    std::uint32_t h = 2166136261u;
    for (const char c : key) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    return h;
  }

  std::int32_t BucketOf(std::string_view key) const {
    if (hash_ == nullptr || bucketCount_ < 1 || key.empty() || buckets_.empty()) return -1;
    const std::int32_t b = hash_(key, bucketCount_);
    return b >= 0 && b < bucketCount_ ? b : -1;
  }

  std::int32_t bucketCount_;
  HashFunction hash_;
  std::vector<std::vector<Entry>> buckets_;
  std::vector<std::pair<std::int32_t, std::uint32_t>> keyList_;  // (bucket, position)
};

}  // namespace fh
