// The feedhandler program end to end, in the private network namespace: the
// exchange simulator feeds it, a Bridge client takes what it sends, and what
// arrives is compared with what the simulator says it sent. The bytes of each
// forwarded packet are pinned by the golden tests; here it is the counts, the
// routes and the last values that must agree.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/tool_net.h"
#include "distribution/forwarded_packet.h"
#include "sim/nse_feed.h"
#include "support/child_process.h"
#include "support/test_dir.h"

namespace fh::testing {
namespace {

using namespace std::chrono_literals;

const std::string kBin = FH_BIN_DIR;

// A summary of one fact a line, by its leading words: the simulator's ("sent
// SEG" -> datagrams, messages, bytes; "count SEG CODE"; "forward SEG CODE" ->
// packets, bytes; "last SEG TOKEN"; "named 4 CODE") or the Bridge client's
// ("packets EXCH SEG CODE" -> packets, bytes; "form EXCH SEG CODE FORM" ->
// packets, bytes; "last 2007 TOKEN"; "last 2017 SEG KEY"; "new 2017 SEG" ->
// keys; its "total" line as "total packets", "total malformed", ...).
// The counters grid as printed by the "grid" command is the same: rows by label.
using Facts = std::map<std::string, std::vector<long long>>;

Facts ReadFacts(const std::string& path) {
  static const std::map<std::string, std::size_t> kNumbers = {
      {"sent", 3}, {"forward", 2}, {"packets", 2}, {"form", 2}};
  Facts facts;
  std::istringstream in(ReadFile(path));
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    std::vector<std::string> w{std::istream_iterator<std::string>(f), std::istream_iterator<std::string>()};
    if (w.empty()) continue;
    if (w[0] == "total") {
      for (std::size_t i = 1; i + 1 < w.size(); i += 2) facts["total " + w[i]] = {std::stoll(w[i + 1])};
      continue;
    }
    const auto it = kNumbers.find(w[0]);
    const std::size_t numbers = std::min(w.size() - 1, it == kNumbers.end() ? 1 : it->second);
    std::string key = w[0];
    for (std::size_t i = 1; i < w.size() - numbers; ++i) key += " " + w[i];
    for (std::size_t i = w.size() - numbers; i < w.size(); ++i) facts[key].push_back(std::stoll(w[i]));
  }
  return facts;
}

// The facts whose key starts with prefix, by the rest of the key.
Facts WithPrefix(const Facts& facts, const std::string& prefix) {
  Facts out;
  for (auto it = facts.lower_bound(prefix); it != facts.end() && it->first.rfind(prefix, 0) == 0; ++it)
    out[it->first.substr(prefix.size())] = it->second;
  return out;
}

long long Fact(const Facts& facts, const std::string& key, std::size_t i = 0) {
  const auto it = facts.find(key);
  return it == facts.end() || it->second.size() <= i ? 0 : it->second[i];
}

// Every "last SEG TOKEN" sent (there are some) arrived under the key of the
// port it is due on, `to` + TOKEN, with the same value.
void ExpectLastValues(const Facts& sent, const Facts& got, const std::string& from, const std::string& to) {
  const auto last = WithPrefix(sent, from);
  EXPECT_FALSE(last.empty()) << from;
  for (const auto& [token, value] : last) EXPECT_EQ(Fact(got, to + token), value[0]) << from << token;
}

// A feedhandler program in a fresh working folder and a Bridge client that
// records the stream and stops once the feed has been quiet for a while.
class EndToEnd : public ::testing::Test {
 protected:
  // Starts a feed handler with every output on and the given receivers, waits
  // for them (each line of `listening`), then a Bridge client subscribed to
  // `subscriptions`, and waits until the feed handler has taken the last one.
  void Start(std::vector<std::string> clicks, const std::vector<std::string>& listening,
             const std::vector<std::string>& subscriptions, double idleSeconds = 2.5) {
    for (const char* c : {"PktCounters", "BCAST DELTA", "TCP", "Server", "Start"}) clicks.push_back(c);
    client_.reset();
    fhDir_ = std::make_unique<TempDir>();
    clientDir_ = std::make_unique<TempDir>();
    std::vector<std::string> argv = {kBin + "/feedhandler", "--headless", "--workdir", fhDir_->path().string(),
                                     "--system-drive", fhDir_->path().string(), "--batch", batch_};
    for (const auto& c : clicks) argv.insert(argv.end(), {"--click", c});
    fh_ = std::make_unique<ChildProcess>(argv, Log());
    for (const auto& line : listening) ASSERT_TRUE(WaitFor(line)) << ReadFile(Log());
    ASSERT_TRUE(WaitFor("TCP Server running")) << ReadFile(Log());
    argv = {kBin + "/bridge-client", "--quiet", "--summary", clientDir_->File("client.txt"), "--record",
            clientDir_->File("client.stream"), "--record-delta", clientDir_->File("delta"), "--ready", clientDir_->File("client.ready"), "--idle-seconds",
            std::to_string(idleSeconds), "--seconds", "90", "--connect-timeout", "10"};
    for (const auto& s : subscriptions) argv.insert(argv.end(), {"--subscribe", s});
    client_ = std::make_unique<ChildProcess>(argv, clientDir_->File("client.out"));
    ASSERT_TRUE(WaitForText(clientDir_->File("client.ready"), "ready", 15s));
    ASSERT_TRUE(subscriptions.empty() || WaitFor(subscriptions.back() + ",")) << "the subscription was not handled";
  }

  std::string Log() const { return fhDir_->File("feedhandler.out"); }
  bool WaitFor(std::string_view text, int count = 1, std::chrono::milliseconds timeout = 20s) {
    return WaitForText(Log(), text, timeout, count);
  }

  // Runs the simulator to the end; its summary, or nothing when it failed.
  std::optional<Facts> RunSimulator(const std::vector<std::string>& options, const std::string& name = "sim") {
    std::vector<std::string> argv = {kBin + "/exchange-sim", "--quiet", "--summary", dir_.File(name + ".txt")};
    argv.insert(argv.end(), options.begin(), options.end());
    const auto status = ChildProcess(argv, dir_.File(name + ".out")).Wait(120s);
    if (!status || *status != 0) return std::nullopt;
    return ReadFacts(dir_.File(name + ".txt"));
  }

  // Waits for the Bridge client to stop by itself; its summary then.
  std::optional<Facts> FinishClient() {
    const auto status = client_->Wait(120s);
    if (!status || *status != 0) return std::nullopt;
    return ReadFacts(clientDir_->File("client.txt"));
  }

  // Runs "grid" (after a PktCounters refresh when asked) and parses the
  // answer, printed in one piece: "Packet\tNSE-CASH\tNSE-FO", then a row a code.
  Facts ReadGrid(bool refreshCashCounters) {
    const std::string header = "Packet\tNSE-CASH\tNSE-FO\n";
    std::string log = ReadFile(Log());
    int before = 0;
    for (auto at = log.find(header); at != std::string::npos; at = log.find(header, at + 1)) ++before;
    if (refreshCashCounters) fh_->Write("click PktCounters\nclick PktCounters\n");
    fh_->Write("grid\n");
    if (!WaitFor(header, before + 1, 10s)) return {};
    WaitFor("\n9011\t", before + 1, 2s);  // the last row
    log = ReadFile(Log());
    Facts grid;
    std::istringstream in(log.substr(log.rfind(header) + header.size()));
    for (std::string line, label, a, b; std::getline(in, line);) {
      std::istringstream f(line);
      if (!std::getline(f, label, '\t') || !std::getline(f, a, '\t') || !std::getline(f, b)) break;
      grid[label] = {std::atoll(a.c_str()), std::atoll(b.c_str())};
    }
    return grid;
  }

  std::optional<int> StopFeedHandler() {
    fh_->Signal(SIGINT);
    return fh_->Wait(20s);
  }

  std::string batch_ = "64";  // datagrams a receive may take
  TempDir dir_;
  std::unique_ptr<TempDir> fhDir_, clientDir_;
  std::unique_ptr<ChildProcess> fh_, client_;
};

// One segment's run: what the feed handler listens to, what the Bridge
// subscribes, where the changes go and which grid cells count the messages;
// the wire the simulator speaks (classic unless named).
struct SegmentRun {
  std::string name;
  const char *click, *listening, *simSegment;
  int segment, exchange, segmentCode;
  std::vector<int> subscribed;  // tokens
  bool allDeltaPort;            // every change also on port 2007
  bool everyChangeOnSubscribedPort;
  // Grid: the capital market's cells are refreshed on demand and read in the
  // cash column (row 0: decoded messages, datagrams); the others' in the F&O
  // column (row 0: datagrams, decoded messages). No grid for BSE.
  enum { kNoGrid, kCashColumn, kFoColumn } grid;
  std::vector<int> gridCodes;
  std::string wire = "classic";
};

// Today's codes count in the grid row of the classic code they replace.
const std::map<int, std::vector<int>> kCodesOfRow = {
    {7201, {7201, 17201}}, {7202, {7202, 17202, 18703}}, {7208, {7208, 17208}}, {7211, {7211, 17211}},
    {7305, {7305, 18720}}};

const SegmentRun kRuns[] = {
    {"CapitalMarket", "NSE-CM", "NSE receiver 233.1.2.5|35610", "cm", 1, forwarded::kExchangeNse,
     forwarded::kSegmentCm, {2885}, true, false, SegmentRun::kCashColumn, {7201, 7202, 7207, 7208, 7305}},
    // Rows 2009 to 6521 double as the watched-instrument view of token 38665,
    // which the simulator trades, so 6501 is not compared for F&O.
    {"FuturesAndOptions", "NSE-FO", "NSE receiver 233.1.2.5|34330", "fo", 2, forwarded::kExchangeNse,
     forwarded::kSegmentFo, {38665}, true, false, SegmentRun::kFoColumn,
     {6571, 7200, 7201, 7202, 7207, 7208, 7211, 7305, 9011}},
    // Currency derivatives reach only subscribers, on port 2017.
    {"CurrencyDerivatives", "NSE-CD", "NSE receiver 233.1.2.5|34567", "cd", 3, forwarded::kExchangeNse,
     forwarded::kSegmentCd, {60000, 60003, 60006}, false, false, SegmentRun::kFoColumn,
     {6501, 7200, 7201, 7202, 7208, 7211, 7305, 9011}},
    // BSE blocks are forwarded whole and every change goes to port 2017.
    {"Bse", "BSE-CM-FO-CD", "Server running on 127.0.0.1 | 5449", "bse", 4, forwarded::kExchangeBse,
     forwarded::kSegmentCm, {500000}, false, true, SegmentRun::kNoGrid, {}},
};

// Every segment on the classic wire; capital market and F&O also on today's
// wire and on both generations mixed.
std::vector<SegmentRun> AllRuns() {
  std::vector<SegmentRun> runs(std::begin(kRuns), std::end(kRuns));
  for (const char* wire : {"today", "mixed"}) {
    for (const SegmentRun& classic : {kRuns[0], kRuns[1]}) {
      SegmentRun run = classic;
      run.wire = wire;
      run.name += wire == std::string("today") ? "Today" : "Mixed";
      runs.push_back(run);
    }
  }
  return runs;
}

class SegmentEndToEnd : public EndToEnd, public ::testing::WithParamInterface<SegmentRun> {};

TEST_P(SegmentEndToEnd, MessagesAreCountedForwardedAndReported) {
  const SegmentRun& run = GetParam();
  const std::string seg = std::to_string(run.segment);
  std::vector<std::string> subscriptions;
  for (int token : run.subscribed) subscriptions.push_back(seg + "," + std::to_string(token));
  ASSERT_NO_FATAL_FAILURE(Start({run.click}, {run.listening}, subscriptions));

  const auto sent = RunSimulator({"--segments", run.simSegment, "--count", "300", "--rate", "1500", "--seed", "7",
                                  "--tokens", "40", "--wire", run.wire});
  ASSERT_TRUE(sent);
  const auto got = FinishClient();
  ASSERT_TRUE(got);

  // Every message counted: datagrams and packets of the framing, the
  // decoder's total, and the count per code.
  if (run.grid != SegmentRun::kNoGrid) {
    const Facts grid = ReadGrid(run.grid == SegmentRun::kCashColumn);
    ASSERT_FALSE(grid.empty()) << ReadFile(Log());
    const long long datagrams = Fact(*sent, "sent " + seg, 0), messages = Fact(*sent, "sent " + seg, 1);
    const int column = run.grid == SegmentRun::kCashColumn ? 0 : 1;
    EXPECT_EQ(grid.at("0"), (column == 0 ? std::vector{messages, datagrams} : std::vector{datagrams, messages}));
    EXPECT_EQ(grid.at("1")[0] + grid.at("1")[1], messages);
    for (int row : run.gridCodes) {
      long long counted = 0;
      const auto twins = kCodesOfRow.find(row);
      for (int code : twins == kCodesOfRow.end() ? std::vector<int>{row} : twins->second)
        counted += Fact(*sent, "count " + seg + " " + std::to_string(code));
      EXPECT_EQ(grid.at(std::to_string(row))[column], counted) << "row " << row;
    }
  }

  // Every packet the simulator's ledger says a Bridge receives, per code,
  // with its bytes; nothing else and nothing malformed.
  long long expected = 0;
  for (const auto& [code, packetsAndBytes] : WithPrefix(*sent, "forward " + seg + " ")) {
    const std::string key = "packets " + std::to_string(run.exchange) + " " + std::to_string(run.segmentCode) +
                            " " + std::to_string(std::stoi(code) & 0xffff);
    EXPECT_EQ(got->count(key) ? got->at(key) : std::vector<long long>{}, packetsAndBytes) << key;
    expected += packetsAndBytes[0];
  }
  EXPECT_GT(expected, 0);
  EXPECT_EQ(Fact(*got, "total packets"), expected);
  EXPECT_EQ(Fact(*got, "total malformed"), 0);
  // Every NSE packet has the length of a form of its code.
  for (const auto& [form, counts] : WithPrefix(*got, "form ")) EXPECT_EQ(form.find("unknown"), std::string::npos) << form;

  // Each update that announced an instrument the table did not hold drew one
  // new-instrument item (the subscribed ones were in the table already).
  const auto tokens = [](const Facts& facts, const std::string& key) {
    const auto it = facts.find(key);
    return it == facts.end() ? std::set<long long>{} : std::set<long long>(it->second.begin(), it->second.end());
  };
  std::set<long long> announced = tokens(*sent, "new " + seg);
  for (int token : run.subscribed) announced.erase(token);
  EXPECT_EQ(tokens(*got, "new 2017 " + seg), announced);

  // Each change reaches the ports it is due on, with the last value sent.
  const auto last = WithPrefix(*sent, "last " + seg + " ");
  if (run.allDeltaPort) ExpectLastValues(*sent, *got, "last " + seg + " ", "last 2007 ");
  if (run.everyChangeOnSubscribedPort) ExpectLastValues(*sent, *got, "last " + seg + " ", "last 2017 " + seg + " ");
  EXPECT_TRUE(run.allDeltaPort || WithPrefix(*got, "last 2007 ").empty());
  int subscribedChanged = 0;
  for (int token : run.subscribed) {
    const auto it = last.find(std::to_string(token));
    if (it == last.end()) continue;
    EXPECT_EQ(Fact(*got, "last 2017 " + seg + " " + it->first), it->second[0]) << "token " << token;
    ++subscribedChanged;
  }
  EXPECT_GT(subscribedChanged, 0);
  for (const auto& [code, value] : WithPrefix(*sent, "named " + seg + " "))
    EXPECT_EQ(Fact(*got, std::string("last 2017 ").append(seg).append(" ").append(code)), value[0]) << code;
  EXPECT_TRUE(fh_->Running());
  EXPECT_EQ(StopFeedHandler(), 0);
}

INSTANTIATE_TEST_SUITE_P(Segments, SegmentEndToEnd, ::testing::ValuesIn(AllRuns()),
                         [](const auto& param) { return param.param.name; });

TEST_F(EndToEnd, AWriteBinRecordingReplaysIntoTheSameOutputs) {
  ASSERT_NO_FATAL_FAILURE(Start({"NSE-FO", "Write BIN"}, {"NSE receiver 233.1.2.5|34330"}, {"2,38665"}));
  ASSERT_TRUE(RunSimulator({"--segments", "fo", "--count", "200", "--rate", "1500", "--seed", "21", "--fixed-size",
                            "512"}));
  const auto live = FinishClient();
  ASSERT_TRUE(live);
  EXPECT_GT(Fact(*live, "total packets"), 0);
  EXPECT_EQ(StopFeedHandler(), 0);
  const std::string recording = ReadFile(fhDir_->File("BCASTOUT_BIN_FO.TXT"));
  ASSERT_EQ(recording.size(), 200u * 512);
  WriteFile(dir_.File("recording.bin"), recording);

  ASSERT_NO_FATAL_FAILURE(Start({"NSE-FO"}, {"NSE receiver 233.1.2.5|34330"}, {"2,38665"}));
  ChildProcess replay({kBin + "/bin-replay", "--rate", "1500", dir_.File("recording.bin")}, dir_.File("replay.out"));
  ASSERT_EQ(replay.Wait(60s), 0) << ReadFile(dir_.File("replay.out.err"));
  EXPECT_NE(ReadFile(dir_.File("replay.out")).find("sent 200 datagrams (102400 bytes)"), std::string::npos);
  const auto replayed = FinishClient();
  ASSERT_TRUE(replayed);
  EXPECT_EQ(WithPrefix(*replayed, "packets "), WithPrefix(*live, "packets "));
  EXPECT_EQ(WithPrefix(*replayed, "last "), WithPrefix(*live, "last "));
  const Facts grid = ReadGrid(false);
  ASSERT_FALSE(grid.empty());
  EXPECT_EQ(grid.at("0")[0], 200);
  EXPECT_EQ(StopFeedHandler(), 0);
}

// The same feed received in batches and one datagram at a time: every output
// carries the same bytes in the same order (the Bridge's stream, each delta
// port, the recording). The simulator hands the kernel bursts, so batches
// form.
TEST_F(EndToEnd, BatchedAndUnbatchedReceiversSendTheSameBytes) {
  std::vector<std::string> outputs[2];
  for (int run = 0; run < 2; ++run) {
    batch_ = run == 0 ? "64" : "1";
    ASSERT_NO_FATAL_FAILURE(Start({"NSE-FO", "Write BIN"}, {"NSE receiver 233.1.2.5|34330"}, {"2,38665"}));
    ASSERT_TRUE(RunSimulator({"--segments", "fo", "--count", "600", "--pool", "600", "--batch", "32", "--rate",
                              "20000", "--seed", "11", "--tokens", "40"}));
    ASSERT_TRUE(FinishClient());
    EXPECT_EQ(StopFeedHandler(), 0);
    for (const char* file : {"client.stream", "delta.2007", "delta.2017"})
      outputs[run].push_back(ReadFile(clientDir_->File(file)));
    outputs[run].push_back(ReadFile(fhDir_->File("BCASTOUT_BIN_FO.TXT")));
  }
  const char* names[] = {"TCP stream", "port 2007", "port 2017", "recording"};
  for (std::size_t i = 0; i < std::size(names); ++i) {
    EXPECT_GT(outputs[0][i].size(), 1000u) << names[i];
    EXPECT_TRUE(outputs[0][i] == outputs[1][i]) << names[i] << ": " << outputs[0][i].size() << " bytes batched, "
                                                << outputs[1][i].size() << " unbatched";
  }
}

// bin-replay sends every datagram of an NSE recording whole, above 512 bytes
// too (today's messages plain, up to 9000-byte datagrams), cut by walking
// the datagrams.
TEST(BinReplay, ReplaysDatagramsAbove512BytesWhole) {
  TempDir dir;
  sim::NseSegmentFeed feed(1, 20, 9, sim::Wire::kToday);
  sim::NseDatagramSource source(feed, 60, 0, 9000);
  std::vector<std::string> datagrams;
  std::string recording;
  std::size_t largest = 0;
  while (datagrams.size() < 40) {
    const auto d = source.Next(nullptr, nullptr);
    datagrams.emplace_back(d.begin(), d.end());
    recording += datagrams.back();
    largest = std::max(largest, d.size());
  }
  ASSERT_GT(largest, 4096u);
  WriteFile(dir.File("recording.bin"), recording);
  int granted = 0;
  const int fd = tools::OpenReceiveSocket(36001, 8 << 20, &granted);
  ASSERT_GE(fd, 0);
  ChildProcess replay({kBin + "/bin-replay", "--fast", "--to", "127.0.0.1:36001", dir.File("recording.bin")},
                      dir.File("replay.out"));
  ASSERT_EQ(replay.Wait(30s), 0) << ReadFile(dir.File("replay.out.err"));
  std::vector<std::string> received;
  std::vector<char> buffer(65536);
  for (pollfd p{fd, POLLIN, 0}; received.size() < datagrams.size() && poll(&p, 1, 5000) == 1;) {
    const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n > 0) received.emplace_back(buffer.data(), static_cast<std::size_t>(n));
  }
  close(fd);
  EXPECT_TRUE(received == datagrams) << received.size() << " of " << datagrams.size() << " datagrams";
}

TEST_F(EndToEnd, AFloodOfMalformedDatagramsLeavesTheFeedHandlerDecoding) {
  ASSERT_NO_FATAL_FAILURE(Start({"NSE-CM", "NSE-FO", "NSE-CD", "BSE-CM-FO-CD"},
                                {"NSE receiver 233.1.2.5|35610", "NSE receiver 233.1.2.5|34330",
                                 "NSE receiver 233.1.2.5|34567", "Server running on 127.0.0.1 | 5449"},
                                {"1,2885", "2,38665"}, 4.0));
  // Random, truncated and lying datagrams on every input port, then a clean
  // feed, which must still come out right.
  ASSERT_TRUE(RunSimulator({"--junk", "400", "--count", "0", "--rate", "3000", "--seed", "5"}, "junk"));
  ASSERT_TRUE(fh_->Running());
  const auto sent = RunSimulator({"--count", "150", "--rate", "1500", "--seed", "6", "--tokens", "30"});
  ASSERT_TRUE(sent);
  const auto got = FinishClient();
  ASSERT_TRUE(got);
  ASSERT_TRUE(fh_->Running());
  ExpectLastValues(*sent, *got, "last 1 ", "last 2007 ");
  ExpectLastValues(*sent, *got, "last 2 ", "last 2007 ");
  ExpectLastValues(*sent, *got, "last 4 ", "last 2017 4 ");
  EXPECT_FALSE(ReadGrid(false).empty());
  EXPECT_EQ(StopFeedHandler(), 0);
}

}  // namespace
}  // namespace fh::testing
