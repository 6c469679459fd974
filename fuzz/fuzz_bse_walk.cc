// One BSE datagram through the block walk, the decoder and the per-block
// forwarded packets.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "bse/bse_decoder.h"
#include "bse/bse_receiver.h"
#include "fuzz_harness.h"

namespace {

struct BseHarness : fh::fuzz::Harness {
  BseHarness() : decoder(context, instruments, output), handler(context, decoder, output) {}
  fh::bse::BseDecoder decoder;
  fh::BseDatagramHandler handler;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static BseHarness* h = new BseHarness();
  if (size > fh::bse::kMaxDatagram) size = fh::bse::kMaxDatagram;  // the receiver reads at most this
  std::uint8_t* copy = new std::uint8_t[size == 0 ? 1 : size];
  if (size > 0) std::memcpy(copy, data, size);
  h->handler.OnDatagram(copy, static_cast<int>(size));
  delete[] copy;
  return 0;
}
