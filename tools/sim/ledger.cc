#include "sim/ledger.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace fh::sim {

namespace {

// First tokens of the universes; the watched instruments come first.
constexpr int kCmWatched = 2885;
constexpr int kFoWatched = 38665;
constexpr int kCmFirst = 1000, kCmWideFirst = 100000, kFoFirst = 35000, kCdFirst = 60000, kBseFirst = 500000;

}  // namespace

void AddReport(Effects* fx, int token, std::int32_t value) {
  if (fx->reportCount < static_cast<int>(std::size(fx->reports))) fx->reports[fx->reportCount++] = {token, value};
}

void Ledger::Commit(const Effects& fx) {
  ++segments[std::clamp(fx.segment, 0, 4)].messages;
  ++messages[{fx.segment, fx.code}];
  if (fx.forwardedLength > 0) {
    ++forwarded[{fx.segment, fx.code}];
    forwardedBytes[{fx.segment, fx.code}] += fx.forwardedLength;
  }
  for (int i = 0; i < fx.reportCount; ++i) {
    // A first report of -1 changes nothing: a new entry already holds -1.
    last[{fx.segment, fx.reports[i].token}] = fx.reports[i].value;
    known_.insert({fx.segment, fx.reports[i].token});
  }
  if (fx.announced != 0 && known_.insert({fx.segment, fx.announced}).second) {
    announcedNew.insert({fx.segment, fx.announced});
  }
  for (int i = 0; i < fx.namedCount; ++i) lastNamed[fx.named[i].key] = fx.named[i].value;
}

void Ledger::CountDatagram(int segment, int bytes) {
  auto& s = segments[std::clamp(segment, 0, 4)];
  ++s.datagrams;
  s.bytes += bytes;
}

std::string Ledger::Summary() const {
  std::string out;
  char line[128];
  for (int s = 1; s <= 4; ++s) {
    std::snprintf(line, sizeof line, "sent %d %lld %lld %lld\n", s, segments[s].datagrams, segments[s].messages,
                  segments[s].bytes);
    out += line;
  }
  for (const auto& [k, n] : messages) {
    std::snprintf(line, sizeof line, "count %d %d %lld\n", k.first, k.second, n);
    out += line;
  }
  for (const auto& [k, n] : forwarded) {
    std::snprintf(line, sizeof line, "forward %d %d %lld %lld\n", k.first, k.second, n, forwardedBytes.at(k));
    out += line;
  }
  for (const auto& [k, v] : last) {
    std::snprintf(line, sizeof line, "last %d %d %d\n", k.first, k.second, v);
    out += line;
  }
  for (const auto& [k, v] : lastNamed) {
    std::snprintf(line, sizeof line, "named 4 %s %d\n", k.c_str(), v);
    out += line;
  }
  for (const auto& [segment, token] : announcedNew) {
    std::snprintf(line, sizeof line, "new %d %d\n", segment, token);
    out += line;
  }
  return out;
}

std::vector<Instrument> MakeUniverse(int segment, int count, std::mt19937& rng, bool wideTokens) {
  static constexpr const char* kNames[] = {"RELIANCE", "TCS", "INFY", "HDFCBANK", "ICICIBANK", "SBIN", "ITC", "LT",
                                           "AXISBANK", "WIPRO", "MARUTI", "TITAN", "NIFTY", "BANKNIFTY", "USDINR",
                                           "EURINR", "GBPINR", "JPYINR", "SENSEX", "BANKEX"};
  std::vector<Instrument> u;
  count = std::clamp(count, 1, 4000);
  for (int i = 0; i < count; ++i) {
    Instrument in;
    switch (segment) {
      case 1: in.token = i == 0 ? kCmWatched : (wideTokens ? kCmWideFirst : kCmFirst) + i * 3; break;  // classic: below 32768
      case 2: in.token = i == 0 ? kFoWatched : kFoFirst + i * 7; break;
      case 3: in.token = kCdFirst + i * 3; break;
      default: in.token = kBseFirst + i * 2; break;
    }
    if (segment == 1 && i > 0 && in.token >= kCmWatched) in.token += 1;  // keep clear of the watched token
    if (segment == 3) {
      in.tick = 25000;  // 0.0025 at a divisor of 10,000,000
      in.price = Uniform(rng, 700, 950) * 1'000'000;  // 70.0 to 95.0 at a divisor of 10,000,000
    } else {
      in.tick = 5;
      in.price = Uniform(rng, 20, 50000) * 20;
    }
    in.volume = Uniform(rng, 1000, 100000);
    // Six letters and at most four digits fill the ten characters of a symbol.
    std::snprintf(in.symbol, sizeof in.symbol, "%.6s%d", kNames[static_cast<std::size_t>(i) % std::size(kNames)],
                  (i / static_cast<int>(std::size(kNames))) % 10000);
    u.push_back(in);
  }
  return u;
}

void WalkPrice(Instrument& in, std::mt19937& rng) {
  in.price = std::max(in.tick * 10, in.price + Uniform(rng, -3, 3) * in.tick);
}

}  // namespace fh::sim
