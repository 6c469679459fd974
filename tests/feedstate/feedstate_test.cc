#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "feedstate/counter_grid.h"
#include "feedstate/debug_log.h"
#include "feedstate/exg_seg.h"
#include "feedstate/feed_metrics.h"
#include "feedstate/file_places.h"
#include "feedstate/log_list.h"
#include "feedstate/options.h"
#include "feedstate/segment_files.h"
#include "support/test_dir.h"

namespace fh {
namespace {

TEST(SelectedSegment, NoneCheckedMeansCapitalMarketAndTwoMeanNotAllowed) {
  FeedHandlerOptions o;
  EXPECT_EQ(SelectedSegment(o), 1);
  o.segNcd = 1;
  EXPECT_EQ(SelectedSegment(o), 3);
  o.segNcd = 0;
  o.segNcm = 1;
  o.segNfo = 1;
  EXPECT_EQ(SelectedSegment(o), 0);
  o.segNcm = 0;
  o.segNfo = 0;
  o.segBcm = 1;
  EXPECT_EQ(SelectedSegment(o), 4);
}

TEST(LogList, ShowsTheNewestLineFirstAndForgetsTheOldestWhenFull) {
  LogList log(3);
  log.LogLine("a");
  log.LogLine("b");
  EXPECT_EQ(log.Line(0), "b");
  EXPECT_EQ(log.Line(1), "a");
  log.LogLine("c");
  log.LogLine("d");
  EXPECT_EQ(log.Size(), 3u);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"d", "c", "b"}));
  EXPECT_EQ(log.Sequence(), 4u);
}

TEST(LogList, CutsLongLinesAndTellsTheObserverInOrder) {
  LogList log;
  std::vector<std::string> seen;
  log.SetObserver([&](std::string_view line) { seen.emplace_back(line); });
  log.LogLine(std::string(600, 'x'));
  log.LogFormat("NSE FO %s|%ld", "233.1.2.5", 34330L);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].size(), 511u);
  EXPECT_EQ(seen[1], "NSE FO 233.1.2.5|34330");
}

TEST(LogList, KeepsEveryByteOfAFormattedLineEvenANul) {
  LogList log;
  log.LogFormat("cnet=%c pkts=%d", 0, 3);
  EXPECT_EQ(log.Line(0), std::string("cnet=\0 pkts=3", 13));
}

TEST(LogList, TakesLinesFromManyThreads) {
  LogList log(100);
  MetricCounter lines;
  log.CountLinesIn(&lines);
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log] {
      for (int i = 0; i < 1000; ++i) log.LogLine("line");
    });
  }
  threads.clear();
  EXPECT_EQ(log.Sequence(), 4000u);
  EXPECT_EQ(log.Size(), 100u);
  EXPECT_EQ(lines.Get(), 4000u);
}

TEST(CounterGrid, LaysOutTheHeaderAndTheThirtyCodeRowsAndWritesCountsByCode) {
  CounterGrid g;
  g.LayOut();
  EXPECT_EQ(g.Rows(), 31);
  EXPECT_EQ(g.Cols(), 3);
  EXPECT_EQ(g.ColumnWidth(0), 500);
  EXPECT_EQ(g.ColumnWidth(2), 1500);
  EXPECT_EQ(g.CellText(0, 0), "Packet");
  EXPECT_EQ(g.CellText(0, 1), "NSE-CASH");
  EXPECT_EQ(g.CellText(0, 2), "NSE-FO");
  EXPECT_EQ(g.CellText(1, 0), "0");
  EXPECT_EQ(g.CellText(30, 0), "1833");
  EXPECT_EQ(g.CellText(30, 2), "0");

  // SetCounterCell writes the row of the code in the chosen column.
  g.SetCounterCell(1, 7, 2);
  EXPECT_EQ(g.CellText(2, 2), "7");
  g.SetCounterCell(7208, 12345, 4);
  EXPECT_EQ(g.CellText(21, 1), "12345");
  const auto before = g.Version();
  g.SetCounterCell(2020, 5, 4);  // no row
  g.SetCounterCell(7208, 5, 3);  // no such column value
  EXPECT_EQ(g.Version(), before);
  EXPECT_EQ(g.CellText(21, 1), "12345");
}

TEST(WriteDebugLog, AppendsVerbatimLinesForKnownSelectorsOnlyNamedByTheirSuffix) {
  testing::TempDir dir;
  FilePlaces places(dir.path(), dir.path());
  WriteDebugLog(places, "100% done", 4);
  WriteDebugLog(places, "second", 30004);
  WriteDebugLog(places, "nothing", 3);
  EXPECT_EQ(testing::ReadFile(dir.File("FH_Debuglog_BCM.txt")), "100% done\nsecond\n");
  EXPECT_FALSE(std::filesystem::exists(dir.File("FH_Debuglog_NCD.txt")));
  EXPECT_STREQ(SuffixForSelector(30001), "NCM");
  EXPECT_STREQ(SuffixForSelector(2), "NFO");
  EXPECT_STREQ(SuffixForSelector(30004), "BCM");
  EXPECT_EQ(SuffixForSelector(3), nullptr);
  EXPECT_EQ(SuffixForSelector(30003), nullptr);}

// Receiver threads of different segments write their figures to lines of
// their own, wherever the figures live.
TEST(FeedMetrics, EverySegmentsFiguresStartACacheLine) {
  const auto onHeap = std::make_unique<FeedMetrics>();
  const FeedMetrics& readOnly = *onHeap;
  for (int seg = -1; seg <= FeedMetrics::kSegments; ++seg) {
    SCOPED_TRACE(seg);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&onHeap->Of(seg)) % 64, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&readOnly.Of(seg)) % 64, 0u);
  }
}

TEST(SegmentFiles, ReplacesHandlesAndWritesOnlyToOpenSlots) {
  testing::TempDir dir;
  SegmentFiles files;
  EXPECT_FALSE(files.WriteAndFlush(1, SegmentFiles::kBinFile, "x", 1));
  ASSERT_TRUE(files.Open(1, SegmentFiles::kBinFile, dir.File("a.bin"), "ab+"));
  EXPECT_TRUE(files.WriteAndFlush(1, SegmentFiles::kBinFile, "abc", 3));
  EXPECT_EQ(testing::ReadFile(dir.File("a.bin")), "abc");
  ASSERT_TRUE(files.Open(1, SegmentFiles::kBinFile, dir.File("b.bin"), "ab+"));
  files.WriteAndFlush(1, SegmentFiles::kBinFile, "d", 1);
  EXPECT_EQ(testing::ReadFile(dir.File("a.bin")), "abc");
  EXPECT_EQ(testing::ReadFile(dir.File("b.bin")), "d");
  EXPECT_FALSE(files.Open(1, SegmentFiles::kBinFile, dir.File("no/such/dir"), "ab+"));
  EXPECT_FALSE(files.IsOpen(1, SegmentFiles::kBinFile));
  EXPECT_FALSE(files.Open(10, SegmentFiles::kBinFile, dir.File("c.bin"), "ab+"));
}

// Lowers the file size limit of this process (a write then stops at the limit
// and fails with EFBIG, as on a full disk) until it goes out of scope.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) : handler_(::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    rlimit small = old_;
    small.rlim_cur = bytes;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &small) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::signal(SIGXFSZ, handler_);
  }
  bool Ok() const { return ok_; }

 private:
  rlimit old_{};
  sighandler_t handler_;
  bool ok_ = false;
};

// A recording that hits the file size limit keeps only whole records: a
// record torn by the limit, in a flush of a batch or in a write too long for
// the stream's buffer, is cut off again and counted lost. The recording says
// once that writing fails, with the system's error, stays quiet while it keeps
// failing and says once that it works again. The recorded bytes are the
// bytes in the file.
TEST(SegmentFiles, AFullRecordingKeepsOnlyWholeRecordsAndCountsTheLostOnes) {
  testing::TempDir dir;
  SegmentFiles files;
  LogList log;
  FeedMetrics metrics;
  const std::string path = dir.File("rec.bin");
  testing::WriteFile(path, "first");  // a recording made before
  ASSERT_TRUE(files.Open(2, SegmentFiles::kBinFile, path, "ab+"));
  const auto record = [](char c, int n) { return std::string(static_cast<std::size_t>(n), c); };
  const auto batch = [&](const std::vector<std::string>& records) {
    for (const std::string& r : records) files.Append(2, SegmentFiles::kBinFile, r.data(), r.size(), log, &metrics);
    files.Flush(2, SegmentFiles::kBinFile, log, &metrics);
  };
  {
    FileSizeLimit limit(1005);
    ASSERT_TRUE(limit.Ok());
    batch({record('a', 300), record('b', 300), record('c', 300), record('d', 300)});  // d torn at 1005
    EXPECT_EQ(testing::ReadFile(path), "first" + record('a', 300) + record('b', 300) + record('c', 300));
    batch({record('e', 5000)});  // written past the stream's buffer, torn at 1005
    batch({record('f', 300)});   // torn again
  }
  batch({record('g', 200)});

  EXPECT_EQ(testing::ReadFile(path),
            "first" + record('a', 300) + record('b', 300) + record('c', 300) + record('g', 200));
  EXPECT_EQ(metrics.Of(2).recordedBytes.Get(), 1100u);  // what this run wrote
  EXPECT_EQ(metrics.Of(2).recordingLost.Get(), 3u);
  EXPECT_EQ(metrics.Of(2).recordingFailures.Get(), 3u);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"Writing " + path + " works again",
                                                   "Writing " + path + " failed: File too large"}));
}

}  // namespace
}  // namespace fh
