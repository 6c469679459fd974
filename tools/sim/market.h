// A simulated exchange: instruments whose prices walk, NSE messages of a
// realistic mix for the three NSE segments, BSE datagrams of several blocks,
// and the ledger of what a feed handler must make of them.
//
// The token universes of the segments are disjoint (capital market from 1000,
// F&O from 35000, currency derivatives from 60000, BSE from 500000), so a
// Bridge can tell the segments apart even on the all-delta port, whose lines
// carry no segment.
// Thread safety: one owner per object.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "sim/bse_wire.h"
#include "sim/nse_wire.h"

namespace fh::sim {

// What one message (or BSE block) means to a feed handler decoding it with
// BCAST DELTA and CTCL on.
struct Effects {
  struct Report {
    int token;
    std::int32_t value;
  };
  struct NamedReport {
    char key[8];  // BSE code without trailing blanks
    std::int32_t value;
  };
  int segment = 0;
  int code = 0;
  int forwardedLength = 0;  // length of the packet a connected Bridge receives; 0 for none
  int reportCount = 0;
  Report reports[40];       // values the change test sees, in order
  int namedCount = 0;
  NamedReport named[16];
};

// Everything that was sent, in sending order.
class Ledger {
 public:
  void Commit(const Effects& fx);
  void CountDatagram(int segment, int bytes);

  struct PerSegment {
    long long datagrams = 0, bytes = 0, messages = 0;
  };
  PerSegment segments[5];                                  // by segment number 1..4
  std::map<std::pair<int, int>, long long> messages;       // (segment, code) -> sent
  std::map<std::pair<int, int>, long long> forwarded;      // (segment, code) -> packets for a Bridge
  std::map<std::pair<int, int>, long long> forwardedBytes; // (segment, code) -> their bytes
  std::map<std::pair<int, int>, std::int32_t> last;        // (segment, token) -> last value reported
  std::map<std::string, std::int32_t> lastNamed;           // BSE code -> last value reported

  // One fact a line: "sent SEG DATAGRAMS MESSAGES BYTES", "count SEG CODE N",
  // "forward SEG CODE N BYTES", "last SEG TOKEN VALUE", "named 4 CODE VALUE".
  std::string Summary() const;
};

struct Instrument {
  int token = 0;
  std::int32_t price = 0;
  std::int32_t tick = 0;
  std::int32_t volume = 0;
  char symbol[11] = {};
};

// The universe of one segment.
std::vector<Instrument> MakeUniverse(int segment, int count, std::mt19937& rng);

// The NSE broadcast of one segment (1 capital market, 2 F&O, 3 currency
// derivatives).
class NseSegmentFeed {
 public:
  NseSegmentFeed(int segment, int tokens, std::uint32_t seed);

  // Builds the next message of the mix and says what it means.
  NseMessage Next(Effects* fx);
  // Builds a message of the given code (one of the mix's codes).
  NseMessage Make(int code, Effects* fx);

  int segment() const { return segment_; }
  const std::vector<Instrument>& universe() const { return universe_; }
  std::mt19937& rng() { return rng_; }

 private:
  Instrument& Pick();
  void Walk(Instrument& i);
  NseMessage MarketByPrice(Effects* fx);
  NseMessage Ticker(Effects* fx);
  NseMessage MarketWatch(Effects* fx);
  NseMessage Indices(Effects* fx);
  NseMessage IndustryIndex(Effects* fx);
  NseMessage Spread(Effects* fx);
  NseMessage Update(Effects* fx);
  NseMessage Value(int code, Effects* fx);
  NseMessage Pairs(Effects* fx);
  NseMessage Other(int code, Effects* fx);

  int segment_;
  std::mt19937 rng_;
  std::vector<Instrument> universe_;
  std::vector<std::pair<int, int>> mix_;  // (code, weight)
  int totalWeight_ = 0;
  std::int32_t logTime_ = 0;
};

// The BSE feed: datagrams of several blocks.
class BseFeed {
 public:
  BseFeed(int tokens, std::uint32_t seed);

  // Fills the builder (after Reset) with 2 to 6 blocks and records their
  // effects in the ledger (which may be null).
  void NextDatagram(bse::DatagramBuilder* out, Ledger* ledger);

  std::mt19937& rng() { return rng_; }

 private:
  bool AddBlock(bse::DatagramBuilder* out, Effects* fx);

  std::mt19937 rng_;
  std::vector<Instrument> universe_;
  std::vector<std::pair<std::string, std::int32_t>> indices_;  // 2011/2012 codes and values
};

// Packs messages of a feed into datagrams: several packets each, most of them
// compressed; a message that does not fit starts the next datagram.
class NseDatagramSource {
 public:
  NseDatagramSource(NseSegmentFeed& feed, int plainPercent, int fixedSize);

  // Builds the next datagram, committing the effects of every message in it to
  // the ledger (which may be null). Returns its bytes (valid until the next call).
  std::span<const std::uint8_t> Next(Ledger* ledger, int* messages);

  // Called with every message that goes into a datagram, in sending order.
  using Observer = std::function<void(const NseMessage&, const Effects&)>;
  void SetObserver(Observer observer) { observer_ = std::move(observer); }

 private:
  Observer observer_;
  NseSegmentFeed& feed_;
  int plainPercent_;
  int fixedSize_;
  Lzo1zCompressor lzo_;
  DatagramBuilder builder_;
  bool havePending_ = false;
  NseMessage pending_{0, 0};
  Effects pendingFx_;
};

}  // namespace fh::sim
