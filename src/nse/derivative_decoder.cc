#include "nse/derivative_decoder.h"

#include <algorithm>
#include <cstring>

namespace fh::nse {
namespace {
constexpr int kTotalRow = 0;  // grid row "0" shows the message total
}  // namespace

DerivativeDecoder::DerivativeDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out,
                                     const Setup& setup)
    : DecoderCore(context, instruments, out, setup) {}

int DerivativeDecoder::Begin(const std::uint8_t* message, int length, std::int64_t receivedAtNs) {
  available_ = std::clamp(length, 0, kCopySize);
  if (available_ > 0) std::memcpy(copy_, message, static_cast<std::size_t>(available_));
  Start(copy_, available_, receivedAtNs);
  CountAndShow(total_, kTotalRow);
  return head_.TransactionCode();
}

void DerivativeDecoder::Spread(std::uint8_t* work, int length) {
  ConvertFields<fo::spread::kConverted>(work, length);
  BuildPacket(work, length, fo::spread::kPacketLength);
}

void DerivativeDecoder::Spread17211(std::uint8_t* work, int length) {
  ConvertFields<fo::spread17211::kConverted>(work, length);
  BuildPacket(work, length, PacketLengthOfMessageLength(head_.MessageLength()));
}

void DerivativeDecoder::ContractUpdate(std::uint8_t* work, int length) {
  namespace L = fo::contract;
  if (!Delta() || length < L::kEnd) return;
  ConvertFields<L::kConverted>(work, length);
  const char* text = reinterpret_cast<const char*>(work);
  AnnounceInstrument(Load32(work + L::kToken), ",%d|2:%d:%.10s:%d:%d:%.2s", text + L::kSymbol,
                     Load32(work + L::kExpiryDate), Load32(work + L::kStrikePrice), text + L::kOptionType);
}

template <const auto& kEntry>
void DerivativeDecoder::ConvertEntries(std::uint8_t* work, int length, int entriesAt, int entrySize, int capacity) {
  const int fit = std::max(length - entriesAt, 0) / entrySize;
  const int entries = std::clamp(head_.ErrorCode(), 0, capacity > 0 ? std::min(fit, capacity) : fit);
  std::uint8_t* e = work + entriesAt;
  for (int i = 0; i < entries; ++i, e += entrySize) ConvertFields<kEntry>(e, entrySize);
}

void DerivativeDecoder::Pairs7130(std::uint8_t* work, int length) {
  namespace L = fo::pairs7130;
  ConvertEntries<L::kConverted>(work, length, L::kEntriesAt, L::kEntrySize, L::kCapacity);
}

void DerivativeDecoder::OpenInterest17130(std::uint8_t* work, int length) {
  namespace L = fo::oi17130;
  ConvertEntries<L::kConverted>(work, length, L::kEntriesAt, L::kEntrySize, L::kCapacity);
}

}  // namespace fh::nse
