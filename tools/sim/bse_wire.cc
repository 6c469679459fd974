#include "sim/bse_wire.h"

#include <algorithm>
#include <cstring>

#include "nse/byteorder.h"

namespace fh::sim::bse {

void DatagramBuilder::Reset() {
  std::memset(bytes_.data(), 0, static_cast<std::size_t>(size_));
  size_ = 0;
  blocks_ = 0;
  records_ = 0;
}

bool DatagramBuilder::StartBlock(const TypeShape& shape, int records) {
  if (shape.countAt < 0) records = 0;
  const int payload = kHeadAt + shape.headSize + records * shape.recordSize;
  if (records < 0 || payload > kWorkArea || size_ + kPayloadAt + payload > kMaxDatagram) return false;
  std::uint8_t* block = bytes_.data() + size_;
  Store32(block + kTag, blocks_ + 1);
  Store32(block + kPayloadLength, payload);
  std::uint8_t* p = block + kPayloadAt;
  Store32(p + kMsgType, shape.type);
  if (shape.countAt >= 0) Store16(p + kHeadAt + shape.countAt, static_cast<std::int16_t>(records));
  recordsAt_ = size_ + kPayloadAt + kHeadAt + shape.headSize;
  recordSize_ = shape.recordSize;
  records_ = records;
  size_ += kPayloadAt + payload;
  ++blocks_;
  return true;
}

void DatagramBuilder::PutRecord32(int record, int offset, std::int32_t value) {
  if (record < 0 || record >= records_ || offset < 0 || offset + 4 > recordSize_) return;
  Store32(bytes_.data() + recordsAt_ + static_cast<std::ptrdiff_t>(record) * recordSize_ + offset, value);
}

void DatagramBuilder::PutRecord16(int record, int offset, int value) {
  if (record < 0 || record >= records_ || offset < 0 || offset + 2 > recordSize_) return;
  Store16(bytes_.data() + recordsAt_ + static_cast<std::ptrdiff_t>(record) * recordSize_ + offset,
          static_cast<std::int16_t>(value));
}

void DatagramBuilder::PutRecordText(int record, int offset, std::string_view text, int width) {
  if (record < 0 || record >= records_ || offset < 0 || width <= 0 || offset + width > recordSize_) return;
  std::uint8_t* p = bytes_.data() + recordsAt_ + static_cast<std::ptrdiff_t>(record) * recordSize_ + offset;
  std::memset(p, ' ', static_cast<std::size_t>(width));
  std::memcpy(p, text.data(), std::min<std::size_t>(text.size(), static_cast<std::size_t>(width)));
}

bool DatagramBuilder::AddRawBlock(std::int32_t declaredLength, std::span<const std::uint8_t> payload) {
  if (size_ + kPayloadAt + static_cast<int>(payload.size()) > kMaxDatagram) return false;
  std::uint8_t* block = bytes_.data() + size_;
  Store32(block + kTag, blocks_ + 1);
  Store32(block + kPayloadLength, declaredLength);
  if (!payload.empty()) std::memcpy(block + kPayloadAt, payload.data(), payload.size());
  size_ += kPayloadAt + static_cast<int>(payload.size());
  ++blocks_;
  records_ = 0;
  return true;
}

}  // namespace fh::sim::bse
