#include "sim/bse_feed.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "distribution/forwarded_packet.h"

namespace fh::sim {

namespace {

constexpr int kSegmentBse = 4;

// The blocks of a datagram: mostly market pictures and token values, a few
// index values and other types, now and then one the decoder ignores or does
// not know.
const std::vector<std::pair<bse::TypeShape, int>> kBlockMix = {
    {bse::kShape2020, 40}, {bse::kShape2014, 25}, {bse::kShape2011, 7}, {bse::kShape2012, 3},
    {bse::kShape2007, 6},  {bse::kShape2016, 6},  {bse::kShape1901, 4}, {bse::kShape4444, 4},
    {bse::kShape2001, 2},  {bse::kShape2017, 2},  {bse::kShape1910, 1}};
constexpr int kBlockMixWeight = 100;

bool IsCodeValues(std::int32_t type) {
  return type == fh::bse::kTypeCodeValues2011 || type == fh::bse::kTypeCodeValues2012;
}

}  // namespace

BseFeed::BseFeed(int tokens, std::uint32_t seed) : rng_(FeedSeed(seed, kSegmentBse)) {
  universe_ = MakeUniverse(kSegmentBse, tokens, rng_);
  for (const char* code : {"SENSEX", "BANKEX", "BSE100", "BSE200", "BSE500", "AUTO", "METAL", "OILGAS", "REALTY",
                           "TECK"}) {
    indices_.emplace_back(code, Uniform(rng_, 1'000'000, 9'000'000));
  }
}

void BseFeed::NextDatagram(bse::DatagramBuilder* out, Ledger* ledger) {
  out->Reset();
  const int blocks = Uniform(rng_, 2, 6);
  Effects fx;
  for (int b = 0; b < blocks; ++b) {
    if (!AddBlock(out, &fx)) break;
    if (ledger != nullptr) ledger->Commit(fx);
  }
  if (ledger != nullptr) ledger->CountDatagram(kSegmentBse, out->size());
}

bool BseFeed::AddBlock(bse::DatagramBuilder* out, Effects* fx) {
  using namespace bse;
  const TypeShape& shape = PickWeighted(rng_, kBlockMix, kBlockMixWeight);
  int records = 0;
  if (shape.countAt >= 0) {
    const int room = (kMaxDatagram - out->size() - kPayloadAt - kHeadAt - shape.headSize) / shape.recordSize;
    if (room < 1) return false;
    records = std::min(room, Uniform(rng_, 1, IsCodeValues(shape.type) ? 8 : 12));
  }
  if (!out->StartBlock(shape, records)) return false;
  *fx = Effects{};
  fx->segment = kSegmentBse;
  fx->code = shape.type;
  // Every block goes to the Bridge whole: payload length plus the header.
  const int payload = kHeadAt + shape.headSize + records * shape.recordSize;
  fx->forwardedLength = payload + forwarded::kHeaderSize;
  for (int i = 0; i < records; ++i) {
    if (shape.type == fh::bse::kTypeMarketPicture2020 || shape.type == fh::bse::kTypeTokenValues2014) {
      Instrument& in = universe_[static_cast<std::size_t>(Uniform(rng_, 0, static_cast<int>(universe_.size()) - 1))];
      WalkPrice(in, rng_);
      if (shape.type == fh::bse::kTypeMarketPicture2020) {
        const int a = Uniform(rng_, 0, 9) < 9 ? 0 : 1;
        const int b = Uniform(rng_, 2, 5);
        out->PutRecord32(i, r2020::kToken, in.token);
        out->PutRecord32(i, r2020::kValue, in.price);
        out->PutRecord16(i, r2020::kSelectorA, a);
        out->PutRecord16(i, r2020::kSelectorB, b);
        if (a == 0 && b >= 3 && b <= 5) AddReport(fx, in.token, in.price);
      } else {
        out->PutRecord32(i, r2014::kToken, in.token);
        out->PutRecord32(i, r2014::kValue, in.price);
        AddReport(fx, in.token, in.price);
      }
    } else if (IsCodeValues(shape.type)) {
      auto& [code, value] = indices_[static_cast<std::size_t>(Uniform(rng_, 0, static_cast<int>(indices_.size()) - 1))];
      value += Uniform(rng_, -500, 500);
      out->PutRecord32(i, r2011::kValue, value);
      out->PutRecordText(i, r2011::kCode, code, r2011::kCodeSize);
      if (fx->namedCount < static_cast<int>(std::size(fx->named))) {
        auto& n = fx->named[fx->namedCount++];
        std::snprintf(n.key, sizeof n.key, "%s", code.c_str());
        n.value = value;
      }
    } else {
      // Other types: records of plausible numbers.
      for (int off = 0; off + 4 <= shape.recordSize; off += 4) out->PutRecord32(i, off, Uniform(rng_, 0, 1'000'000));
    }
  }
  return true;
}

}  // namespace fh::sim
