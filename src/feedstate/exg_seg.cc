#include "feedstate/exg_seg.h"

namespace fh {

const char* SegmentSuffix(int seg) {
  switch (seg) {
    case kSegNcm: return "NCM";
    case kSegNfo: return "NFO";
    case kSegNcd: return "NCD";
    case kSegBcm: return "BCM";
    default: return nullptr;
  }
}

const char* SuffixForSelector(int selector) {
  switch (selector) {
    case 1: case 30001: return "NCM";
    case 2: case 30002: return "NFO";
    case 4: case 30004: return "BCM";
    default: return nullptr;
  }
}

}  // namespace fh
