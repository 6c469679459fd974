// The simulated BSE feed: datagrams of several message blocks of the types
// the exchange sends, prices and index values that walk, each block's meaning
// committed to the ledger.
// Thread safety: one owner per object.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "sim/bse_wire.h"
#include "sim/ledger.h"

namespace fh::sim {

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

}  // namespace fh::sim
