// The simulated NSE broadcast of one segment: messages of a realistic mix
// whose prices walk, packed into datagrams of several packets, most of them
// LZO1Z-compressed, each message's meaning committed to the ledger. The feed
// speaks the classic wire, today's, or both interleaved.
// Thread safety: one owner per object.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/ledger.h"
#include "sim/nse_wire.h"

namespace fh::sim {

// The generation of the NSE wire a feed sends. The currency segment sends the
// classic forms whatever is chosen.
//   kClassic  the classic forms: the codes and lengths the feed always had.
//   kToday    today's forms: capital market protocol 6.x (7201 of 466 bytes,
//             7208 of 566, 18703 in place of 7202, 18720 in place of 7305,
//             tokens above 65535) and F&O 9.48 (7201 of 498 bytes, 17202,
//             17208, 17211 and 17130 in place of 7202, 7208, 7211 and 7130).
//   kMixed    both generations interleaved, as while the exchange ran old and
//             new streams side by side; F&O 7201 in three forms (the classic
//             one, 9.43's 17201, 9.48's 498 bytes). One message of today's
//             record lists in four is trimmed to the records it carries.
enum class Wire { kClassic, kToday, kMixed };

// "classic", "today", "mixed" and back (nothing for another text).
std::optional<Wire> ParseWire(std::string_view text);
const char* WireName(Wire wire);

// One form a feed sends: a transaction code, and for the codes that have a
// classic and a today's layout (capital market 7201 and 7208, F&O 7201)
// which one. Today's own codes (17201, 17202, 17208, 17211, 17130, 18703,
// 18720) have today's layout whatever `today` says.
struct NseForm {
  int code = 0;
  bool today = false;
};

// The NSE broadcast of one segment (1 capital market, 2 F&O, 3 currency
// derivatives).
class NseSegmentFeed {
 public:
  NseSegmentFeed(int segment, int tokens, std::uint32_t seed, Wire wire = Wire::kClassic);

  // Builds the next message of the mix and says what it means.
  NseMessage Next(Effects* fx);
  // Builds a message of the given form (one of the codes some mix sends; the
  // classic form of a classic code).
  NseMessage Make(NseForm form, Effects* fx);
  NseMessage Make(int code, Effects* fx) { return Make(NseForm{code}, fx); }

  int segment() const { return segment_; }
  Wire wire() const { return wire_; }
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
  // Today's forms.
  NseMessage TodaysForm(int code, Effects* fx);
  NseMessage MarketWatchToday(int code, Effects* fx);
  NseMessage TickerToday(int code, Effects* fx);
  NseMessage MarketByPriceToday(int code, Effects* fx);
  NseMessage SpreadToday(Effects* fx);
  NseMessage SecurityUpdateToday(Effects* fx);
  NseMessage OpenInterestToday(Effects* fx);
  // In the mixed wire, one time in four: cuts a record list of today's forms
  // to the records it carries (records from recordsAt, recordSize each).
  void MaybeTrim(NseMessage& m, int recordsAt, int records, int recordSize);

  int segment_;
  Wire wire_;
  std::mt19937 rng_;
  std::vector<Instrument> universe_;
  std::vector<std::pair<NseForm, int>> mix_;  // (form, weight)
  int totalWeight_ = 0;
  std::int32_t logTime_ = 0;
};

// Packs messages of a feed into datagrams of at most maxSize bytes: several
// packets each, most of them compressed; a message that does not fit starts
// the next datagram. A packet too long to travel plain in a datagram of
// maxSize (today's large messages in 512 bytes) always travels compressed.
// A maxSize above 512 packs proportionally more packets per datagram.
class NseDatagramSource {
 public:
  NseDatagramSource(NseSegmentFeed& feed, int plainPercent, int fixedSize,
                    int maxSize = kExchangeDatagramSize);

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
  int packetsScale_;  // packets per datagram: 1 to 6 times this
  Lzo1zCompressor lzo_;
  DatagramBuilder builder_;
  bool havePending_ = false;
  NseMessage pending_{0, 0};
  Effects pendingFx_;
};

}  // namespace fh::sim
