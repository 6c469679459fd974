// Loading the NSE masters beside merely reading the same files line by line.
// Generates a contract master of 150,000 rows x 70 columns (every 20th row a
// future, the rest CE/PE options, as in the exchange's files) and a security
// master of 2,000 rows in a temporary folder.
//
//   build/bench/master_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "feedstate/file_places.h"
#include "feedstate/log_list.h"
#include "feedstate/platform.h"
#include "instruments/ado_database.h"
#include "instruments/instrument_map.h"
#include "instruments/masters.h"

namespace {

constexpr int kContracts = 150000;
constexpr int kColumns = 70;
constexpr int kSecurities = 2000;

class NoBoxes final : public fh::MessageBoxes {
 public:
  void Show(std::string_view) override {}
};

struct MasterFiles {
  std::filesystem::path folder;
  fh::FilePlaces places;
  std::uintmax_t bytes = 0;

  // allFutures: every contract row an XX row, the loader's worst case.
  explicit MasterFiles(bool allFutures) {
    folder = std::filesystem::temp_directory_path() /
             ("fh-master-bench-" + std::to_string(::getpid()) + (allFutures ? "-xx" : ""));
    std::filesystem::create_directories(folder);
    places = fh::FilePlaces("", folder);
    std::mt19937 rng(11);
    const char* kInstruments[] = {"OPTIDX", "OPTSTK", "FUTIDX", "FUTSTK"};
    std::FILE* f = std::fopen((folder / "contract.txt").c_str(), "w");
    for (int c = 1; c <= kColumns; ++c) std::fprintf(f, "%sColumn%d", c > 1 ? "|" : "", c);
    std::fputc('\n', f);
    const long expiry = 1209168000;  // 26 Apr 2018
    for (int i = 0; i < kContracts; ++i) {
      const bool future = allFutures || i % 20 == 0;
      std::fprintf(f, "%d|%d|%s|SYM%05d|EQ|%d|%ld|%d|%s", 35000 + i, 100 + i % 1500,
                   kInstruments[(future ? 2 : 0) + i % 2], i % 1500, i % 7, expiry + (i % 3) * 2419200L,
                   future ? 0 : 500 + (i % 400) * 50, future ? "XX" : (i % 2 ? "CE" : "PE"));
      for (int c = 10; c <= kColumns; ++c) std::fprintf(f, "|%u", static_cast<unsigned>(rng() % 100000));
      std::fputc('\n', f);
    }
    std::fclose(f);
    f = std::fopen((folder / "security.txt").c_str(), "w");
    std::fputs("Token|Symbol|Series|Name|Lot|Tick|Isin\n", f);
    for (int i = 0; i < kSecurities; ++i) {
      std::fprintf(f, "%d|EQS%04d|%s|Company %d Limited|1|5|INE%06dA01\n", 1000 + i, i, i % 10 ? "EQ" : "BE", i, i);
    }
    std::fclose(f);
    bytes = std::filesystem::file_size(folder / "contract.txt") + std::filesystem::file_size(folder / "security.txt");
  }
  ~MasterFiles() {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
};

MasterFiles& Files(bool allFutures) {
  static MasterFiles mixed(false);
  static MasterFiles futures(true);
  return allFutures ? futures : mixed;
}

void BM_ReadLinesOnly(benchmark::State& state) {
  MasterFiles& files = Files(state.range(0) != 0);
  char* line = nullptr;
  std::size_t capacity = 0;
  for (auto _ : state) {
    std::size_t lines = 0;
    for (const char* name : {"security.txt", "contract.txt"}) {
      std::FILE* f = std::fopen(files.places.SystemDrive(name).c_str(), "r");
      while (getline(&line, &capacity, f) > 0) ++lines;
      std::fclose(f);
    }
    benchmark::DoNotOptimize(lines);
  }
  std::free(line);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * files.bytes));
}
BENCHMARK(BM_ReadLinesOnly)->ArgName("allFutures")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_LoadMasters(benchmark::State& state) {
  MasterFiles& files = Files(state.range(0) != 0);
  fh::LogList log;
  NoBoxes boxes;
  fh::CADODatabase db(files.places);
  std::size_t keys = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto map = std::make_unique<fh::InstrumentMap>();
    state.ResumeTiming();
    fh::LoadSecurityMaster(files.places, log, boxes, db, *map);
    fh::LoadContractMaster(files.places, log, boxes, db, *map);
    keys = map->KeyCount();
    state.PauseTiming();
    map.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * files.bytes));
  state.SetLabel(std::to_string(keys) + " keys");
}
BENCHMARK(BM_LoadMasters)->ArgName("allFutures")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
