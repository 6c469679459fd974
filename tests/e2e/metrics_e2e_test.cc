// The feedhandler program's figures end to end, in the private network
// namespace: a known mix of good, undecompressable, malformed and stray
// datagrams goes to its NSE capital-market and BSE receivers, and the scrape
// of /metrics (checked by promtool) and the "stats" command count exactly it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
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

// Clients that hold a connection to the endpoint: half connect and say
// nothing, half send a request a header line at a time, every 100 ms.
class Loiterers {
 public:
  Loiterers(const sockaddr_in& to, int count) {
    for (int i = 0; i < count; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) ADD_FAILURE() << "connect " << i;
      fds_.push_back(fd);
    }
    trickle_ = std::jthread([this](const std::stop_token& stop) {
      for (const char* line = "GET /metrics HTTP/1.1\r\n"; !stop.stop_requested(); line = "X-Slow: 1\r\n") {
        for (std::size_t i = 1; i < fds_.size(); i += 2) (void)::send(fds_[i], line, std::strlen(line), MSG_NOSIGNAL);
        std::this_thread::sleep_for(100ms);
      }
    });
  }
  ~Loiterers() {
    trickle_ = {};
    for (int fd : fds_) ::close(fd);
  }

 private:
  std::vector<int> fds_;
  std::jthread trickle_;
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(MetricsEndToEnd, IdleAndTricklingClientsHoldUpNeitherAScrapeNorTheExitNorTheNextRun) {
  const std::string address = "127.0.0.1:19110";
  const std::vector<std::string> scrape = {"/usr/bin/curl", "-sSf", "--max-time", "5", "http://" + address + "/metrics"};
  TempDir dir;
  auto run = [&](const std::string& log, const std::string& served) {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{kBin + "/feedhandler", "--headless", "--workdir", dir.path().string(), "--metrics",
                                 served},
        dir.File(log));
  };
  auto serves = [&] {
    for (auto end = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < end;)
      if (RunProgram(dir, scrape).find("feedhandler_build_info") != std::string::npos) return true;
    return false;
  };
  auto first = run("first.out", address);
  ASSERT_TRUE(serves()) << ReadFile(dir.File("first.out.err"));

  double scrapeSeconds = 0, exitSeconds = 0;
  {
    Loiterers held(tools::Endpoint{"127.0.0.1", 19110}.Sockaddr(), 50);
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(RunProgram(dir, scrape).find("feedhandler_build_info"), std::string::npos);
    scrapeSeconds = SecondsSince(start);
    // The bounds only catch a hang; the figures are printed below.
    EXPECT_LT(scrapeSeconds, 5.0);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(first->Terminate(SIGTERM, 5s), 0);
    exitSeconds = SecondsSince(start);
  }
  // The connections of the scrapes just served are still closing; the next
  // run serves the same port all the same, here on every interface.
  auto next = run("next.out", "0.0.0.0:19110");
  EXPECT_TRUE(serves()) << ReadFile(dir.File("next.out.err"));
  EXPECT_EQ(next->Terminate(SIGINT, 5s), 0);
  EXPECT_EQ(ReadFile(dir.File("next.out.err")),
            "metrics endpoint 0.0.0.0:19110: open on every interface; any host that reaches this one can read the "
            "feed's figures\n");
  std::printf("with 50 idle and trickling clients: scrape %.3f s, exit after SIGTERM %.3f s\n", scrapeSeconds,
              exitSeconds);
}

}  // namespace
}  // namespace fh::testing
