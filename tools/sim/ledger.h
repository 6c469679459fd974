// The simulated exchange's state and bookkeeping: the instruments of a
// segment and their walking prices, what each message means to a feed handler
// (Effects), and the ledger of everything sent. Both feeds draw from a
// std::mt19937 through Uniform, so one seed always gives the same feed.
//
// The token universes of the segments are disjoint (capital market from 1000,
// or from 100000 where today's 4-byte tokens are sent, F&O from 35000,
// currency derivatives from 60000, BSE from 500000), so a Bridge can tell the
// segments apart even on the all-delta port, whose lines carry no segment.
// Thread safety: one owner per object; the functions are pure but for the
// caller's generator.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace fh::sim {

inline int Uniform(std::mt19937& rng, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

// The generator seed of one feed (salt: the segment number).
inline std::uint32_t FeedSeed(std::uint32_t seed, int salt) {
  return seed * 2654435761u + static_cast<std::uint32_t>(salt) * 40503u + 1;
}

// Picks one choice by weight: one draw in [0, total weight).
template <class Choice>
const Choice& PickWeighted(std::mt19937& rng, const std::vector<std::pair<Choice, int>>& weighted, int totalWeight) {
  int r = Uniform(rng, 0, totalWeight - 1);
  for (const auto& [choice, weight] : weighted) {
    if (r < weight) return choice;
    r -= weight;
  }
  return weighted.front().first;
}

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
  int announced = 0;        // the token a security or contract update announces; 0 for none
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
  // (segment, token) of every update that announced an instrument the feed
  // handler's table did not hold yet (no value reported, no update before):
  // each draws one new-instrument item on the subscribed-delta line. Tokens
  // a Bridge subscribed before the feed began are in the table already.
  std::set<std::pair<int, int>> announcedNew;

  // One fact a line: "sent SEG DATAGRAMS MESSAGES BYTES", "count SEG CODE N",
  // "forward SEG CODE N BYTES", "last SEG TOKEN VALUE", "named 4 CODE VALUE",
  // "new SEG TOKEN".
  std::string Summary() const;

 private:
  std::set<std::pair<int, int>> known_;  // (segment, token) in the feed handler's table
};

// Appends a report while room remains (further ones are dropped).
void AddReport(Effects* fx, int token, std::int32_t value);

struct Instrument {
  int token = 0;
  std::int32_t price = 0;
  std::int32_t tick = 0;
  std::int32_t volume = 0;
  char symbol[11] = {};
};

// The universe of one segment (1 to 3 NSE, 4 BSE). With wideTokens the
// capital market's tokens but the watched one lie above 65535, as only
// today's 4-byte token fields can carry them.
std::vector<Instrument> MakeUniverse(int segment, int count, std::mt19937& rng, bool wideTokens = false);

// Moves the price up to three ticks either way, never below ten ticks.
void WalkPrice(Instrument& in, std::mt19937& rng);

}  // namespace fh::sim
