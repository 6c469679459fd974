// Feed state for the BSE tests: the shared FeedState with the instrument
// table, a recording output and the decoder over them.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bse/bse_decoder.h"
#include "instruments/instrument_map.h"
#include "support/bse_block.h"
#include "support/feed_state.h"
#include "support/recording_output.h"

namespace fh::testing {

using Strings = std::vector<std::string>;

// A caller's buffer of exactly the given bytes on the heap, so the address
// sanitizer sees any read past it.
inline std::unique_ptr<std::uint8_t[]> ExactCopy(const Bytes& bytes) {
  auto copy = std::make_unique<std::uint8_t[]>(bytes.empty() ? 1 : bytes.size());
  if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
  return copy;
}

struct BseFeed : FeedState {
  InstrumentMap instruments;
  RecordingOutput out;
  bse::BseDecoder decoder{context, instruments, out};

  void Decode(const Bytes& block) {
    decoder.DecodeBseBlock(ExactCopy(block).get(), static_cast<int>(block.size()));
  }
};

}  // namespace fh::testing
