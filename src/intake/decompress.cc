#include "intake/decompress.h"

#include <lzo/lzo1z.h>
#include <lzo/lzoconf.h>

namespace fh {
namespace {

bool LzoReady() {
  static const bool ready = lzo_init() == LZO_E_OK;
  return ready;
}

}  // namespace

int DecompressPacket(std::uint8_t* dst, int dstCapacity, const std::uint8_t* src, int srcLen) {
  if (!LzoReady()) return -1;
  if (dst == nullptr || src == nullptr || dstCapacity < 0 || srcLen <= 0) return -1;
  lzo_uint outLen = static_cast<lzo_uint>(dstCapacity);
  const int rc = lzo1z_decompress_safe(src, static_cast<lzo_uint>(srcLen), dst, &outLen, nullptr);
  // A stream that ends before its input does still produced its whole output.
  if (rc != LZO_E_OK && rc != LZO_E_INPUT_NOT_CONSUMED) return -1;
  if (outLen > static_cast<lzo_uint>(dstCapacity)) return -1;
  return static_cast<int>(outLen);
}

}  // namespace fh
