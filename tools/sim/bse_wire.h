// Building BSE feed datagrams: message blocks laid end to end, each a block
// tag, the payload length L and L payload bytes (MsgType, the type's head,
// then its records). Every integer is little-endian.
//
// Thread safety: one owner per object.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "bse/bse_layouts.h"

namespace fh::sim::bse {

// The block and payload layout, from the feed's own layout header.
inline constexpr int kTag = fh::bse::block::kTag;
inline constexpr int kPayloadLength = fh::bse::block::kLength;
inline constexpr int kPayloadAt = fh::bse::block::kPayloadAt;
inline constexpr int kMsgType = fh::bse::payload::kMsgType;
inline constexpr int kHeadAt = fh::bse::payload::kHeadAt;
inline constexpr int kMaxDatagram = fh::bse::kMaxDatagram;
inline constexpr int kWorkArea = fh::bse::kWorkAreaSize;

using TypeShape = fh::bse::MessageLayout;

// The layout of a known type (a type the table lacks gives type 0).
constexpr TypeShape Known(std::int32_t type) {
  for (const TypeShape& l : fh::bse::kKnownTypes)
    if (l.type == type) return l;
  return TypeShape{0, 0, fh::bse::kNoRecords, 0, -1, 0, fh::bse::Work::kNone};
}

// Shapes of the message types the simulator sends.
inline constexpr TypeShape kShape1901 = Known(1901);
inline constexpr TypeShape kShape2001 = Known(2001);
inline constexpr TypeShape kShape2007 = Known(2007);
inline constexpr TypeShape kShape2011 = Known(fh::bse::kTypeCodeValues2011);
inline constexpr TypeShape kShape2012 = Known(fh::bse::kTypeCodeValues2012);
inline constexpr TypeShape kShape2014 = Known(fh::bse::kTypeTokenValues2014);
inline constexpr TypeShape kShape2016 = Known(2016);
inline constexpr TypeShape kShape2017 = Known(fh::bse::kTypeIgnored2017);  // ignored by the decoder
inline constexpr TypeShape kShape2020 = Known(fh::bse::kTypeMarketPicture2020);
inline constexpr TypeShape kShape4444 = Known(4444);
// A type the decoder does not know.
inline constexpr TypeShape kShape1910{1910, 8, fh::bse::kNoRecords, 0, -1, 0, fh::bse::Work::kNone};
static_assert(Known(kShape1910.type).type == 0);

// Record fields read by the decoder.
namespace r2020 = fh::bse::rec2020;
namespace r2014 = fh::bse::rec2014;
namespace r2011 = fh::bse::rec2011;  // 2011 and 2012

// One datagram of blocks.
class DatagramBuilder {
 public:
  // Starts a block of the given shape with `records` zeroed records; returns
  // false when it does not fit. Records are then filled with the Put calls.
  bool StartBlock(const TypeShape& shape, int records);
  // Writes into record i of the open block (offset within the record).
  void PutRecord32(int record, int offset, std::int32_t value);
  void PutRecord16(int record, int offset, int value);
  void PutRecordText(int record, int offset, std::string_view text, int width);
  // A raw block: tag, declared payload length and the bytes as they stand.
  bool AddRawBlock(std::int32_t declaredLength, std::span<const std::uint8_t> payload);
  void Reset();

  int blocks() const { return blocks_; }
  int size() const { return size_; }
  std::span<const std::uint8_t> bytes() const { return {bytes_.data(), static_cast<std::size_t>(size_)}; }

 private:
  std::array<std::uint8_t, kMaxDatagram> bytes_{};
  int size_ = 0;
  int blocks_ = 0;
  int recordsAt_ = 0;  // datagram offset of record 0 of the open block
  int recordSize_ = 0;
  int records_ = 0;
};

}  // namespace fh::sim::bse
