#include "feedstate/debug_log.h"

#include <cstdio>
#include <string>

#include "feedstate/exg_seg.h"
#include "feedstate/file_places.h"

namespace fh {

int WriteDebugLog(const FilePlaces& places, std::string_view text, int seg) {
  const char* suffix = SuffixForSelector(seg);
  if (suffix == nullptr) return 0;
  const std::string path = places.Work(std::string("FH_Debuglog_") + suffix + ".txt");
  std::FILE* f = std::fopen(path.c_str(), "a+");
  if (f == nullptr) return 0;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fputc('\n', f);
  std::fflush(f);
  std::fclose(f);
  return 0;
}

}  // namespace fh
