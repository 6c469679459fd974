#include "bse/bse_decoder.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "bse/little_endian.h"
#include "distribution/bridge_output.h"
#include "feedstate/counter_grid.h"
#include "feedstate/debug_log.h"
#include "feedstate/exg_seg.h"
#include "feedstate/feed_context.h"
#include "instruments/instrument_map.h"

namespace fh::bse {
namespace {

// The debug log of the BSE segment.
constexpr int kDebugLogSelector = 4;
// BSE scrip codes are six-digit numbers; the cache has room for 98,000 of them.
constexpr int kCacheSlotsLog2 = 17;

}  // namespace

BseDecoder::BseDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& output)
    : context_(context),
      instruments_(instruments),
      records_(instruments, kSegBcm, kCacheSlotsLog2),
      line_(output, context.options.bcastDelta, kSegBcm, DeltaLine::Port::kSubscribed) {}

int BseDecoder::DecodeBseBlock(const std::uint8_t* block, int size) {
  line_.Clear();
  const bool delta = context_.options.bcastDelta.load(std::memory_order_relaxed) != 0;

  const std::int32_t length =
      size >= block::kHeaderSize ? LoadLe32(block + block::kLength) : 0;
  if (length >= 1) {
    // Copy what the block really holds; the rest of the work area reads as zero.
    const int present = size - block::kHeaderSize;
    const int copied = std::min({length, present, kWorkAreaSize});
    std::memcpy(work_, block + block::kPayloadAt, static_cast<std::size_t>(copied));
    if (workUsed_ > copied) std::memset(work_ + copied, 0, static_cast<std::size_t>(workUsed_ - copied));
    workUsed_ = copied;

    const std::int32_t type = LoadLe32(work_ + payload::kMsgType);
    const MessageLayout* layout = FindLayout(type);
    context_.metrics.CountMessage(kSegBcm, type);
    if (layout == nullptr) {
      context_.metrics.Of(kSegBcm).unhandled.Add();
      ReportUnhandled(type);
    } else if (layout->work != Work::kIgnored) {
      const std::uint32_t count = counters_[layout->counter].fetch_add(1, std::memory_order_relaxed) + 1;
      if (context_.options.pktCounters.load(std::memory_order_relaxed) == 1) {
        context_.grid.SetCounterCell(layout->counterRow, count, CounterGrid::kCashColumn);
      }
      if (delta || layout->work == Work::kDebugLog) WalkRecords(*layout, type);
    }
  }

  if (delta) line_.Send();
  return 0;
}

void BseDecoder::WalkRecords(const MessageLayout& layout, std::int32_t type) {
  int declared = 0;
  if (layout.countAt != kNoRecords) {
    declared = LoadLe16(work_ + payload::kHeadAt + layout.countAt);
  }
  if (layout.work == Work::kDebugLog) DebugLog(type, declared, -1);
  if (layout.countAt == kNoRecords || layout.work == Work::kNone) return;

  // Records are read from the work area as far as it goes, never beyond it.
  const int recordsAt = payload::kHeadAt + layout.headSize;
  const int fit = (kWorkAreaSize - recordsAt) / layout.recordSize;
  const int records = std::clamp(declared, 0, fit);

  for (int i = 0; i < records; ++i) {
    const std::uint8_t* record = work_ + recordsAt + static_cast<std::ptrdiff_t>(i) * layout.recordSize;
    switch (layout.work) {
      case Work::kDebugLog:
        DebugLog(type, declared, i);
        break;
      case Work::kSelected: {
        const std::int16_t selectorA = LoadLe16(record + rec2020::kSelectorA);
        const std::int16_t selectorB = LoadLe16(record + rec2020::kSelectorB);
        if (selectorA != 0 || selectorB < 3 || selectorB > 5) break;
        AddTokenItem(LoadLe32(record + rec2020::kToken), LoadLe32(record + rec2020::kValue));
        break;
      }
      case Work::kTokenValues:
        AddTokenItem(LoadLe32(record + rec2014::kToken), LoadLe32(record + rec2014::kValue));
        break;
      case Work::kCodeValues:
        AddCodeItem(record + rec2011::kCode, LoadLe32(record + rec2011::kValue));
        break;
      case Work::kNone:
      case Work::kIgnored:
        break;
    }
  }
}

void BseDecoder::AddTokenItem(std::int32_t token, std::int32_t value) {
  if (records_.UpdateLastValue(token, value) == 0) return;
  char item[kChangeItemSize];
  line_.Append(item, FormatChangeItem(item, token, value));
}

void BseDecoder::AddCodeItem(const std::uint8_t* code, std::int32_t value) {
  // The key is "%.7s" of the code: its seven characters, blanks included, or
  // fewer when a NUL comes first.
  const char* text = reinterpret_cast<const char*>(code);
  std::size_t keyLength = 0;
  while (keyLength < rec2011::kCodeSize && text[keyLength] != '\0') ++keyLength;
  if (instruments_.KeyValueChanged(std::string_view(text, keyLength), value) != 1) return;
  // The item shows the code without its trailing blanks.
  std::size_t shown = keyLength;
  while (shown > 0 && text[shown - 1] == ' ') --shown;
  char item[kChangeItemSize];
  line_.Append(item, FormatNamedChangeItem(item, std::string_view(text, shown), value));
}

void BseDecoder::ReportUnhandled(std::int32_t type) {
  // "Unhandedled" is the text as other programs parse it: kept as it is.
  if (unhandled_.Add(type)) context_.log.LogFormat("FH : BCM : Unhandedled TrxCode BCM : %d\n", type);
}

void BseDecoder::DebugLog(std::int32_t type, int count, int index) {
  char line[64];
  const int n = index < 0 ? std::snprintf(line, sizeof line, "MsgType:%d NoOfRecs:%d", type, count)
                          : std::snprintf(line, sizeof line, "MsgType:%d NoOfRecs:%d i:%d", type, count, index);
  if (n <= 0) return;
  WriteDebugLog(context_.places, std::string_view(line, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof line - 1)),
                kDebugLogSelector);
}

std::uint32_t BseDecoder::Count(std::int32_t type) const {
  const MessageLayout* layout = FindLayout(type);
  if (layout == nullptr || layout->counter < 0) return 0;
  return counters_[layout->counter].load(std::memory_order_relaxed);
}

}  // namespace fh::bse
