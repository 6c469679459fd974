// The one way tests build BSE message blocks and datagrams: BseBlock lays
// down a block field by field from the layout of its type (little-endian);
// Datagram lays blocks end to end.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "bse/bse_layouts.h"
#include "bse/little_endian.h"

namespace fh::testing {

using Bytes = std::vector<std::uint8_t>;

// One message block, built field by field from the layout of its type: the
// head is zeroed, the record count is kept equal to the records added unless
// set, and L is the payload size unless a lie is asked for.
class BseBlock {
 public:
  explicit BseBlock(std::int32_t type) : type_(type) {
    const bse::MessageLayout* layout = bse::FindLayout(type);
    if (layout != nullptr) {
      headSize_ = layout->headSize;
      countAt_ = layout->countAt;
      recordSize_ = layout->recordSize;
    }
  }

  // An opaque head of this many bytes, with no record count in it.
  BseBlock& Head(int size) {
    headSize_ = size;
    countAt_ = bse::kNoRecords;
    return *this;
  }
  BseBlock& DeclaredCount(std::int16_t count) { declared_ = count; hasDeclared_ = true; return *this; }
  BseBlock& Length(std::int32_t length) { lie_ = length; hasLie_ = true; return *this; }
  BseBlock& Tag(std::int32_t tag) { tag_ = tag; return *this; }
  // Cut the payload to this many bytes (L follows unless Length was set).
  BseBlock& CutPayload(int size) { cut_ = size; return *this; }

  // A zeroed record; returns its bytes for the field writers below (null for
  // a type without records).
  std::uint8_t* AddRecord() {
    if (recordSize_ == 0) return nullptr;
    records_.resize(records_.size() + static_cast<std::size_t>(recordSize_), 0);
    return &records_[records_.size() - static_cast<std::size_t>(recordSize_)];
  }
  BseBlock& Selected(std::int32_t token, std::int32_t value, std::int16_t selectorA, std::int16_t selectorB) {
    std::uint8_t* r = AddRecord();
    bse::StoreLe32(r + bse::rec2020::kToken, token);
    bse::StoreLe32(r + bse::rec2020::kValue, value);
    bse::StoreLe16(r + bse::rec2020::kSelectorA, selectorA);
    bse::StoreLe16(r + bse::rec2020::kSelectorB, selectorB);
    return *this;
  }
  BseBlock& TokenValue(std::int32_t token, std::int32_t value) {
    std::uint8_t* r = AddRecord();
    bse::StoreLe32(r + bse::rec2014::kToken, token);
    bse::StoreLe32(r + bse::rec2014::kValue, value);
    return *this;
  }
  BseBlock& CodeValue(const std::string& code, std::int32_t value) {
    std::uint8_t* r = AddRecord();
    bse::StoreLe32(r + bse::rec2011::kValue, value);
    std::copy_n(code.data(), std::min<std::size_t>(code.size(), bse::rec2011::kCodeSize), r + bse::rec2011::kCode);
    return *this;
  }
  // Opaque payload bytes after the head (for types without a record layout).
  BseBlock& Body(const Bytes& bytes) { records_.insert(records_.end(), bytes.begin(), bytes.end()); return *this; }

  Bytes Payload() const {
    Bytes p(static_cast<std::size_t>(bse::payload::kHeadAt + headSize_), 0);
    bse::StoreLe32(p.data() + bse::payload::kMsgType, type_);
    if (countAt_ != bse::kNoRecords) {
      const auto count = hasDeclared_ ? declared_
                                      : static_cast<std::int16_t>(recordSize_ ? records_.size() / recordSize_ : 0);
      bse::StoreLe16(p.data() + bse::payload::kHeadAt + countAt_, count);
    }
    p.insert(p.end(), records_.begin(), records_.end());
    if (cut_ >= 0 && static_cast<std::size_t>(cut_) < p.size()) p.resize(static_cast<std::size_t>(cut_));
    return p;
  }

  Bytes Build() const {
    const Bytes payload = Payload();
    Bytes b(bse::block::kHeaderSize, 0);
    bse::StoreLe32(b.data() + bse::block::kTag, tag_);
    bse::StoreLe32(b.data() + bse::block::kLength, hasLie_ ? lie_ : static_cast<std::int32_t>(payload.size()));
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
  }

 private:
  std::int32_t type_;
  std::int32_t tag_ = 0;
  int headSize_ = 0;
  int countAt_ = bse::kNoRecords;
  int recordSize_ = 0;
  std::int16_t declared_ = 0;
  bool hasDeclared_ = false;
  std::int32_t lie_ = 0;
  bool hasLie_ = false;
  int cut_ = -1;
  Bytes records_;
};

// Blocks laid end to end.
inline Bytes Datagram(std::initializer_list<Bytes> blocks) {
  Bytes d;
  for (const Bytes& b : blocks) d.insert(d.end(), b.begin(), b.end());
  return d;
}

// A block of a head-only type whose payload is exactly length bytes.
inline Bytes BlockOfPayload(std::int32_t type, int length) {
  Bytes body(static_cast<std::size_t>(std::max(0, length - 4)));
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return BseBlock(type).Head(0).Body(body).Build();
}

}  // namespace fh::testing
