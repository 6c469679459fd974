// One NSE datagram through the framing and the three decoders, routed by its
// net id as the receiver routes it.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "feedstate/exg_seg.h"
#include "fuzz_harness.h"
#include "intake/framing.h"
#include "nse/bcast_header.h"
#include "nse/ncd_decoder.h"
#include "nse/ncm_decoder.h"
#include "nse/nfo_decoder.h"

namespace {

struct NseHarness : fh::fuzz::Harness {
  NseHarness()
      : framing(context),
        cm(context, instruments, output, industry),
        fo(context, instruments, output, industry),
        cd(context, instruments, output) {
    framing.SetDecoder(fh::kSegNcm, fh::nse::MakeDecoderEntry(cm));
    framing.SetDecoder(fh::kSegNfo, fh::nse::MakeDecoderEntry(fo));
    framing.SetDecoder(fh::kSegNcd, fh::nse::MakeDecoderEntry(cd));
  }
  fh::Framing framing;
  fh::nse::IndustryIndexCounters industry;
  fh::nse::NcmDecoder cm;
  fh::nse::NfoDecoder fo;
  fh::nse::NcdDecoder cd;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static NseHarness* h = new NseHarness();
  // The receiver hands datagrams of any size up to the UDP maximum; the
  // exchange keeps to 512 bytes as a rule. Up to eight times that is passed
  // through, which covers every packet length the framing can meet.
  constexpr std::size_t kLongest = 8 * fh::nse::datagram::kMaxSize;
  if (size > kLongest) size = kLongest;
  // An exact-size heap copy, so AddressSanitizer sees any read past the end.
  std::uint8_t* copy = new std::uint8_t[size == 0 ? 1 : size];
  if (size > 0) std::memcpy(copy, data, size);
  const int len = static_cast<int>(size);
  switch (size > 0 ? copy[fh::nse::datagram::kNetId] : 0) {
    case fh::kNetIdCm: h->framing.FrameCmDatagram(copy, len); break;
    case fh::kNetIdFo: h->framing.FrameFoDatagram(copy, len); break;
    case fh::kNetIdCd: h->framing.FrameCdDatagram(copy, len); break;
    default: h->framing.RecordUnknownDatagram(copy, len); break;
  }
  delete[] copy;
  return 0;
}
