// The NSE broadcast datagram and the 40-byte BcastHeader.
//
// A datagram (BroadcastPacket) is cNetID (1 byte), one unread byte and the
// big-endian packet count noOfPackets; then the packets, each a big-endian
// compLen followed by compLen compressed bytes (compLen > 0) or by the plain
// packet itself (8 + MessageLength bytes).
//
// A plain packet is 8 bytes not interpreted here, then BcastHeader, then the
// body. Decoders are handed the address 2 bytes into BcastHeader ("the message
// address"); the header then spans message offsets -2..37 and the body starts
// at message offset 38.
#pragma once

namespace fh::nse {

namespace datagram {
inline constexpr int kMaxSize = 512;    // the exchange keeps its datagrams to this as a rule; longer ones are framed whole too
inline constexpr int kNetId = 0;        // 1 byte
inline constexpr int kNoOfPackets = 2;  // 2 bytes, signed
inline constexpr int kPacketsAt = 4;
inline constexpr int kCompLenSize = 2;  // each packet starts with a signed 2-byte compLen
}  // namespace datagram

namespace packet {
inline constexpr int kHeaderAt = 8;        // BcastHeader within a plain packet
inline constexpr int kMessageAt = 10;      // the message address within a plain packet
inline constexpr int kUncompressedExtra = 8;  // an uncompressed packet is 8 + MessageLength bytes
}  // namespace packet

// Offsets from the message address (BcastHeader offset minus 2).
namespace header {
inline constexpr int kSize = 40;            // the whole BcastHeader
inline constexpr int kReserved = 0;         // 2 bytes, copied into forwarded packets
inline constexpr int kLogTime = 2;          // 4 bytes, signed; converted by the framing
inline constexpr int kAlphaChar = 6;        // 2 characters
inline constexpr int kTransactionCode = 8;  // 2 bytes, signed; converted by the framing
inline constexpr int kErrorCode = 10;       // 2 bytes, signed; converted by the framing
inline constexpr int kReserved2 = 12;       // 8 bytes
inline constexpr int kTimeStamp1 = 20;      // 8 bytes
inline constexpr int kTimeStamp2 = 28;      // 8 bytes
inline constexpr int kMessageLength = 36;   // 2 bytes, signed; converted by the framing
inline constexpr int kBodyAt = 38;          // the body starts here
}  // namespace header

}  // namespace fh::nse
