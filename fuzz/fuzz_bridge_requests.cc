// A Bridge connection's request stream: the byte-wise reader and the handling
// of every request it completes (instrument table, log lines, the two delta
// replies).
#include <cstddef>
#include <cstdint>

#include "distribution/bridge_server.h"
#include "distribution/request_reader.h"
#include "fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fh::fuzz::Harness* h = new fh::fuzz::Harness();
  static fh::RequestRecordBudget* budget = new fh::RequestRecordBudget();
  fh::RequestReader reader;
  for (std::size_t i = 0; i < size; ++i) {
    const auto event = reader.Feed(static_cast<char>(data[i]));
    if (event == fh::RequestReader::Event::kOverflow) break;  // the connection is closed
    if (event == fh::RequestReader::Event::kRequestDone) {
      fh::HandleBridgeRequest(h->context, h->instruments, h->output, *budget, reader.SegmentText(), reader.TokenText());
    }
  }
  return 0;
}
