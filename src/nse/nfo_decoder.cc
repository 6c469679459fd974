#include "nse/nfo_decoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace fh::nse {

NfoDecoder::NfoDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out,
                       IndustryIndexCounters& industryIndex)
    : DerivativeDecoder(context, instruments, out, kSegment, kSegmentCodeFo, kDivisorFo, true),
      industryIndex_(industryIndex),
      indexPath_(context.places.SystemDrive(kIndexFileName)) {}

NfoDecoder::Route NfoDecoder::RouteOf(int code) {
  switch (code) {
    case 1833: return {k1833, 1833};
    case 2009: return {k2009, 2009};
    case 6013: return {k6013, 6013};
    case 6501: return {k6501, 6501};
    case 6511: case 6521: case 6522: case 6531: case 6571: return {kGroup6571, 6571};
    case 6541: return {k6541, 6541};
    case 7130: return {k7130, 7130};
    case 7200: return {k7200, 7200};
    case 7201: return {k7201, 7201};
    case 7202: return {k7202, 7202};
    case 7203: return {kSharedIndustryIndex, 7203};
    case 7206: return {k7206, 7206};
    case 7207: return {k7207, 7207};
    case 7208: return {k7208, 7208};
    case 7210: case 7320: return {kGroup7320, 7320};
    case 7211: return {k7211, 7211};
    case 7305: return {k7305, 7305};
    case 7306: return {k7306, 7306};
    case 7309: return {k7309, 7309};
    case 7324: return {k7324, kNoRow};  // its own count; row 7305 shows 7305 alone
    case 7732: return {k7732, 7732};
    case 7733: return {k7733, 7733};
    case 9010: case 9011: return {kGroup9011, 9011};
    default: return {kNone, kNoRow};
  }
}

Counter& NfoDecoder::CounterOf(Slot slot) {
  return slot == kSharedIndustryIndex ? industryIndex_.fo : counts_[slot];
}

std::uint32_t NfoDecoder::Count(int code) const {
  const Route route = RouteOf(code);
  if (route.slot == kNone) return 0;
  if (route.slot == kSharedIndustryIndex) return Read(industryIndex_.fo);
  return Read(counts_[route.slot]);
}

void NfoDecoder::Decode(std::uint8_t* message, int length) {
  const int code = Begin(message, length);
  const Route route = RouteOf(code);
  if (route.slot == kNone) {
    if (Unhandled(code)) return;  // reported now: nothing else for this message
    Finish();
    return;
  }
  CountAndShow(CounterOf(route.slot), route.row);
  switch (code) {
    case fo::mw::kCode: MarketWatch(); break;
    case fo::ticker::kCode: Ticker(); break;
    case fo::industry::kCode: IndustryIndex(); break;
    case fo::indices::kCode: Indices(); break;
    case fo::mbp::kCode: MarketByPrice(); break;
    case fo::spread::kCode: Spread(); break;
    case fo::contract::kCode: ContractUpdate(); break;
    case fo::v7732::kCode: Value<fo::v7732::kConverted>(fo::v7732::kToken, fo::v7732::kValue); break;
    case fo::v7733::kCode: Value<fo::v7733::kConverted>(fo::v7733::kToken, fo::v7733::kValue); break;
    case fo::pairs7130::kCode: Pairs7130(); break;
    default: break;
  }
  Finish();
}

void NfoDecoder::IndustryIndex() {
  namespace L = fo::industry;
  const int records = ConvertRecordList<L::kConverted, L::kRecordSize, L::kCapacity>(copy_, available_);
  const std::uint8_t* r = copy_ + records::kRecordsAt;
  for (int i = 0; i < records; ++i, r += L::kRecordSize) {
    std::FILE* f = std::fopen(indexPath_.c_str(), "a+");
    if (f == nullptr) continue;  // this record's line is lost
    std::fprintf(f, "%.15s : %d\n", reinterpret_cast<const char*>(r + L::kName), Load32(r + L::kIndexValue));
    std::fflush(f);
    std::fclose(f);
  }
  BuildPacket(L::kPacketLength);
}

void NfoDecoder::Indices() {
  namespace L = fo::indices;
  ConvertRecordList<L::kConverted, L::kRecordSize, L::kCapacity>(copy_, available_);
  BuildPacket(L::kPacketLength);
}

template <const auto& kTable>
void NfoDecoder::Value(int tokenAt, int valueAt) {
  if (!Delta() || available_ < valueAt + 4) return;  // the value did not arrive
  ConvertFields<kTable>(copy_);
  ReportChange(Load32(copy_ + tokenAt), Load32(copy_ + valueAt));
}

bool NfoDecoder::Unhandled(int code) {
  if (!reported_.Add(code)) return false;
  char line[512];
  const int n = std::snprintf(line, sizeof line, "FH : FO : Unhandled TrxCode EXG : Trx=%d Err=%d MsgLen=%d\n", code,
                              head_.ErrorCode(), head_.MessageLength());
  const std::size_t len = std::min<std::size_t>(static_cast<std::size_t>(std::max(n, 0)), sizeof line - 1);
  context_.log.LogLine(std::string_view(line, len));
  context_.files.WriteAndFlush(kSegment, SegmentFiles::kBpackCounterFile, line, len);
  return true;
}

namespace {
void DecodeNfo(void* decoder, std::uint8_t* message, int length) {
  static_cast<NfoDecoder*>(decoder)->Decode(message, length);
}
}  // namespace

DecoderEntry MakeDecoderEntry(NfoDecoder& decoder) { return DecoderEntry{&DecodeNfo, &decoder}; }

}  // namespace fh::nse
