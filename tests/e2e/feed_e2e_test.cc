// The feedhandler program end to end, in the private network namespace: the
// exchange simulator feeds it, a Bridge client takes what it sends, and what
// arrives is compared with what the simulator says it sent.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "client/packet_stream.h"
#include "distribution/forwarded_packet.h"
#include "nse/byteorder.h"
#include "nse/layouts.h"
#include "sim/bse_feed.h"
#include "sim/ledger.h"
#include "sim/nse_feed.h"
#include "support/test_dir.h"

namespace fh::testing {
namespace {

using namespace std::chrono_literals;

const std::string kBin = FH_BIN_DIR;

// What the simulator's summary says it sent.
struct SentFeed {
  std::map<int, long long> datagrams, messages;              // by segment
  std::map<std::pair<int, int>, long long> count;            // (segment, code)
  std::map<std::pair<int, int>, std::pair<long long, long long>> forward;  // -> packets, bytes
  std::map<std::pair<int, int>, long long> last;             // (segment, token) -> value
  std::map<std::string, long long> named;
};

SentFeed ReadSent(const std::string& path) {
  SentFeed s;
  std::istringstream in(ReadFile(path));
  std::string kind;
  while (in >> kind) {
    if (kind == "sent") {
      int seg;
      long long d, m, b;
      in >> seg >> d >> m >> b;
      s.datagrams[seg] = d;
      s.messages[seg] = m;
    } else if (kind == "count") {
      int seg, code;
      long long n;
      in >> seg >> code >> n;
      s.count[{seg, code}] = n;
    } else if (kind == "forward") {
      int seg, code;
      long long n, b;
      in >> seg >> code >> n >> b;
      s.forward[{seg, code}] = {n, b};
    } else if (kind == "last") {
      int seg, token;
      long long v;
      in >> seg >> token >> v;
      s.last[{seg, token}] = v;
    } else if (kind == "named") {
      int seg;
      std::string key;
      long long v;
      in >> seg >> key >> v;
      s.named[key] = v;
    } else {
      std::string rest;
      std::getline(in, rest);
    }
  }
  return s;
}

// What the Bridge client's summary says it received.
struct Received {
  std::map<std::string, std::pair<long long, long long>> packets;  // "EXCH SEG CODE" -> packets, bytes
  long long totalPackets = 0;
  long long malformed = 0;
  std::map<std::string, long long> last;  // "2007 TOKEN", "2017 SEG KEY"
};

Received ReadReceived(const std::string& path) {
  Received r;
  std::istringstream in(ReadFile(path));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string kind;
    f >> kind;
    if (kind == "total") {
      std::string word;
      f >> word >> r.totalPackets;
      while (f >> word)
        if (word == "malformed") f >> r.malformed;
    } else if (kind == "packets") {
      std::string e, s, c;
      long long n, b;
      f >> e >> s >> c >> n >> b;
      r.packets[e + " " + s + " " + c] = {n, b};
    } else if (kind == "last") {
      const auto space = line.rfind(' ');
      r.last[line.substr(5, space - 5)] = std::stoll(line.substr(space + 1));
    }
  }
  return r;
}

// The counters grid as printed by the "grid" command: rows by their label.
using Grid = std::map<std::string, std::vector<long long>>;

Grid ParseLastGrid(const std::string& log) {
  Grid g;
  const std::string header = "Packet\tNSE-CASH\tNSE-FO\n";
  const auto at = log.rfind(header);
  if (at == std::string::npos) return g;
  std::istringstream in(log.substr(at + header.size()));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string label, a, b;
    if (!std::getline(f, label, '\t') || !std::getline(f, a, '\t') || !std::getline(f, b)) break;
    g[label] = {std::atoll(a.c_str()), std::atoll(b.c_str())};
  }
  return g;
}

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
    const std::string header = "Packet\tNSE-CASH\tNSE-FO";
    const int before = Occurrences(ReadFile(Log()), header);
    if (refreshCashCounters) child_->Write("click PktCounters\nclick PktCounters\n");
    child_->Write("grid\n");
    if (!WaitFor(header, before + 1, 10s)) return {};
    // The grid is printed in one piece; give the last row a moment to land.
    WaitFor("\n9011\t", before + 1, 2s);
    return ParseLastGrid(ReadFile(Log()));
  }

  std::optional<int> Stop() {
    if (!child_) return std::nullopt;
    child_->Signal(SIGINT);
    auto status = child_->Wait(20s);
    child_.reset();
    return status;
  }

 private:
  static int Occurrences(const std::string& s, const std::string& t) {
    int n = 0;
    for (auto at = s.find(t); at != std::string::npos; at = s.find(t, at + 1)) ++n;
    return n;
  }

  TempDir dir_;
  std::unique_ptr<ChildProcess> child_;
};

// A Bridge client that stops once the feed has been quiet for a while.
class BridgeClient {
 public:
  BridgeClient(const TempDir& dir, const std::vector<std::string>& subscriptions, double idleSeconds = 2.5) {
    summary_ = dir.File("client.txt");
    record_ = dir.File("client.stream");
    const std::string ready = dir.File("client.ready");
    std::vector<std::string> argv = {kBin + "/bridge-client", "--quiet",     "--summary", summary_,
                                     "--record",              record_,       "--ready",   ready,
                                     "--idle-seconds",        std::to_string(idleSeconds),
                                     "--seconds",             "90",          "--connect-timeout", "10"};
    for (const auto& s : subscriptions) {
      argv.push_back("--subscribe");
      argv.push_back(s);
    }
    child_ = std::make_unique<ChildProcess>(argv, dir.File("client.out"));
    ready_ = WaitForText(ready, "ready", 15s);
  }
  bool ready() const { return ready_; }
  // Waits for the client to stop by itself; its summary then.
  std::optional<Received> Finish() {
    const auto status = child_->Wait(120s);
    if (!status || *status != 0) return std::nullopt;
    return ReadReceived(summary_);
  }
  std::string Stream() const { return ReadFile(record_); }

 private:
  std::string summary_, record_;
  std::unique_ptr<ChildProcess> child_;
  bool ready_ = false;
};

// Runs the simulator to the end; its summary, or nothing when it failed.
std::optional<SentFeed> RunSimulator(const TempDir& dir, const std::vector<std::string>& options,
                                     const std::string& name = "sim") {
  std::vector<std::string> argv = {kBin + "/exchange-sim", "--quiet", "--summary", dir.File(name + ".txt")};
  argv.insert(argv.end(), options.begin(), options.end());
  ChildProcess sim(argv, dir.File(name + ".out"));
  const auto status = sim.Wait(120s);
  if (!status || *status != 0) return std::nullopt;
  return ReadSent(dir.File(name + ".txt"));
}

constexpr int kSeed = 7;
constexpr int kTokens = 40;
constexpr int kDatagrams = 300;
const std::vector<std::string> kOutputs = {"PktCounters", "BCAST DELTA", "TCP", "Server", "Start"};

std::vector<std::string> Clicks(std::vector<std::string> segments) {
  segments.insert(segments.end(), kOutputs.begin(), kOutputs.end());
  return segments;
}

// The NSE segment's forwarded packets, exchange code 10.
std::string PacketKey(int exchange, int segmentCode, int code) {
  return std::to_string(exchange) + " " + std::to_string(segmentCode) + " " + std::to_string(code);
}

void ExpectPacketsAsForwarded(const SentFeed& sent, const Received& got, int exchange, int segmentCode) {
  long long expected = 0;
  for (const auto& [key, nb] : sent.forward) {
    const int code = key.second & 0xffff;
    const auto it = got.packets.find(PacketKey(exchange, segmentCode, code));
    ASSERT_NE(it, got.packets.end()) << "no packet of code " << key.second;
    EXPECT_EQ(it->second.first, nb.first) << "packets of code " << key.second;
    EXPECT_EQ(it->second.second, nb.second) << "bytes of code " << key.second;
    expected += nb.first;
  }
  EXPECT_EQ(got.totalPackets, expected);
  EXPECT_EQ(got.malformed, 0);
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

// The converted body a decoder forwards for a record-list message: the
// message from offset 38, NoOfRecords and each record converted by the table.
template <const auto& kTable, int kRecordSize, int kCapacity>
std::vector<std::uint8_t> ExpectedRecordListBody(const sim::NseMessage& m, int packetLength) {
  std::vector<std::uint8_t> msg(m.message(), m.message() + m.messageLength());
  ToHost16(msg.data() + nse::records::kNoOfRecords);
  const int records = std::clamp<int>(Load16(msg.data() + nse::records::kNoOfRecords), 0, kCapacity);
  for (int r = 0; r < records; ++r) nse::ConvertFields<kTable>(msg.data() + nse::records::kRecordsAt + r * kRecordSize);
  const auto bodyAt = msg.begin() + nse::header::kBodyAt;
  return std::vector<std::uint8_t>(bodyAt, bodyAt + nse::ForwardedBodyLength(packetLength));
}

// Regenerates the simulator's messages for one segment (same seed, tokens and
// datagram count) and returns the first message of each code.
std::map<int, sim::NseMessage> FirstMessages(int segment) {
  sim::NseSegmentFeed feed(segment, kTokens, kSeed);
  sim::NseDatagramSource source(feed, 10, 0);
  std::map<int, sim::NseMessage> first;
  source.SetObserver([&](const sim::NseMessage& m, const sim::Effects&) { first.emplace(m.transactionCode(), m); });
  for (int i = 0; i < kDatagrams; ++i) source.Next(nullptr, nullptr);
  return first;
}

void ExpectHeader(const std::vector<std::uint8_t>& p, const sim::NseMessage& m, int segmentCode, int divisor,
                  int length) {
  ASSERT_EQ(static_cast<int>(p.size()), length);
  EXPECT_EQ(Load16(p.data() + forwarded::kExchangeCode), forwarded::kExchangeNse);
  EXPECT_EQ(Load16(p.data() + forwarded::kSegmentCode), segmentCode);
  EXPECT_EQ(static_cast<std::uint16_t>(Load16(p.data() + forwarded::kPriceDivisor)), divisor);
  EXPECT_EQ(Load32(p.data() + forwarded::kLogTime), LoadBe32(m.message() + nse::header::kLogTime));
  EXPECT_EQ(0, std::memcmp(p.data() + forwarded::kAlphaChar, m.message() + nse::header::kAlphaChar, 2));
  EXPECT_EQ(Load16(p.data() + forwarded::kTransactionCode), m.transactionCode());
  EXPECT_EQ(Load16(p.data() + forwarded::kPacketLength), length);
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"feedhandler", "exchange-sim", "bridge-client", "bin-replay"})
      ASSERT_TRUE(std::filesystem::exists(kBin + "/" + tool)) << tool << " is not built";
  }
  TempDir dir_;
};

TEST_F(EndToEnd, CapitalMarketMessagesAreCountedForwardedAndReported) {
  FeedHandler fh(Clicks({"NSE-CM"}));
  ASSERT_TRUE(fh.WaitFor("TCP Server running")) << ReadFile(fh.Log());
  ASSERT_TRUE(fh.WaitFor("NSE receiver 233.1.2.5|35610")) << ReadFile(fh.Log());
  BridgeClient client(dir_, {"1,2885"});
  ASSERT_TRUE(client.ready());
  ASSERT_TRUE(fh.WaitFor("1,2885,")) << "the subscription was not handled";

  const auto sent = RunSimulator(dir_, {"--segments", "cm", "--count", std::to_string(kDatagrams), "--rate", "1500",
                                        "--seed", std::to_string(kSeed), "--tokens", std::to_string(kTokens)});
  ASSERT_TRUE(sent);
  const auto got = client.Finish();
  ASSERT_TRUE(got);

  // Every message counted: the refresh shows the decoder's total, the
  // framing's datagrams and packets, and the count per code.
  const Grid grid = fh.ReadGrid(true);
  ASSERT_FALSE(grid.empty()) << ReadFile(fh.Log());
  EXPECT_EQ(grid.at("0")[0], sent->messages.at(1));
  EXPECT_EQ(grid.at("0")[1], sent->datagrams.at(1));
  EXPECT_EQ(grid.at("1")[0] + grid.at("1")[1], sent->messages.at(1));
  for (int code : {7201, 7202, 7207, 7208}) {
    const auto it = sent->count.find({1, code});
    EXPECT_EQ(grid.at(std::to_string(code))[0], it == sent->count.end() ? 0 : it->second) << "code " << code;
  }

  ExpectPacketsAsForwarded(*sent, *got, forwarded::kExchangeNse, forwarded::kSegmentCm);

  // Every change reaches the all-delta port; the subscribed token also 2017.
  ASSERT_FALSE(sent->last.empty());
  for (const auto& [key, value] : sent->last) {
    const auto it = got->last.find("2007 " + std::to_string(key.second));
    ASSERT_NE(it, got->last.end()) << "token " << key.second;
    EXPECT_EQ(it->second, value) << "token " << key.second;
  }
  ASSERT_TRUE(sent->last.count({1, 2885}));
  EXPECT_EQ(got->last.at("2017 1 2885"), sent->last.at({1, 2885}));

  // A sample byte for byte: the first ticker and market-by-price packets.
  const auto first = FirstMessages(1);
  const std::string stream = client.Stream();
  const auto ticker = FirstPacket(stream, nse::cm::ticker::kCode);
  ExpectHeader(ticker, first.at(nse::cm::ticker::kCode), forwarded::kSegmentCm, forwarded::kDivisorNse,
               nse::cm::ticker::kPacketLength);
  EXPECT_EQ(std::vector<std::uint8_t>(ticker.begin() + forwarded::kBodyAt, ticker.end()),
            (ExpectedRecordListBody<nse::cm::ticker::kConverted, nse::cm::ticker::kRecordSize,
                                    nse::cm::ticker::kCapacity>(first.at(nse::cm::ticker::kCode),
                                                                nse::cm::ticker::kPacketLength)));
  const auto mbp = FirstPacket(stream, nse::cm::mbp::kCode);
  ExpectHeader(mbp, first.at(nse::cm::mbp::kCode), forwarded::kSegmentCm, forwarded::kDivisorNse,
               nse::cm::mbp::kPacketLength);
  EXPECT_EQ(std::vector<std::uint8_t>(mbp.begin() + forwarded::kBodyAt, mbp.end()),
            (ExpectedRecordListBody<nse::cm::mbp::kConverted, nse::cm::mbp::kRecordSize, nse::cm::mbp::kCapacity>(
                first.at(nse::cm::mbp::kCode), nse::cm::mbp::kPacketLength)));

  EXPECT_EQ(fh.Stop(), 0);
}

TEST_F(EndToEnd, FuturesAndOptionsMessagesAreCountedForwardedAndReported) {
  FeedHandler fh(Clicks({"NSE-FO"}));
  ASSERT_TRUE(fh.WaitFor("TCP Server running")) << ReadFile(fh.Log());
  ASSERT_TRUE(fh.WaitFor("NSE receiver 233.1.2.5|34330")) << ReadFile(fh.Log());
  BridgeClient client(dir_, {"2,38665"});
  ASSERT_TRUE(client.ready());
  ASSERT_TRUE(fh.WaitFor("2,38665,"));

  const auto sent = RunSimulator(dir_, {"--segments", "fo", "--count", std::to_string(kDatagrams), "--rate", "1500",
                                        "--seed", std::to_string(kSeed), "--tokens", std::to_string(kTokens)});
  ASSERT_TRUE(sent);
  const auto got = client.Finish();
  ASSERT_TRUE(got);

  const Grid grid = fh.ReadGrid(false);
  ASSERT_FALSE(grid.empty()) << ReadFile(fh.Log());
  EXPECT_EQ(grid.at("0")[0], sent->datagrams.at(2));
  EXPECT_EQ(grid.at("0")[1], sent->messages.at(2));
  EXPECT_EQ(grid.at("1")[0] + grid.at("1")[1], sent->messages.at(2));
  // Rows 2009 to 6521 double as the watched-instrument view of token 38665,
  // which the simulator trades, so 6501 is not compared here.
  for (int code : {6571, 7200, 7201, 7202, 7207, 7208, 7211, 7305, 9011}) {
    const auto it = sent->count.find({2, code});
    EXPECT_EQ(grid.at(std::to_string(code))[1], it == sent->count.end() ? 0 : it->second) << "code " << code;
  }

  ExpectPacketsAsForwarded(*sent, *got, forwarded::kExchangeNse, forwarded::kSegmentFo);
  ASSERT_FALSE(sent->last.empty());
  for (const auto& [key, value] : sent->last) {
    const auto it = got->last.find("2007 " + std::to_string(key.second));
    ASSERT_NE(it, got->last.end()) << "token " << key.second;
    EXPECT_EQ(it->second, value) << "token " << key.second;
  }
  ASSERT_TRUE(sent->last.count({2, 38665}));
  EXPECT_EQ(got->last.at("2017 2 38665"), sent->last.at({2, 38665}));

  const auto first = FirstMessages(2);
  const auto mbp = FirstPacket(client.Stream(), nse::fo::mbp::kCode);
  ExpectHeader(mbp, first.at(nse::fo::mbp::kCode), forwarded::kSegmentFo, forwarded::kDivisorNse,
               nse::fo::mbp::kPacketLength);
  EXPECT_EQ(std::vector<std::uint8_t>(mbp.begin() + forwarded::kBodyAt, mbp.end()),
            (ExpectedRecordListBody<nse::fo::mbp::kConverted, nse::fo::mbp::kRecordSize, nse::fo::mbp::kCapacity>(
                first.at(nse::fo::mbp::kCode), nse::fo::mbp::kPacketLength)));

  EXPECT_EQ(fh.Stop(), 0);
}

TEST_F(EndToEnd, CurrencyDerivativesReachOnlySubscribersOnTheDeltaPorts) {
  FeedHandler fh(Clicks({"NSE-CD"}));
  ASSERT_TRUE(fh.WaitFor("TCP Server running")) << ReadFile(fh.Log());
  ASSERT_TRUE(fh.WaitFor("NSE receiver 233.1.2.5|34567")) << ReadFile(fh.Log());
  BridgeClient client(dir_, {"3,60000", "3,60003", "3,60006"});
  ASSERT_TRUE(client.ready());
  ASSERT_TRUE(fh.WaitFor("3,60006,"));

  const auto sent = RunSimulator(dir_, {"--segments", "cd", "--count", std::to_string(kDatagrams), "--rate", "1500",
                                        "--seed", std::to_string(kSeed), "--tokens", std::to_string(kTokens)});
  ASSERT_TRUE(sent);
  const auto got = client.Finish();
  ASSERT_TRUE(got);

  const Grid grid = fh.ReadGrid(false);
  ASSERT_FALSE(grid.empty()) << ReadFile(fh.Log());
  EXPECT_EQ(grid.at("0")[0], sent->datagrams.at(3));
  EXPECT_EQ(grid.at("0")[1], sent->messages.at(3));
  EXPECT_EQ(grid.at("1")[0] + grid.at("1")[1], sent->messages.at(3));
  for (int code : {6501, 7200, 7201, 7202, 7208, 7211, 7305, 9011}) {
    const auto it = sent->count.find({3, code});
    EXPECT_EQ(grid.at(std::to_string(code))[1], it == sent->count.end() ? 0 : it->second) << "code " << code;
  }
  ExpectPacketsAsForwarded(*sent, *got, forwarded::kExchangeNse, forwarded::kSegmentCd);

  // Nothing on the all-delta port from this segment: only the subscribed
  // tokens' lines on 2017.
  for (const auto& [key, value] : got->last) EXPECT_NE(key.rfind("2007 ", 0), 0u) << key;
  int checked = 0;
  for (int token : {60000, 60003, 60006}) {
    const auto it = sent->last.find({3, token});
    if (it == sent->last.end()) continue;
    EXPECT_EQ(got->last.at("2017 3 " + std::to_string(token)), it->second) << "token " << token;
    ++checked;
  }
  EXPECT_GT(checked, 0);

  const auto first = FirstMessages(3);
  const auto v7213 = FirstPacket(client.Stream(), nse::cd::v7213::kCode);
  ExpectHeader(v7213, first.at(nse::cd::v7213::kCode), forwarded::kSegmentCd, forwarded::kDivisorCd,
               nse::cd::v7213::kPacketLength);
  EXPECT_EQ(fh.Stop(), 0);
}

TEST_F(EndToEnd, BseBlocksAreForwardedWholeAndEveryChangeGoesToTheSubscribedPort) {
  FeedHandler fh(Clicks({"BSE-CM-FO-CD"}));
  ASSERT_TRUE(fh.WaitFor("TCP Server running")) << ReadFile(fh.Log());
  ASSERT_TRUE(fh.WaitFor("Server running on 127.0.0.1 | 5449")) << ReadFile(fh.Log());
  BridgeClient client(dir_, {"4,500000"});
  ASSERT_TRUE(client.ready());
  ASSERT_TRUE(fh.WaitFor("4,500000,"));

  const auto sent = RunSimulator(dir_, {"--segments", "bse", "--count", "200", "--rate", "1000", "--seed",
                                        std::to_string(kSeed), "--tokens", std::to_string(kTokens)});
  ASSERT_TRUE(sent);
  const auto got = client.Finish();
  ASSERT_TRUE(got);

  ExpectPacketsAsForwarded(*sent, *got, forwarded::kExchangeBse, forwarded::kSegmentCm);
  ASSERT_FALSE(sent->last.empty());
  for (const auto& [key, value] : sent->last) {
    const auto it = got->last.find("2017 4 " + std::to_string(key.second));
    ASSERT_NE(it, got->last.end()) << "token " << key.second;
    EXPECT_EQ(it->second, value) << "token " << key.second;
  }
  for (const auto& [code, value] : sent->named) EXPECT_EQ(got->last.at("2017 4 " + code), value) << code;
  EXPECT_TRUE(fh.Running());
  EXPECT_EQ(fh.Stop(), 0);
}

TEST_F(EndToEnd, AWriteBinRecordingReplaysIntoTheSameOutputs) {
  constexpr int kRecorded = 200;
  std::string recording;
  Received live;
  {
    FeedHandler fh(Clicks({"NSE-FO", "Write BIN"}));
    ASSERT_TRUE(fh.WaitFor("TCP Server running")) << ReadFile(fh.Log());
    ASSERT_TRUE(fh.WaitFor("NSE receiver 233.1.2.5|34330"));
    TempDir clientDir;
    BridgeClient client(clientDir, {"2,38665"});
    ASSERT_TRUE(client.ready());
    ASSERT_TRUE(fh.WaitFor("2,38665,"));
    ASSERT_TRUE(RunSimulator(dir_, {"--segments", "fo", "--count", std::to_string(kRecorded), "--rate", "1500",
                                    "--seed", "21", "--fixed-size", "512"}));
    auto got = client.Finish();
    ASSERT_TRUE(got);
    live = *got;
    EXPECT_EQ(fh.Stop(), 0);
    recording = ReadFile(fh.File("BCASTOUT_BIN_FO.TXT"));
    ASSERT_EQ(recording.size(), static_cast<std::size_t>(kRecorded) * 512);
    WriteFile(dir_.File("recording.bin"), recording);
  }

  FeedHandler fh(Clicks({"NSE-FO"}));
  ASSERT_TRUE(fh.WaitFor("TCP Server running")) << ReadFile(fh.Log());
  ASSERT_TRUE(fh.WaitFor("NSE receiver 233.1.2.5|34330"));
  TempDir clientDir;
  BridgeClient client(clientDir, {"2,38665"});
  ASSERT_TRUE(client.ready());
  ASSERT_TRUE(fh.WaitFor("2,38665,"));
  ChildProcess replay({kBin + "/bin-replay", "--rate", "1500", dir_.File("recording.bin")}, dir_.File("replay.out"));
  ASSERT_EQ(replay.Wait(60s), 0) << ReadFile(dir_.File("replay.out.err"));
  EXPECT_NE(ReadFile(dir_.File("replay.out")).find("sent 200 datagrams (102400 bytes)"), std::string::npos);
  const auto replayed = client.Finish();
  ASSERT_TRUE(replayed);

  EXPECT_EQ(replayed->packets, live.packets);
  EXPECT_GT(live.totalPackets, 0);
  EXPECT_EQ(replayed->last, live.last);
  const Grid grid = fh.ReadGrid(false);
  ASSERT_FALSE(grid.empty());
  EXPECT_EQ(grid.at("0")[0], kRecorded);
  EXPECT_EQ(fh.Stop(), 0);
}

TEST_F(EndToEnd, AFloodOfMalformedDatagramsLeavesTheFeedHandlerDecoding) {
  FeedHandler fh(Clicks({"NSE-CM", "NSE-FO", "NSE-CD", "BSE-CM-FO-CD"}));
  ASSERT_TRUE(fh.WaitFor("TCP Server running")) << ReadFile(fh.Log());
  ASSERT_TRUE(fh.WaitFor("NSE receiver", 3)) << ReadFile(fh.Log());
  ASSERT_TRUE(fh.WaitFor("Server running on 127.0.0.1 | 5449")) << ReadFile(fh.Log());
  BridgeClient client(dir_, {"1,2885", "2,38665"}, 4.0);
  ASSERT_TRUE(client.ready());

  // Random, truncated and lying datagrams on every input port.
  ASSERT_TRUE(RunSimulator(dir_, {"--junk", "400", "--count", "0", "--rate", "3000", "--seed", "5"}, "junk"));
  ASSERT_TRUE(fh.Running());
  // Then a clean feed, which must still come out right.
  const auto sent = RunSimulator(dir_, {"--count", "150", "--rate", "1500", "--seed", "6", "--tokens", "30"});
  ASSERT_TRUE(sent);
  const auto got = client.Finish();
  ASSERT_TRUE(got);
  ASSERT_TRUE(fh.Running());

  for (const auto& [key, value] : sent->last) {
    const std::string k = key.first == 1 || key.first == 2 ? "2007 " + std::to_string(key.second)
                          : key.first == 4               ? "2017 4 " + std::to_string(key.second)
                                                         : "";
    if (k.empty()) continue;
    const auto it = got->last.find(k);
    ASSERT_NE(it, got->last.end()) << k;
    EXPECT_EQ(it->second, value) << k;
  }
  EXPECT_FALSE(fh.ReadGrid(false).empty());
  EXPECT_EQ(fh.Stop(), 0);
}

}  // namespace
}  // namespace fh::testing
