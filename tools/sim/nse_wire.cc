#include "sim/nse_wire.h"

#include <lzo/lzo1z.h>
#include <lzo/lzoconf.h>

#include <algorithm>
#include <cstring>

#include "nse/byteorder.h"

namespace fh::sim {

int NetIdOfSegment(int segment) {
  switch (segment) {
    case 1: return kNetIdCm;
    case 2: return kNetIdFo;
    case 3: return kNetIdCd;
    default: return 0;
  }
}

NseMessage::NseMessage(int transactionCode, int messageLength)
    : code_(transactionCode),
      messageLength_(std::clamp(messageLength, nse::header::kBodyAt, kMaxPlain - nse::packet::kMessageAt)),
      plainSize_(nse::packet::kMessageAt + messageLength_) {
  StoreBe16(message() + nse::header::kTransactionCode, static_cast<std::int16_t>(transactionCode));
  StoreBe16(message() + nse::header::kMessageLength, static_cast<std::int16_t>(messageLength_ + kHeaderBeforeMessage));
}

void NseMessage::Put16(int offset, int value) {
  if (offset >= 0 && offset + 2 <= messageLength_) StoreBe16(message() + offset, static_cast<std::int16_t>(value));
}

void NseMessage::Put32(int offset, std::int32_t value) {
  if (offset >= 0 && offset + 4 <= messageLength_) StoreBe32(message() + offset, value);
}

void NseMessage::Put64(int offset, std::int64_t value) {
  if (offset >= 0 && offset + 8 <= messageLength_) StoreBe64(message() + offset, value);
}

void NseMessage::PutDouble(int offset, double value) {
  if (offset >= 0 && offset + 8 <= messageLength_) StoreBeDouble(message() + offset, value);
}

void NseMessage::PutText(int offset, std::string_view text, int width) {
  if (offset < 0 || width <= 0 || offset + width > messageLength_) return;
  std::memset(message() + offset, ' ', static_cast<std::size_t>(width));
  std::memcpy(message() + offset, text.data(), std::min<std::size_t>(text.size(), static_cast<std::size_t>(width)));
}

void NseMessage::SetLogTime(std::int32_t t) { StoreBe32(message() + nse::header::kLogTime, t); }
void NseMessage::SetErrorCode(int e) { StoreBe16(message() + nse::header::kErrorCode, static_cast<std::int16_t>(e)); }
void NseMessage::SetAlphaChar(std::string_view two) {
  std::memset(message() + nse::header::kAlphaChar, ' ', 2);
  std::memcpy(message() + nse::header::kAlphaChar, two.data(), std::min<std::size_t>(two.size(), 2));
}

void NseMessage::TrimTo(int messageLength) {
  messageLength = std::clamp(messageLength, nse::header::kBodyAt, messageLength_);
  std::memset(message() + messageLength, 0, static_cast<std::size_t>(messageLength_ - messageLength));
  messageLength_ = messageLength;
  plainSize_ = nse::packet::kMessageAt + messageLength_;
  StoreBe16(message() + nse::header::kMessageLength, static_cast<std::int16_t>(messageLength_ + kHeaderBeforeMessage));
}

Lzo1zCompressor::Lzo1zCompressor() : work_(LZO1Z_999_MEM_COMPRESS) { lzo_init(); }

int Lzo1zCompressor::Compress(std::span<const std::uint8_t> in, std::uint8_t* out, int outCapacity) {
  // The compressor writes up to in + in/16 + 64 + 3 bytes; stage it when out
  // is smaller than that.
  std::uint8_t staging[NseMessage::kMaxPlain + NseMessage::kMaxPlain / 16 + 64 + 3];
  if (in.size() > NseMessage::kMaxPlain) return 0;
  lzo_uint outLen = sizeof staging;
  if (lzo1z_999_compress(in.data(), in.size(), staging, &outLen, work_.data()) != LZO_E_OK) return 0;
  if (outLen > static_cast<lzo_uint>(outCapacity)) return 0;
  std::memcpy(out, staging, outLen);
  return static_cast<int>(outLen);
}

DatagramBuilder::DatagramBuilder(int netId, int maxSize)
    : netId_(netId),
      maxSize_(std::clamp(maxSize, nse::datagram::kPacketsAt, kMaxUdpPayload)),
      bytes_(static_cast<std::size_t>(maxSize_), 0) {
  Reset();
}

void DatagramBuilder::Reset() {
  std::memset(bytes_.data(), 0, static_cast<std::size_t>(size_));  // the rest is still zero
  bytes_[nse::datagram::kNetId] = static_cast<std::uint8_t>(netId_);
  size_ = nse::datagram::kPacketsAt;
  packets_ = 0;
  SetDeclaredPackets(0);
}

void DatagramBuilder::SetDeclaredPackets(int count) {
  StoreBe16(bytes_.data() + nse::datagram::kNoOfPackets, static_cast<std::int16_t>(count));
}

bool DatagramBuilder::Add(std::span<const std::uint8_t> plain, bool compress, Lzo1zCompressor& lzo) {
  const int room = maxSize_ - size_ - nse::datagram::kCompLenSize;
  if (room <= 0) return false;
  std::uint8_t* data = bytes_.data() + size_ + nse::datagram::kCompLenSize;
  int compLen = 0;
  int dataLen = 0;
  if (compress) {
    compLen = lzo.Compress(plain, data, room);
    if (compLen <= 0) return false;
    dataLen = compLen;
  } else {
    if (static_cast<int>(plain.size()) > room) return false;
    std::memcpy(data, plain.data(), plain.size());
    dataLen = static_cast<int>(plain.size());
  }
  StoreBe16(bytes_.data() + size_, static_cast<std::int16_t>(compLen));
  size_ += nse::datagram::kCompLenSize + dataLen;
  SetDeclaredPackets(++packets_);
  return true;
}

bool DatagramBuilder::AddRaw(int compLen, std::span<const std::uint8_t> data) {
  if (size_ + nse::datagram::kCompLenSize + static_cast<int>(data.size()) > maxSize_) return false;
  StoreBe16(bytes_.data() + size_, static_cast<std::int16_t>(compLen));
  if (!data.empty()) std::memcpy(bytes_.data() + size_ + nse::datagram::kCompLenSize, data.data(), data.size());
  size_ += nse::datagram::kCompLenSize + static_cast<int>(data.size());
  SetDeclaredPackets(++packets_);
  return true;
}

void DatagramBuilder::PadTo(int size) {
  size_ = std::max(size_, std::min(size, maxSize_));
}

std::vector<int> PlainStampOffsets(std::span<const std::uint8_t> datagram) {
  std::vector<int> offsets;
  const int size = static_cast<int>(datagram.size());
  if (size < nse::datagram::kPacketsAt) return offsets;
  const int packets = LoadBe16(datagram.data() + nse::datagram::kNoOfPackets);
  constexpr int kStampAt = nse::packet::kMessageAt + nse::header::kTimeStamp1;
  constexpr int kLengthAt = nse::packet::kMessageAt + nse::header::kMessageLength;
  int at = nse::datagram::kPacketsAt;
  for (int i = 0; i < packets && at + nse::datagram::kCompLenSize <= size; ++i) {
    const int compLen = LoadBe16(datagram.data() + at);
    at += nse::datagram::kCompLenSize;
    if (compLen > 0) {
      at += compLen;
      continue;
    }
    if (at + kLengthAt + 2 > size) break;
    const int length = nse::packet::kUncompressedExtra + LoadBe16(datagram.data() + at + kLengthAt);
    if (length < kStampAt + 8 || at + length > size) break;
    offsets.push_back(at + kStampAt);
    at += length;
  }
  return offsets;
}

}  // namespace fh::sim
