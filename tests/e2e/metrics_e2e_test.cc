// The feedhandler program's figures end to end, in the private network
// namespace: a known mix of good, undecompressable, malformed and stray
// datagrams goes to its NSE capital-market and BSE receivers, and the scrape
// of /metrics (checked by promtool) and the "stats" command count exactly it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "common/tool_net.h"
#include "feedstate/exg_seg.h"
#include "support/bse_block.h"
#include "support/child_process.h"
#include "support/nse_datagram.h"
#include "support/test_dir.h"

namespace fh::testing {
namespace {

using namespace std::chrono_literals;

const std::string kBin = FH_BIN_DIR;
const std::string kMetrics = "127.0.0.1:19109";

// The text of one command's standard output, or "exit N" when it failed.
std::string RunProgram(const TempDir& dir, const std::vector<std::string>& argv) {
  const auto status = ChildProcess(argv, dir.File("run.out")).Wait(20s);
  if (status != 0) return "exit " + std::to_string(status.value_or(-1)) + ": " + ReadFile(dir.File("run.out.err"));
  return ReadFile(dir.File("run.out"));
}

TEST(MetricsEndToEnd, AScrapeAndStatsCountAKnownMixExactly) {
  TempDir dir;
  const std::string log = dir.File("feedhandler.out");
  ChildProcess fh({kBin + "/feedhandler", "--headless", "--workdir", dir.path().string(), "--metrics", kMetrics,
                   "--click", "NSE-CM", "--click", "BSE-CM-FO-CD", "--click", "Server", "--click", "Start"},
                  log);
  ASSERT_TRUE(WaitForText(log, "NSE receiver 233.1.2.5|35610", 20s)) << ReadFile(log);
  ASSERT_TRUE(WaitForText(log, "Server running on 127.0.0.1 | 5449", 20s)) << ReadFile(log);

  // A second program cannot serve the same address: one line, exit code 1.
  TempDir other;
  EXPECT_EQ(RunProgram(other, {kBin + "/feedhandler", "--headless", "--workdir", other.path().string(), "--metrics",
                        kMetrics}),
            "exit 1: metrics endpoint " + kMetrics + ": Address already in use\n");

  const Bytes good = DatagramBuilder(kNetIdCm)
                         .Compressed(PlainPacket{.transactionCode = 7208}.Build())
                         .Compressed(PlainPacket{.transactionCode = 5555, .messageLength = 100}.Build())
                         .Build();
  const Bytes mix[] = {
      good, good, good,
      DatagramBuilder(kNetIdCm).Raw(Bytes(60, 0xff)).Build(),                       // does not decompress
      {kNetIdCm, 0x7e},                                                             // too short
      DatagramBuilder(kNetIdCm).Raw(Bytes(10, 1), 200).Build(),                     // runs past
      DatagramBuilder(kNetIdCm).Uncompressed(PlainPacket{.messageLength = 20}.Build()).Build(),  // short header
      {9, 0x7e, 0, 0},                                                              // unknown net id
  };
  const Bytes bseGood = Datagram({BseBlock(2020).Selected(500000, 100, 0, 4).Build()});
  const Bytes bseBad = Datagram({BseBlock(2020).Length(5000).Build()});  // a block past the datagram
  const int fd = tools::OpenSendSocket();
  ASSERT_GE(fd, 0);
  long long failed = 0, nseBytes = 0;
  const sockaddr_in nse = tools::Endpoint{"233.1.2.5", 35610}.Sockaddr();
  const sockaddr_in bse = tools::Endpoint{"127.0.0.1", 5449}.Sockaddr();
  for (const Bytes& d : mix) {
    tools::SendDatagram(fd, nse, d.data(), d.size(), &failed);
    nseBytes += static_cast<long long>(d.size());
  }
  for (const Bytes* d : {&bseGood, &bseGood, &bseBad}) tools::SendDatagram(fd, bse, d->data(), d->size(), &failed);
  ::close(fd);
  ASSERT_EQ(failed, 0);

  const std::string expected[] = {
      R"(feedhandler_received_datagrams_total{segment="NCM"} 8)",
      R"(feedhandler_received_bytes_total{segment="NCM"} )" + std::to_string(nseBytes),
      R"(feedhandler_received_datagrams_total{segment="BCM"} 3)",
      R"(feedhandler_received_bytes_total{segment="BCM"} )" + std::to_string(2 * bseGood.size() + bseBad.size()),
      R"(feedhandler_unknown_net_id_datagrams_total 1)",
      R"(feedhandler_framed_packets_total{segment="NCM"} 6)",
      R"(feedhandler_decompress_failures_total{segment="NCM"} 1)",
      R"(feedhandler_malformed_total{segment="NCM",reason="too_short"} 1)",
      R"(feedhandler_malformed_total{segment="NCM",reason="runs_past"} 1)",
      R"(feedhandler_malformed_total{segment="NCM",reason="short_header"} 1)",
      R"(feedhandler_malformed_total{segment="BCM",reason="bad_block"} 1)",
      R"(feedhandler_decoded_messages_total{segment="NCM",code="7208"} 3)",
      R"(feedhandler_decoded_messages_total{segment="NCM",code="5555"} 3)",
      R"(feedhandler_decoded_messages_total{segment="BCM",code="2020"} 2)",
      R"(feedhandler_unhandled_messages_total{segment="NCM"} 3)",
  };
  auto missing = [&](const std::string& text) {
    std::string out;
    for (const std::string& line : expected)
      if (text.find(line + "\n") == std::string::npos) out += line + "\n";
    return out;
  };
  // The receivers count as they go: scrape until the whole mix is in.
  std::string scrape;
  for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;) {
    scrape = RunProgram(dir, {"/usr/bin/curl", "-sSf", "http://" + kMetrics + "/metrics"});
    if (missing(scrape).empty()) break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(missing(scrape), "") << scrape;
  WriteFile(dir.File("scrape.txt"), scrape);
  EXPECT_EQ(RunProgram(dir, {"/bin/sh", "-c", "/usr/bin/promtool check metrics < " + dir.File("scrape.txt") + " 2>&1"}), "");

  // The same samples on standard output.
  fh.Write("stats\n");
  ASSERT_TRUE(WaitForText(log, expected[std::size(expected) - 1], 10s));
  const std::string stats = ReadFile(log);
  EXPECT_EQ(missing(stats.substr(stats.find("feedhandler_received_datagrams_total"))), "") << stats;
  EXPECT_EQ(fh.Terminate(SIGINT, 20s), 0);
}

}  // namespace
}  // namespace fh::testing
