#include "feedstate/options.h"

namespace fh {

int SelectedSegment(const FeedHandlerOptions& options) {
  const int checked[4] = {options.segNcm.load(), options.segNfo.load(), options.segNcd.load(),
                          options.segBcm.load()};
  int count = 0;
  int chosen = 1;
  for (int i = 0; i < 4; ++i) {
    if (checked[i] == 1) {
      ++count;
      chosen = i + 1;
    }
  }
  return count > 1 ? 0 : chosen;
}

}  // namespace fh
