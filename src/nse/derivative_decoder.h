// What the F&O (segment 2) and currency-derivatives (segment 3) decoders have
// in common: the private message copy and the handlers both segments run for
// spread (7211, and F&O's 17211 today), contract update (7305), the 7130 pairs
// (and F&O's 17130 entries today) and the values of single-value messages
// (7732, 7733, 7213). Market watch, ticker and market by price are the shared
// record-list handler with the 4-byte-token layouts.
//
// Every call first copies the message (at most 1024 bytes, none when the
// length is 0 or less) into a private copy; handlers convert and read only the
// bytes of that copy that arrived, so the caller's buffer is never changed,
// and they convert, report and forward only fields that lie within those
// bytes (a packet's body is zero past them).
//
// Thread safety: Decode is called by one thread at a time (the receiver that
// frames the segment). Counters may be read from any thread.
#pragma once

#include <cstdint>

#include "nse/decoder_support.h"

namespace fh::nse {

class DerivativeDecoder : public DecoderCore {
 public:
  static constexpr int kWatchedToken = 38665;
  static constexpr int kCopySize = forwarded::kBufferSize;
  // Room for some 196,000 contracts in the cache before tokens go through
  // the table each time.
  static constexpr int kContractCacheSlotsLog2 = 18;

 protected:
  DerivativeDecoder(FeedContext& context, InstrumentMap& instruments, BridgeOutput& out, const Setup& setup);
  ~DerivativeDecoder() = default;

  // Step one of every call: takes the private copy, clears the per-call
  // state, counts the message (shown in row 0, F&O column) and returns the
  // transaction code.
  int Begin(const std::uint8_t* message, int length, std::int64_t receivedAtNs);

  // The handlers, on the private copy (work is copy_, length the bytes that
  // arrived).
  void Spread(std::uint8_t* work, int length);
  void Spread17211(std::uint8_t* work, int length);
  void ContractUpdate(std::uint8_t* work, int length);
  void Pairs7130(std::uint8_t* work, int length);
  void OpenInterest17130(std::uint8_t* work, int length);
  // Converts table and reports the 4-byte token at kTokenAt with the 4-byte
  // value at kValueAt (when BCAST DELTA is on and the value arrived); builds
  // the packet when kPacketLength is not 0.
  template <const auto& kTable, int kTokenAt, int kValueAt, int kPacketLength>
  void Value(std::uint8_t* work, int length) {
    ConvertFields<kTable>(work, length);
    if (Delta() && length >= kValueAt + 4) ReportChange(Load32(work + kTokenAt), Load32(work + kValueAt));
    if (kPacketLength != 0) BuildPacket(work, length, kPacketLength);
  }

 private:
  // Converts the entries of a list counted by the header's ErrorCode: at most
  // capacity (0: no limit but the bytes) and those that arrived whole.
  template <const auto& kEntry>
  void ConvertEntries(std::uint8_t* work, int length, int entriesAt, int entrySize, int capacity);

 protected:
  int available_ = 0;  // bytes of copy_ that arrived
};

}  // namespace fh::nse
