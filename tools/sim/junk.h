// Malformed traffic for robustness runs and fuzz corpora: datagrams that are
// random, cut short, or whose counts and lengths lie.
//
// Thread safety: pure functions of the caller's generator.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "sim/bse_feed.h"
#include "sim/nse_feed.h"

namespace fh::sim {

// One malformed NSE datagram of the feed's segment (net id set most of the
// time): random bytes, a good datagram cut short, a packet count or compLen
// that lies, corrupt compressed data, a plain packet whose MessageLength or
// NoOfRecords lies. At most maxSize bytes.
std::vector<std::uint8_t> MakeNseJunk(NseSegmentFeed& feed, std::mt19937& rng, int maxSize = kExchangeDatagramSize);

// One malformed BSE datagram: negative, huge or overrunning payload lengths,
// record counts beyond the payload, random bytes, good datagrams cut short.
std::vector<std::uint8_t> MakeBseJunk(BseFeed& feed, std::mt19937& rng);

}  // namespace fh::sim
