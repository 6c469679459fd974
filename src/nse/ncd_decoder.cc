#include "nse/ncd_decoder.h"

#include <algorithm>
#include <cstdio>

namespace fh::nse {

NcdDecoder::NcdDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out)
    : DerivativeDecoder(context, instruments, out, kSegment, kSegmentCodeCd, kDivisorCd, false) {}

NcdDecoder::Route NcdDecoder::RouteOf(int code) {
  switch (code) {
    case 6501: return {k6501, 6501};
    case 6511: case 6521: case 6522: case 6531: case 6571: return {kGroup6571, 6571};
    case 6541: return {k6541, 6541};
    case 7130: return {k7130, 7130};
    case 7200: return {k7200, 7200};
    case 7201: return {k7201, 7201};
    case 7202: return {k7202, 7202};
    case 7206: return {k7206, 7206};
    case 7208: return {k7208, 7208};
    case 7210: case 7320: return {kGroup7320, 7320};
    case 7211: return {k7211, 7211};
    case 7213: return {k7213, 7213};
    case 7214: case 7215: case 7216: return {kIgnored, kNoRow};
    case 7305: return {k7305, 7305};
    case 7306: return {k7306, 7306};
    case 7309: return {k7309, 7309};
    case 7324: return {k7324, kNoRow};  // its own count; row 7305 shows 7305 alone
    case 9010: case 9011: return {kGroup9011, 9011};
    default: return {kNone, kNoRow};
  }
}

std::uint32_t NcdDecoder::Count(int code) const {
  const Route route = RouteOf(code);
  return route.slot < kSlots ? Read(counts_[route.slot]) : 0;
}

void NcdDecoder::Decode(std::uint8_t* message, int length) {
  const int code = Begin(message, length);
  const Route route = RouteOf(code);
  if (route.slot == kIgnored) return;
  if (route.slot == kNone) {
    Invalid(code);
    return;
  }
  CountAndShow(counts_[route.slot], route.row);
  switch (code) {
    case cd::mw::kCode: MarketWatch(); break;
    case cd::ticker::kCode: Ticker(); break;
    case cd::mbp::kCode: MarketByPrice(); break;
    case cd::spread::kCode: Spread(); break;
    case cd::v7213::kCode: Value7213(); break;
    case cd::contract::kCode: ContractUpdate(); break;
    case cd::pairs7130::kCode: Pairs7130(); break;
    default: break;
  }
  Finish();
}

void NcdDecoder::Value7213() {
  namespace L = cd::v7213;
  // Cleared past what arrived, the copy converts safely; only a value that
  // arrived is reported.
  ConvertFields<L::kConverted>(copy_);
  if (Delta() && available_ >= L::kValue + 4) ReportChange(Load32(copy_ + L::kToken), Load32(copy_ + L::kValue));
  BuildPacket(L::kPacketLength);
}

void NcdDecoder::Invalid(int code) {
  char line[512];
  const int n = std::snprintf(line, sizeof line, "FH : FO : Invalid TrxCode EXG : Trx=%d Err=%d MsgLen=%d\n", code,
                              head_.ErrorCode(), head_.MessageLength());
  const std::size_t len = std::min<std::size_t>(static_cast<std::size_t>(std::max(n, 0)), sizeof line - 1);
  context_.files.WriteAndFlush(kSegment, SegmentFiles::kBpackCounterFile, line, len);
  context_.log.LogLine(std::string_view(line, len));
}

namespace {
void DecodeNcd(void* decoder, std::uint8_t* message, int length) {
  static_cast<NcdDecoder*>(decoder)->Decode(message, length);
}
}  // namespace

DecoderEntry MakeDecoderEntry(NcdDecoder& decoder) { return DecoderEntry{&DecodeNcd, &decoder}; }

}  // namespace fh::nse
