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

namespace fh {

using bse::MessageLayout;
using bse::Work;

namespace {

// The debug log of the BSE segment.
constexpr int kDebugLogSelector = 4;
// Room for any 32-bit integer in decimal, sign included.
constexpr int kDecimalDigits = 11;

}  // namespace

BseDecoder::BseDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& output)
    : context_(context), instruments_(instruments), output_(output) {
  unhandledLength_ = sizeof kUnhandledTypesStart - 1;
  std::memcpy(unhandled_, kUnhandledTypesStart, unhandledLength_);
}

int BseDecoder::DecodeBseBlock(const std::uint8_t* block, int size) {
  deltaLength_ = 0;
  deltaLine_[0] = '\0';
  const bool delta = context_.options.bcastDelta.load(std::memory_order_relaxed) != 0;

  const std::int32_t length =
      size >= bse::block::kHeaderSize ? bse::LoadLe32(block + bse::block::kLength) : 0;
  if (length >= 1) {
    // Copy what the block really holds; the rest of the work area reads as zero.
    const int present = size - bse::block::kHeaderSize;
    const int copied = std::min({length, present, bse::kWorkAreaSize});
    std::memcpy(work_, block + bse::block::kPayloadAt, static_cast<std::size_t>(copied));
    if (workUsed_ > copied) std::memset(work_ + copied, 0, static_cast<std::size_t>(workUsed_ - copied));
    workUsed_ = copied;

    const std::int32_t type = bse::LoadLe32(work_ + bse::payload::kMsgType);
    const MessageLayout* layout = bse::FindLayout(type);
    if (layout == nullptr) {
      ReportUnhandled(type);
    } else if (layout->work != Work::kIgnored) {
      const std::uint32_t count = counters_[layout->counter].fetch_add(1, std::memory_order_relaxed) + 1;
      if (context_.options.pktCounters.load(std::memory_order_relaxed) == 1) {
        context_.grid.SetCounterCell(layout->counterRow, count, CounterGrid::kCashColumn);
      }
      if (delta || layout->work == Work::kDebugLog) WalkRecords(*layout, type);
    }
  }

  if (delta) FlushDeltaLine();
  return 0;
}

void BseDecoder::WalkRecords(const MessageLayout& layout, std::int32_t type) {
  int declared = 0;
  if (layout.countAt != bse::kNoRecords) {
    declared = bse::LoadLe16(work_ + bse::payload::kHeadAt + layout.countAt);
  }
  if (layout.work == Work::kDebugLog) DebugLog(type, declared, -1);
  if (layout.countAt == bse::kNoRecords || layout.work == Work::kNone) return;

  // Records are read from the work area as far as it goes, never beyond it.
  const int recordsAt = bse::payload::kHeadAt + layout.headSize;
  const int fit = (bse::kWorkAreaSize - recordsAt) / layout.recordSize;
  const int records = std::clamp(declared, 0, fit);

  for (int i = 0; i < records; ++i) {
    const std::uint8_t* record = work_ + recordsAt + i * layout.recordSize;
    switch (layout.work) {
      case Work::kDebugLog:
        DebugLog(type, declared, i);
        break;
      case Work::kSelected: {
        const std::int16_t selectorA = bse::LoadLe16(record + bse::rec2020::kSelectorA);
        const std::int16_t selectorB = bse::LoadLe16(record + bse::rec2020::kSelectorB);
        if (selectorA != 0 || selectorB < 3 || selectorB > 5) break;
        AddTokenItem(bse::LoadLe32(record + bse::rec2020::kToken), bse::LoadLe32(record + bse::rec2020::kValue));
        break;
      }
      case Work::kTokenValues:
        AddTokenItem(bse::LoadLe32(record + bse::rec2014::kToken), bse::LoadLe32(record + bse::rec2014::kValue));
        break;
      case Work::kCodeValues:
        AddCodeItem(record + bse::rec2011::kCode, bse::LoadLe32(record + bse::rec2011::kValue));
        break;
      case Work::kNone:
      case Work::kIgnored:
        break;
    }
  }
}

void BseDecoder::AddTokenItem(std::int32_t token, std::int32_t value) {
  if (instruments_.UpdateLastValue(kSegBcm, token, value) == 0) return;
  // ",%d|%ld"
  char item[32];
  char* p = item;
  *p++ = ',';
  p = std::to_chars(p, p + kDecimalDigits, token).ptr;
  *p++ = '|';
  p = std::to_chars(p, p + kDecimalDigits, value).ptr;
  AddItem(item, static_cast<std::size_t>(p - item));
}

void BseDecoder::AddCodeItem(const std::uint8_t* code, std::int32_t value) {
  // The key is "%.7s" of the code: its seven characters, blanks included, or
  // fewer when a NUL comes first.
  const char* text = reinterpret_cast<const char*>(code);
  std::size_t keyLength = 0;
  while (keyLength < bse::rec2011::kCodeSize && text[keyLength] != '\0') ++keyLength;
  if (instruments_.KeyValueChanged(std::string_view(text, keyLength), value) != 1) return;

  std::size_t shown = keyLength;
  while (shown > 0 && text[shown - 1] == ' ') --shown;
  // ",%s|%ld"
  char item[32];
  char* p = item;
  *p++ = ',';
  std::memcpy(p, text, shown);
  p += shown;
  *p++ = '|';
  p = std::to_chars(p, p + kDecimalDigits, value).ptr;
  AddItem(item, static_cast<std::size_t>(p - item));
}

void BseDecoder::AddItem(const char* item, std::size_t length) {
  if (deltaLength_ + length > kDeltaLineLimit) FlushDeltaLine();
  std::memcpy(deltaLine_ + deltaLength_, item, length);
  deltaLength_ += length;
  deltaLine_[deltaLength_] = '\0';
}

void BseDecoder::FlushDeltaLine() {
  if (deltaLength_ == 0) return;  // an empty line sends nothing
  deltaLine_[deltaLength_] = '\0';
  output_.SendDeltaSubscribed(kSegBcm, deltaLine_, sizeof deltaLine_);
  deltaLength_ = 0;
  deltaLine_[0] = '\0';
}

void BseDecoder::ReportUnhandled(std::int32_t type) {
  char text[16];
  const std::size_t length = static_cast<std::size_t>(std::to_chars(text, text + sizeof text, type).ptr - text);
  const std::string_view known(unhandled_, unhandledLength_);
  if (known.find(std::string_view(text, length)) != std::string_view::npos) return;
  // Once the list is full it stops growing, and types it cannot hold are not
  // reported either, so a stream of odd types cannot flood the log list.
  if (unhandledLength_ + length + 1 > kUnhandledTypesLimit) return;
  std::memcpy(unhandled_ + unhandledLength_, text, length);
  unhandledLength_ += length;
  unhandled_[unhandledLength_++] = ',';
  unhandled_[unhandledLength_] = '\0';
  context_.log.LogFormat("FH : BCM : Unhandedled TrxCode BCM : %d\n", type);
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
  const MessageLayout* layout = bse::FindLayout(type);
  if (layout == nullptr || layout->counter < 0) return 0;
  return counters_[layout->counter].load(std::memory_order_relaxed);
}

}  // namespace fh
