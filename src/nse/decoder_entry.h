// How a segment's decoder is plugged into the framing from outside: a plain
// function and the decoder object it runs on. The framing knows no decoder.
//
// The framing calls decode(decoder, message, length, receivedAtNs) once per
// packet with the message address (2 bytes into BcastHeader, header fields already in host
// order), the receive time of the packet's datagram (CLOCK_REALTIME ns, 0
// when unknown) and a length that never reaches past the bytes the framing
// owns: the
// decoder may read and write message[0 .. length-1] and nothing else (and the
// two header bytes before it, message[-2] and message[-1]). A length of 0 or
// less carries no bytes.
//
// The framing hands the header's MessageLength clamped to [0, bytes it owns
// after the message address]: the rest of the segment's decompression buffer
// for a compressed packet, the rest of the datagram for an uncompressed one.
// A well-formed packet therefore gets its MessageLength unchanged. Whatever the
// length, the whole 40-byte header (message[-2 .. 37]) lies in the framing's
// memory and may be read. A segment's
// decoder is never run by two threads at once (the framing holds the
// segment's lock around the call).
#pragma once

#include <cstdint>

namespace fh {

struct DecoderEntry {
  void (*decode)(void* decoder, std::uint8_t* message, int length, std::int64_t receivedAtNs) = nullptr;
  void* decoder = nullptr;
  // Hands over what the decoder's output holds back; the framing calls it
  // when the receiver's batch ends (or after each datagram framed alone).
  void (*flush)(void* decoder) = nullptr;

  void operator()(std::uint8_t* message, int length, std::int64_t receivedAtNs) const {
    if (decode != nullptr) decode(decoder, message, length, receivedAtNs);
  }
  void Flush() const {
    if (flush != nullptr) flush(decoder);
  }
};

namespace nse {

// The entry of an NSE decoder: its Decode(message, length, receivedAtNs)
// behind the plain function the framing calls.
template <class Decoder>
DecoderEntry MakeDecoderEntry(Decoder& decoder) {
  return DecoderEntry{[](void* d, std::uint8_t* message, int length, std::int64_t receivedAtNs) {
                        static_cast<Decoder*>(d)->Decode(message, length, receivedAtNs);
                      },
                      &decoder, [](void* d) { static_cast<Decoder*>(d)->FlushOutput(); }};
}

}  // namespace nse
}  // namespace fh
