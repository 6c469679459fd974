// The feedhandler program end to end, in the private network namespace: the
// exchange simulator feeds it, a Bridge client takes what it sends, and what
// arrives is compared with what the simulator says it sent.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "client/packet_stream.h"
#include "distribution/forwarded_packet.h"
#include "nse/byteorder.h"
#include "nse/layouts.h"
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
// ("packets EXCH SEG CODE" -> packets, bytes; "last 2007 TOKEN"; "last 2017
// SEG KEY"; its "total" line as "total packets", "total malformed", ...).
using Facts = std::map<std::string, std::vector<long long>>;

Facts ReadFacts(const std::string& path) {
  static const std::map<std::string, std::size_t> kNumbers = {{"sent", 3}, {"forward", 2}, {"packets", 2}};
  Facts facts;
  std::istringstream in(ReadFile(path));
  std::string line;
  while (std::getline(in, line)) {
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
std::map<std::string, std::vector<long long>> WithPrefix(const Facts& facts, const std::string& prefix) {
  std::map<std::string, std::vector<long long>> out;
  for (auto it = facts.lower_bound(prefix); it != facts.end() && it->first.rfind(prefix, 0) == 0; ++it)
    out[it->first.substr(prefix.size())] = it->second;
  return out;
}

long long Fact(const Facts& facts, const std::string& key, std::size_t i = 0) {
  const auto it = facts.find(key);
  return it == facts.end() || it->second.size() <= i ? 0 : it->second[i];
}

// The counters grid as printed by the "grid" command: rows by their label.
using Grid = std::map<std::string, std::vector<long long>>;

// One feedhandler program in a fresh working folder.
class FeedHandler {
 public:
  explicit FeedHandler(const std::vector<std::string>& clicks) {
    std::vector<std::string> argv = {kBin + "/feedhandler", "--headless", "--workdir", dir_.path().string(),
                                     "--system-drive", dir_.path().string()};
    for (const auto& c : clicks) {
      argv.push_back("--click");
      argv.push_back(c);
    }
    child_ = std::make_unique<ChildProcess>(argv, Log());
  }
  ~FeedHandler() { Stop(); }

  std::string Log() const { return dir_.File("feedhandler.out"); }
  std::string File(const std::string& name) const { return dir_.File(name); }
  bool Running() { return child_->Running(); }
  bool WaitFor(std::string_view text, int count = 1, std::chrono::milliseconds timeout = 20s) {
    return WaitForText(Log(), text, timeout, count);
  }

  // Runs "grid" (after a PktCounters refresh when asked) and parses the answer.
  Grid ReadGrid(bool refreshCashCounters) {
    const std::string header = "Packet\tNSE-CASH\tNSE-FO\n";
    std::string log = ReadFile(Log());
    int before = 0;
    for (auto at = log.find(header); at != std::string::npos; at = log.find(header, at + 1)) ++before;
    if (refreshCashCounters) child_->Write("click PktCounters\nclick PktCounters\n");
    child_->Write("grid\n");
    // The grid is printed in one piece; give the last row a moment to land.
    if (!WaitFor(header, before + 1, 10s)) return {};
    WaitFor("\n9011\t", before + 1, 2s);
    log = ReadFile(Log());
    Grid g;
    std::istringstream in(log.substr(log.rfind(header) + header.size()));
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream f(line);
      std::string label, a, b;
      if (!std::getline(f, label, '\t') || !std::getline(f, a, '\t') || !std::getline(f, b)) break;
      g[label] = {std::atoll(a.c_str()), std::atoll(b.c_str())};
    }
    return g;
  }

  std::optional<int> Stop() {
    if (!child_) return std::nullopt;
    child_->Signal(SIGINT);
    auto status = child_->Wait(20s);
    child_.reset();
    return status;
  }

 private:
  TempDir dir_;
  std::unique_ptr<ChildProcess> child_;
};

// A Bridge client that records the stream and stops once the feed has been
// quiet for a while.
class BridgeClient {
 public:
  BridgeClient(const std::vector<std::string>& subscriptions, double idleSeconds) {
    std::vector<std::string> argv = {kBin + "/bridge-client", "--quiet", "--summary", dir_.File("client.txt"),
                                     "--record", dir_.File("client.stream"), "--ready", dir_.File("client.ready"),
                                     "--idle-seconds", std::to_string(idleSeconds), "--seconds", "90",
                                     "--connect-timeout", "10"};
    for (const auto& s : subscriptions) {
      argv.push_back("--subscribe");
      argv.push_back(s);
    }
    child_ = std::make_unique<ChildProcess>(argv, dir_.File("client.out"));
    ready_ = WaitForText(dir_.File("client.ready"), "ready", 15s);
  }
  bool ready() const { return ready_; }
  // Waits for the client to stop by itself; its summary then.
  std::optional<Facts> Finish() {
    const auto status = child_->Wait(120s);
    if (!status || *status != 0) return std::nullopt;
    return ReadFacts(dir_.File("client.txt"));
  }
  std::string Stream() const { return ReadFile(dir_.File("client.stream")); }

 private:
  TempDir dir_;
  std::unique_ptr<ChildProcess> child_;
  bool ready_ = false;
};

constexpr int kSeed = 7;
constexpr int kTokens = 40;
constexpr int kDatagrams = 300;

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"feedhandler", "exchange-sim", "bridge-client", "bin-replay"})
      ASSERT_TRUE(std::filesystem::exists(kBin + "/" + tool)) << tool << " is not built";
  }

  // Starts a feed handler with every output on and the given receivers, waits
  // for them (each line of `listening`), then a Bridge client subscribed to
  // `subscriptions`, and waits until the feed handler has taken the last one.
  void Start(std::vector<std::string> clicks, const std::vector<std::string>& listening,
             const std::vector<std::string>& subscriptions, double idleSeconds = 2.5) {
    for (const char* c : {"PktCounters", "BCAST DELTA", "TCP", "Server", "Start"}) clicks.push_back(c);
    client_.reset();
    fh_ = std::make_unique<FeedHandler>(clicks);
    ASSERT_TRUE(fh_->WaitFor("TCP Server running")) << ReadFile(fh_->Log());
    for (const auto& line : listening) ASSERT_TRUE(fh_->WaitFor(line)) << ReadFile(fh_->Log());
    client_ = std::make_unique<BridgeClient>(subscriptions, idleSeconds);
    ASSERT_TRUE(client_->ready());
    if (!subscriptions.empty()) {
      ASSERT_TRUE(fh_->WaitFor(subscriptions.back() + ",")) << "the subscription was not handled";
    }
  }

  // Runs the simulator to the end; its summary, or nothing when it failed.
  std::optional<Facts> RunSimulator(const std::vector<std::string>& options, const std::string& name = "sim") {
    std::vector<std::string> argv = {kBin + "/exchange-sim", "--quiet", "--summary", dir_.File(name + ".txt")};
    argv.insert(argv.end(), options.begin(), options.end());
    ChildProcess sim(argv, dir_.File(name + ".out"));
    const auto status = sim.Wait(120s);
    if (!status || *status != 0) return std::nullopt;
    return ReadFacts(dir_.File(name + ".txt"));
  }

  TempDir dir_;
  std::unique_ptr<FeedHandler> fh_;
  std::unique_ptr<BridgeClient> client_;
};

// Every packet the simulator's ledger says a Bridge receives, per code, with
// its bytes; nothing else and nothing malformed.
void ExpectPacketsAsForwarded(const Facts& sent, const Facts& got, int segment, int exchange, int segmentCode) {
  long long expected = 0;
  for (const auto& [code, packetsAndBytes] : WithPrefix(sent, "forward " + std::to_string(segment) + " ")) {
    const std::string key = "packets " + std::to_string(exchange) + " " + std::to_string(segmentCode) + " " +
                            std::to_string(std::stoi(code) & 0xffff);
    EXPECT_EQ(got.count(key) ? got.at(key) : std::vector<long long>{}, packetsAndBytes) << key;
    expected += packetsAndBytes[0];
  }
  EXPECT_GT(expected, 0);
  EXPECT_EQ(Fact(got, "total packets"), expected);
  EXPECT_EQ(Fact(got, "total malformed"), 0);
}

// The first packet of `code` in a recorded Bridge stream.
std::vector<std::uint8_t> FirstPacket(const std::string& stream, int code) {
  tools::PacketStream cutter;
  std::vector<std::uint8_t> found;
  cutter.Feed(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size(), [&](const std::uint8_t* p, int n) {
    if (found.empty() && Load16(p + forwarded::kTransactionCode) == code) found.assign(p, p + n);
  });
  return found;
}

// The body a decoder forwards for a market-by-price message: the message from
// offset 38, NoOfRecords and each record converted to host order.
template <const auto& kTable, int kRecordSize, int kCapacity, int kPacketLength>
std::vector<std::uint8_t> MarketByPriceBody(const sim::NseMessage& m) {
  std::vector<std::uint8_t> msg(m.message(), m.message() + m.messageLength());
  ToHost16(msg.data() + nse::records::kNoOfRecords);
  const int records = std::clamp<int>(Load16(msg.data() + nse::records::kNoOfRecords), 0, kCapacity);
  for (int r = 0; r < records; ++r) nse::ConvertFields<kTable>(msg.data() + nse::records::kRecordsAt + r * kRecordSize);
  const auto bodyAt = msg.begin() + nse::header::kBodyAt;
  return std::vector<std::uint8_t>(bodyAt, bodyAt + nse::ForwardedBodyLength(kPacketLength));
}

// One segment's run: what the feed handler listens to, what the Bridge
// subscribes, where the changes go and which grid cells count the messages.
struct SegmentRun {
  const char* name;
  const char* click;
  const char* listening;
  const char* simSegment;
  int segment;
  int exchange, segmentCode;
  std::vector<int> subscribed;  // tokens
  bool allDeltaPort;            // every change also on port 2007
  bool everyChangeOnSubscribedPort;
  // Grid: the capital market's cells are refreshed on demand and read in the
  // cash column (row 0: decoded messages, datagrams); the others' in the F&O
  // column (row 0: datagrams, decoded messages). No grid for BSE.
  enum { kNoGrid, kCashColumn, kFoColumn } grid;
  std::vector<int> gridCodes;
  // A sample compared byte for byte: the first forwarded packet of a code.
  int sampleCode = 0;
  int sampleDivisor = 0;
  int samplePacketLength = 0;
  std::vector<std::uint8_t> (*sampleBody)(const sim::NseMessage&) = nullptr;
};

const SegmentRun kRuns[] = {
    {"CapitalMarket", "NSE-CM", "NSE receiver 233.1.2.5|35610", "cm", 1, forwarded::kExchangeNse,
     forwarded::kSegmentCm, {2885}, true, false, SegmentRun::kCashColumn, {7201, 7202, 7207, 7208},
     nse::cm::mbp::kCode, forwarded::kDivisorNse, nse::cm::mbp::kPacketLength,
     MarketByPriceBody<nse::cm::mbp::kConverted, nse::cm::mbp::kRecordSize, nse::cm::mbp::kCapacity,
                       nse::cm::mbp::kPacketLength>},
    // Rows 2009 to 6521 double as the watched-instrument view of token 38665,
    // which the simulator trades, so 6501 is not compared for F&O.
    {"FuturesAndOptions", "NSE-FO", "NSE receiver 233.1.2.5|34330", "fo", 2, forwarded::kExchangeNse,
     forwarded::kSegmentFo, {38665}, true, false, SegmentRun::kFoColumn,
     {6571, 7200, 7201, 7202, 7207, 7208, 7211, 7305, 9011}, nse::fo::mbp::kCode, forwarded::kDivisorNse,
     nse::fo::mbp::kPacketLength,
     MarketByPriceBody<nse::fo::mbp::kConverted, nse::fo::mbp::kRecordSize, nse::fo::mbp::kCapacity,
                       nse::fo::mbp::kPacketLength>},
    // Currency derivatives reach only subscribers, on port 2017.
    {"CurrencyDerivatives", "NSE-CD", "NSE receiver 233.1.2.5|34567", "cd", 3, forwarded::kExchangeNse,
     forwarded::kSegmentCd, {60000, 60003, 60006}, false, false, SegmentRun::kFoColumn,
     {6501, 7200, 7201, 7202, 7208, 7211, 7305, 9011}, nse::cd::v7213::kCode, forwarded::kDivisorCd,
     nse::cd::v7213::kPacketLength},
    // BSE blocks are forwarded whole and every change goes to port 2017.
    {"Bse", "BSE-CM-FO-CD", "Server running on 127.0.0.1 | 5449", "bse", 4, forwarded::kExchangeBse,
     forwarded::kSegmentCm, {500000}, false, true, SegmentRun::kNoGrid, {}},
};

void PrintTo(const SegmentRun& run, std::ostream* os) { *os << run.name; }

class SegmentEndToEnd : public EndToEnd, public ::testing::WithParamInterface<SegmentRun> {};

TEST_P(SegmentEndToEnd, MessagesAreCountedForwardedAndReported) {
  const SegmentRun& run = GetParam();
  const std::string seg = std::to_string(run.segment);
  std::vector<std::string> subscriptions;
  for (int token : run.subscribed) subscriptions.push_back(seg + "," + std::to_string(token));
  ASSERT_NO_FATAL_FAILURE(Start({run.click}, {run.listening}, subscriptions));

  const auto sent = RunSimulator({"--segments", run.simSegment, "--count", std::to_string(kDatagrams), "--rate",
                                  "1500", "--seed", std::to_string(kSeed), "--tokens", std::to_string(kTokens)});
  ASSERT_TRUE(sent);
  const auto got = client_->Finish();
  ASSERT_TRUE(got);

  // Every message counted: datagrams and packets of the framing, the
  // decoder's total, and the count per code.
  if (run.grid != SegmentRun::kNoGrid) {
    const Grid grid = fh_->ReadGrid(run.grid == SegmentRun::kCashColumn);
    ASSERT_FALSE(grid.empty()) << ReadFile(fh_->Log());
    const long long datagrams = Fact(*sent, "sent " + seg, 0), messages = Fact(*sent, "sent " + seg, 1);
    const int column = run.grid == SegmentRun::kCashColumn ? 0 : 1;
    EXPECT_EQ(grid.at("0"), (column == 0 ? std::vector{messages, datagrams} : std::vector{datagrams, messages}));
    EXPECT_EQ(grid.at("1")[0] + grid.at("1")[1], messages);
    for (int code : run.gridCodes) {
      EXPECT_EQ(grid.at(std::to_string(code))[column], Fact(*sent, "count " + seg + " " + std::to_string(code)))
          << "code " << code;
    }
  }

  ExpectPacketsAsForwarded(*sent, *got, run.segment, run.exchange, run.segmentCode);

  // Each change reaches the ports it is due on, with the last value sent.
  const auto last = WithPrefix(*sent, "last " + seg + " ");
  ASSERT_FALSE(last.empty());
  for (const auto& [token, value] : last) {
    if (run.allDeltaPort) {
      EXPECT_EQ(Fact(*got, "last 2007 " + token), value[0]) << "token " << token;
    }
    if (run.everyChangeOnSubscribedPort) {
      EXPECT_EQ(Fact(*got, "last 2017 " + seg + " " + token), value[0]) << "token " << token;
    }
  }
  if (!run.allDeltaPort) {
    EXPECT_TRUE(WithPrefix(*got, "last 2007 ").empty());
  }
  int subscribedChanged = 0;
  for (int token : run.subscribed) {
    const auto it = last.find(std::to_string(token));
    if (it == last.end()) continue;
    EXPECT_EQ(Fact(*got, "last 2017 " + seg + " " + it->first), it->second[0]) << "token " << token;
    ++subscribedChanged;
  }
  EXPECT_GT(subscribedChanged, 0);
  for (const auto& [code, value] : WithPrefix(*sent, "named " + seg + " "))
    EXPECT_EQ(Fact(*got, "last 2017 " + seg + " " + code), value[0]) << code;

  // A sample packet byte for byte, against the simulator's message rebuilt
  // from the same seed.
  if (run.sampleCode != 0) {
    sim::NseSegmentFeed feed(run.segment, kTokens, kSeed);
    sim::NseDatagramSource source(feed, 10, 0);
    std::optional<sim::NseMessage> first;
    source.SetObserver([&](const sim::NseMessage& m, const sim::Effects&) {
      if (!first && m.transactionCode() == run.sampleCode) first = m;
    });
    while (!first) source.Next(nullptr, nullptr);
    const auto p = FirstPacket(client_->Stream(), run.sampleCode);
    ASSERT_EQ(static_cast<int>(p.size()), run.samplePacketLength);
    EXPECT_EQ(static_cast<std::uint16_t>(Load16(p.data() + forwarded::kPriceDivisor)), run.sampleDivisor);
    EXPECT_EQ(Load32(p.data() + forwarded::kLogTime), LoadBe32(first->message() + nse::header::kLogTime));
    EXPECT_EQ(0, std::memcmp(p.data() + forwarded::kAlphaChar, first->message() + nse::header::kAlphaChar, 2));
    if (run.sampleBody != nullptr) {
      EXPECT_EQ(std::vector<std::uint8_t>(p.begin() + forwarded::kBodyAt, p.end()), run.sampleBody(*first));
    }
  }
  EXPECT_TRUE(fh_->Running());
  EXPECT_EQ(fh_->Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Segments, SegmentEndToEnd, ::testing::ValuesIn(kRuns),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EndToEnd, AWriteBinRecordingReplaysIntoTheSameOutputs) {
  constexpr int kRecorded = 200;
  ASSERT_NO_FATAL_FAILURE(Start({"NSE-FO", "Write BIN"}, {"NSE receiver 233.1.2.5|34330"}, {"2,38665"}));
  ASSERT_TRUE(RunSimulator({"--segments", "fo", "--count", std::to_string(kRecorded), "--rate", "1500", "--seed",
                            "21", "--fixed-size", "512"}));
  const auto live = client_->Finish();
  ASSERT_TRUE(live);
  EXPECT_GT(Fact(*live, "total packets"), 0);
  EXPECT_EQ(fh_->Stop(), 0);
  const std::string recording = ReadFile(fh_->File("BCASTOUT_BIN_FO.TXT"));
  ASSERT_EQ(recording.size(), static_cast<std::size_t>(kRecorded) * 512);
  WriteFile(dir_.File("recording.bin"), recording);

  ASSERT_NO_FATAL_FAILURE(Start({"NSE-FO"}, {"NSE receiver 233.1.2.5|34330"}, {"2,38665"}));
  ChildProcess replay({kBin + "/bin-replay", "--rate", "1500", dir_.File("recording.bin")}, dir_.File("replay.out"));
  ASSERT_EQ(replay.Wait(60s), 0) << ReadFile(dir_.File("replay.out.err"));
  EXPECT_NE(ReadFile(dir_.File("replay.out")).find("sent 200 datagrams (102400 bytes)"), std::string::npos);
  const auto replayed = client_->Finish();
  ASSERT_TRUE(replayed);

  EXPECT_EQ(WithPrefix(*replayed, "packets "), WithPrefix(*live, "packets "));
  EXPECT_EQ(WithPrefix(*replayed, "last "), WithPrefix(*live, "last "));
  const Grid grid = fh_->ReadGrid(false);
  ASSERT_FALSE(grid.empty());
  EXPECT_EQ(grid.at("0")[0], kRecorded);
  EXPECT_EQ(fh_->Stop(), 0);
}

TEST_F(EndToEnd, AFloodOfMalformedDatagramsLeavesTheFeedHandlerDecoding) {
  ASSERT_NO_FATAL_FAILURE(Start({"NSE-CM", "NSE-FO", "NSE-CD", "BSE-CM-FO-CD"},
                                {"NSE receiver 233.1.2.5|35610", "NSE receiver 233.1.2.5|34330",
                                 "NSE receiver 233.1.2.5|34567", "Server running on 127.0.0.1 | 5449"},
                                {"1,2885", "2,38665"}, 4.0));

  // Random, truncated and lying datagrams on every input port.
  ASSERT_TRUE(RunSimulator({"--junk", "400", "--count", "0", "--rate", "3000", "--seed", "5"}, "junk"));
  ASSERT_TRUE(fh_->Running());
  // Then a clean feed, which must still come out right.
  const auto sent = RunSimulator({"--count", "150", "--rate", "1500", "--seed", "6", "--tokens", "30"});
  ASSERT_TRUE(sent);
  const auto got = client_->Finish();
  ASSERT_TRUE(got);
  ASSERT_TRUE(fh_->Running());

  // Sent "last SEG TOKEN" -> the Bridge's key of the port it is due on.
  const std::pair<const char*, const char*> kRoutes[] = {
      {"last 1 ", "last 2007 "}, {"last 2 ", "last 2007 "}, {"last 4 ", "last 2017 4 "}};
  for (const auto& [from, to] : kRoutes) {
    const auto last = WithPrefix(*sent, from);
    EXPECT_FALSE(last.empty()) << from;
    for (const auto& [token, value] : last) EXPECT_EQ(Fact(*got, to + token), value[0]) << from << token;
  }
  EXPECT_FALSE(fh_->ReadGrid(false).empty());
  EXPECT_EQ(fh_->Stop(), 0);
}

}  // namespace
}  // namespace fh::testing
