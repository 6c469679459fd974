// LZO1Z decompression of one compressed broadcast packet.
//
// Thread safety: may be called from any thread at once. The library's one-time
// initialisation runs on the first call (a function-local static, so several
// first callers wait for the one that initialises).
#pragma once

#include <cstdint>

namespace fh {

// Decompresses srcLen bytes at src into dst, writing at most dstCapacity bytes.
// Returns the number of bytes written, or -1 when the library did not
// initialise, the arguments are unusable (null pointers, negative sizes), the
// input is not a well-formed LZO1Z stream, or the output would not fit in
// dstCapacity bytes. Input bytes left over after a complete stream are ignored
// (the output is whole). Never reads beyond src[srcLen-1] nor writes beyond
// dst[dstCapacity-1]. Allocates nothing.
int DecompressPacket(std::uint8_t* dst, int dstCapacity, const std::uint8_t* src, int srcLen);

}  // namespace fh
