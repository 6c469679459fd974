// ForwardedPacket: the 46-byte header and message body sent to Bridge
// clients. All multi-byte header fields are in host (little-endian) order.
// NSE decoders and the BSE receiver lay these down; the transport sends them
// whole and adds no framing of its own.
#pragma once

namespace fh::forwarded {

inline constexpr int kBufferSize = 1024;  // packets are built in 1024-byte buffers
inline constexpr int kHeaderSize = 46;

inline constexpr int kExchangeCode = 0;     // 2 bytes: 10 NSE, 11 BSE
inline constexpr int kSegmentCode = 2;      // 2 bytes: 20 CM, 21 F&O, 22 CD
inline constexpr int kPriceDivisor = 4;     // 2 bytes: 100, or 0x9680 for CD
inline constexpr int kMessageHead = 6;      // 4 bytes: message bytes 0..3
inline constexpr int kLogTime = 10;         // 4 bytes
inline constexpr int kAlphaChar = 14;       // 2 bytes
inline constexpr int kTransactionCode = 16; // 2 bytes
inline constexpr int kErrorCode = 18;       // 2 bytes
inline constexpr int kReserved2 = 20;       // 8 bytes
inline constexpr int kTimeStamp1 = 28;      // 8 bytes
inline constexpr int kTimeStamp2 = 36;      // 8 bytes
inline constexpr int kPacketLength = 44;    // 2 bytes: header included
inline constexpr int kBodyAt = 46;

inline constexpr int kExchangeNse = 10;
inline constexpr int kExchangeBse = 11;
inline constexpr int kSegmentCm = 20;
inline constexpr int kSegmentFo = 21;
inline constexpr int kSegmentCd = 22;
inline constexpr int kDivisorNse = 100;
inline constexpr int kDivisorCd = 0x9680;  // low 16 bits of 10,000,000

}  // namespace fh::forwarded
