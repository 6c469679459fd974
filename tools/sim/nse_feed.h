// The simulated NSE broadcast of one segment: messages of a realistic mix
// whose prices walk, packed into datagrams of several packets, most of them
// LZO1Z-compressed, each message's meaning committed to the ledger.
// Thread safety: one owner per object.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "sim/ledger.h"
#include "sim/nse_wire.h"

namespace fh::sim {

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
  Instrument& Trade();  // Pick, then walk its price and volume
  // Draws the record count of a record-list message and writes NoOfRecords.
  int StartRecords(NseMessage& m, int fewest, int most);
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
