// The change test on a table as a full master load leaves it: through a
// decoder's RecordCache (the road every reported value takes), through the
// table's own UpdateLastValue (format the key, walk the bucket's chain under
// the lock), beside the same lookups on the chained map alone and on a
// std::unordered_map.
//
//   build/bench/instrument_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "instruments/instrument_map.h"

namespace {

constexpr int kInstruments = 150000;  // two keys each: 300,000 keys
constexpr int kHotTokens = 2000;
constexpr int kDraws = 1 << 20;
constexpr std::int32_t kSegment = 2;

std::int32_t TokenOf(int i) { return 35000 + i * 3; }

// The table after the masters: a key by segment and token and a key by name
// for every instrument, both on one record.
struct LoadedTable {
  fh::InstrumentMap map;
  std::vector<std::int32_t> hot;      // kHotTokens tokens, cycled
  std::vector<std::int32_t> uniform;  // kDraws tokens drawn uniformly

  LoadedTable() {
    char name[64];
    char key[fh::InstrumentMap::kKeySize];
    for (int i = 0; i < kInstruments; ++i) {
      std::snprintf(name, sizeof name, "FUTSTK_SYM%05d  _26APR2018_0_XX", i);
      fh::InstrumentRecord* r = map.NewRecord(TokenOf(i), name);
      map.Insert(name, r);
      map.Insert(std::string_view(key, fh::InstrumentMap::FormatKey(key, kSegment, TokenOf(i))), r);
    }
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pick(0, kInstruments - 1);
    for (int i = 0; i < kHotTokens; ++i) hot.push_back(TokenOf(pick(rng)));
    for (int i = 0; i < kDraws; ++i) uniform.push_back(TokenOf(pick(rng)));
  }
};

LoadedTable& Table() {
  static LoadedTable table;
  return table;
}

const std::vector<std::int32_t>& Tokens(const LoadedTable& t, bool hot) { return hot ? t.hot : t.uniform; }

void BM_UpdateLastValue(benchmark::State& state) {
  LoadedTable& t = Table();
  const std::vector<std::int32_t>& tokens = Tokens(t, state.range(0) != 0);
  std::size_t i = 0;
  std::int32_t value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(t.map.UpdateLastValue(kSegment, tokens[i], value));
    if (++i == tokens.size()) {
      i = 0;
      ++value;
    }
  }
  state.SetLabel(t.map.KeyCount() == std::size_t{2} * kInstruments ? "300000 keys" : "keys were added");
}
BENCHMARK(BM_UpdateLastValue)->ArgName("hot")->Arg(1)->Arg(0);

void BM_RecordCacheUpdateLastValue(benchmark::State& state) {
  LoadedTable& t = Table();
  static fh::RecordCache cache(t.map, kSegment, 18);
  const std::vector<std::int32_t>& tokens = Tokens(t, state.range(0) != 0);
  std::size_t i = 0;
  std::int32_t value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(cache.UpdateLastValue(tokens[i], value));
    if (++i == tokens.size()) {
      i = 0;
      ++value;
    }
  }
}
BENCHMARK(BM_RecordCacheUpdateLastValue)->ArgName("hot")->Arg(1)->Arg(0);

// The same work through the chained map alone: format the key, find it in
// its bucket's chain under the lock, compare and store the value.
void BM_ChainedMapOnly(benchmark::State& state) {
  LoadedTable& t = Table();
  const std::vector<std::int32_t>& tokens = Tokens(t, state.range(0) != 0);
  std::size_t i = 0;
  std::int32_t value = 0;
  for (auto _ : state) {
    char key[fh::InstrumentMap::kKeySize];
    const std::string_view k(key, fh::InstrumentMap::FormatKey(key, kSegment, tokens[i]));
    fh::InstrumentRecord* r = t.map.FindOrCreate(k, tokens[i], k);
    int changed = 0;
    if (r->lastValue.load(std::memory_order_relaxed) != value) {
      r->lastValue.store(value, std::memory_order_relaxed);
      changed = r->subscribed.load(std::memory_order_relaxed) == 1 ? 1 : -1;
    }
    benchmark::DoNotOptimize(changed);
    if (++i == tokens.size()) {
      i = 0;
      ++value;
    }
  }
}
BENCHMARK(BM_ChainedMapOnly)->ArgName("hot")->Arg(1)->Arg(0);

// A plain std::unordered_map find-or-insert with a formatted key, no lock.
void BM_UnorderedMapFindOrInsert(benchmark::State& state) {
  struct Rec {
    std::int32_t token;
    std::int32_t lastValue;
  };
  static std::unordered_map<std::string, std::unique_ptr<Rec>>* table = [] {
    auto* m = new std::unordered_map<std::string, std::unique_ptr<Rec>>();
    char name[64];
    char key[32];
    for (int i = 0; i < kInstruments; ++i) {
      std::snprintf(name, sizeof name, "FUTSTK_SYM%05d  _26APR2018_0_XX", i);
      (*m)[name] = std::make_unique<Rec>(Rec{TokenOf(i), -1});
      std::snprintf(key, sizeof key, "%d,%d", kSegment, TokenOf(i));
      (*m)[key] = std::make_unique<Rec>(Rec{TokenOf(i), -1});
    }
    return m;
  }();
  const std::vector<std::int32_t>& tokens = Tokens(Table(), state.range(0) != 0);
  std::size_t i = 0;
  std::int32_t value = 0;
  for (auto _ : state) {
    char key[32];
    char* p = std::to_chars(key, key + 11, kSegment).ptr;
    *p++ = ',';
    p = std::to_chars(p, p + 11, tokens[i]).ptr;
    auto [it, inserted] = table->try_emplace(std::string(key, p), nullptr);
    if (inserted) it->second = std::make_unique<Rec>(Rec{tokens[i], -1});
    int changed = 0;
    if (it->second->lastValue != value) {
      it->second->lastValue = value;
      changed = -1;
    }
    benchmark::DoNotOptimize(changed);
    if (++i == tokens.size()) {
      i = 0;
      ++value;
    }
  }
}
BENCHMARK(BM_UnorderedMapFindOrInsert)->ArgName("hot")->Arg(1)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
