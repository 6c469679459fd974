// The BSE feed's wire layouts: datagram, message block, message payload, the
// table of known message types and the record fields the decoder reads. All
// integers are little-endian (read through little_endian.h).
// Thread safety: constants only.
#pragma once

#include <array>
#include <cstdint>

namespace fh::bse {

// A datagram is at most this long and holds message blocks laid end to end.
inline constexpr int kMaxDatagram = 4096;

// Message block: tag, payload length L, then L payload bytes.
namespace block {
inline constexpr int kTag = 0;          // 4 bytes, not used
inline constexpr int kLength = 4;       // 4 bytes, signed: payload length L
inline constexpr int kPayloadAt = 8;
inline constexpr int kHeaderSize = 8;
}  // namespace block

// Payload: MsgType, then the head of the type, then its records.
namespace payload {
inline constexpr int kMsgType = 0;      // 4 bytes
inline constexpr int kHeadAt = 4;
}  // namespace payload

// The decoder copies each payload into a zeroed work area of this size, so a
// payload is at most this long; whatever a message claims beyond it is not read.
inline constexpr int kWorkAreaSize = 4096;

// Message types with a meaning of their own.
inline constexpr std::int32_t kTypeOpenInterest1903 = 1903;
inline constexpr std::int32_t kTypeOpenInterest1904 = 1904;
inline constexpr std::int32_t kTypeCodeValues2011 = 2011;
inline constexpr std::int32_t kTypeCodeValues2012 = 2012;
inline constexpr std::int32_t kTypeTokenValues2014 = 2014;
inline constexpr std::int32_t kTypeIgnored2017 = 2017;
inline constexpr std::int32_t kTypeMarketPicture2020 = 2020;

// What the decoder does with a known type beyond counting it.
enum class Work : std::uint8_t {
  kNone,
  kDebugLog,      // 1903, 1904: one debug-log line per head and per record
  kCodeValues,    // 2011, 2012: code-value delta items
  kTokenValues,   // 2014: token-value delta items
  kSelected,      // 2020: token-value delta items, filtered by two selectors
  kIgnored,       // 2017: not counted, not reported
};

inline constexpr int kNoRecords = -1;

struct MessageLayout {
  std::int32_t type;
  std::int16_t headSize;    // bytes after MsgType
  std::int16_t countAt;     // head offset of the 16-bit record count, or kNoRecords
  std::int16_t recordSize;
  std::int16_t counter;     // index of the type's counter (2002/2003 and 2011/2012 share)
  std::int32_t counterRow;  // code of the packet-counter grid row
  Work work;
};

inline constexpr std::array<MessageLayout, 27> kKnownTypes = {{
    {1901, 4, 2, 32, 0, 1901, Work::kNone},
    {1902, 52, kNoRecords, 0, 1, 1902, Work::kNone},
    {1903, 4, 2, 8, 2, 1903, Work::kDebugLog},
    {1904, 4, 2, 8, 3, 1904, Work::kDebugLog},
    {1905, 2, kNoRecords, 0, 4, 1905, Work::kNone},
    {1906, 8, 4, 144, 5, 1906, Work::kNone},
    {1907, 8, kNoRecords, 0, 6, 1907, Work::kNone},
    {1908, 10, kNoRecords, 0, 7, 1908, Work::kNone},
    {1909, 128, kNoRecords, 0, 8, 1909, Work::kNone},
    {1911, 12, kNoRecords, 0, 9, 1911, Work::kNone},
    {1912, 4, 2, 36, 10, 1912, Work::kNone},
    {1916, 20, 6, 272, 11, 1916, Work::kNone},
    {1947, 12, 2, 32, 12, 1947, Work::kNone},
    {1948, 12, 2, 32, 13, 1948, Work::kNone},
    {1949, 4, 2, 24, 14, 1949, Work::kNone},
    {2001, 28, kNoRecords, 0, 15, 2001, Work::kNone},
    {2002, 36, kNoRecords, 0, 16, 2002, Work::kNone},
    {2003, 36, kNoRecords, 0, 16, 2002, Work::kNone},
    {2007, 24, 22, 152, 17, 2007, Work::kNone},
    {2011, 24, 22, 40, 18, 2011, Work::kCodeValues},
    {2012, 24, 22, 40, 18, 2011, Work::kCodeValues},
    {2014, 24, 22, 12, 19, 2014, Work::kTokenValues},
    {2016, 24, 22, 24, 20, 2016, Work::kNone},
    {2017, 0, kNoRecords, 0, -1, 0, Work::kIgnored},
    {2020, 24, 22, 264, 21, 2020, Work::kSelected},
    {4141, 20, 4, 72, 22, 4141, Work::kNone},
    {4444, 4, 2, 12, 23, 4444, Work::kNone},
}};
inline constexpr int kCounterCount = 24;

// The layout of a known type, or null.
inline const MessageLayout* FindLayout(std::int32_t type) {
  for (const MessageLayout& layout : kKnownTypes) {
    if (layout.type == type) return &layout;
  }
  return nullptr;
}

// Record fields read by the decoder (offsets within the record).
namespace rec2020 {
inline constexpr int kToken = 0;        // 4 bytes
inline constexpr int kValue = 36;       // 4 bytes
inline constexpr int kSelectorA = 88;   // 2 bytes, signed: must be 0
inline constexpr int kSelectorB = 90;   // 2 bytes, signed: 3, 4 or 5
}  // namespace rec2020

namespace rec2014 {
inline constexpr int kToken = 0;        // 4 bytes
inline constexpr int kValue = 4;        // 4 bytes
}  // namespace rec2014

namespace rec2011 {                     // also 2012
inline constexpr int kValue = 20;       // 4 bytes
inline constexpr int kCode = 24;        // 7 characters, blank-padded on the right
inline constexpr int kCodeSize = 7;
}  // namespace rec2011

}  // namespace fh::bse
