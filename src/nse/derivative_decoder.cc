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

int DerivativeDecoder::Begin(const std::uint8_t* message, int length) {
  available_ = std::clamp(length, 0, kCopySize);
  if (available_ > 0) std::memcpy(copy_, message, static_cast<std::size_t>(available_));
  std::memset(copy_ + available_, 0, static_cast<std::size_t>(kCopySize - available_));
  Start(copy_, available_);
  CountAndShow(total_, kTotalRow);
  return head_.TransactionCode();
}

void DerivativeDecoder::Spread(std::uint8_t* work, int length) {
  ConvertFields<fo::spread::kConverted>(work);
  BuildPacket(work, length, fo::spread::kPacketLength);
}

void DerivativeDecoder::ContractUpdate(std::uint8_t* work, int length) {
  namespace L = fo::contract;
  if (!Delta() || length < L::kEnd) return;
  ConvertFields<L::kConverted>(work);
  const char* text = reinterpret_cast<const char*>(work);
  AnnounceInstrument(Load32(work + L::kToken), ",%d|2:%d:%.10s:%d:%d:%.2s", text + L::kSymbol,
                     Load32(work + L::kExpiryDate), Load32(work + L::kStrikePrice), text + L::kOptionType);
}

void DerivativeDecoder::Pairs7130(std::uint8_t* work, int length) {
  namespace L = fo::pairs7130;
  const int fit = std::max(length - L::kEntriesAt, 0) / L::kEntrySize;
  const int entries = std::clamp(head_.ErrorCode(), 0, fit);
  std::uint8_t* e = work + L::kEntriesAt;
  for (int i = 0; i < entries; ++i, e += L::kEntrySize) ConvertFields<L::kConverted>(e);
}

}  // namespace fh::nse
