// What the decoders hand their results to: forwarded packets and the two
// BCAST DELTA lines. The transport implements it; tests plug in recorders.
//
// Thread safety: implementations are called from every receiver thread and
// from the Bridge client threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fh {

class BridgeOutput {
 public:
  virtual ~BridgeOutput() = default;

  // Whether a Bridge is connected now; decoders build packets only then.
  virtual bool BridgeConnected() const = 0;

  // Sends one whole packet on every output the operator switched on. Returns 0
  // when no Bridge is connected (nothing sent), otherwise 1. receivedAtNs is
  // when the datagram the packet came from was received (CLOCK_REALTIME ns; 0
  // unknown), for the tick-to-Bridge latency.
  virtual int SendToBridges(int segment, int length, const std::uint8_t* packet, std::int64_t receivedAtNs) = 0;

  // Broadcasts the all-delta line unchanged on port 2007 (segments 1 and 2
  // only). Returns 0.
  virtual int SendDeltaAll(int segment, const char* text) = 0;

  // Prefixes the line with the segment number, copies the prefixed line back
  // into text (which must have room for the prefix: decoders use 512-byte
  // buffers and keep lines shorter) and broadcasts it on port 2017. Returns 0
  // when sent or when text was empty, -1 on a short send.
  virtual int SendDeltaSubscribed(int segment, char* text, std::size_t capacity) = 0;

  // Writes whatever the output has held back (see SendBatch); called when a
  // receiver's batch ends. The transport holds nothing back.
  virtual void Flush() {}
};

}  // namespace fh
