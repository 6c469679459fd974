#include "feedstate/debug_log.h"

#include <cstdio>

#include "feedstate/exg_seg.h"
#include "feedstate/file_places.h"

namespace fh {

int WriteDebugLog(const FilePlaces& places, std::string_view text, int seg) {
  const char* suffix = SuffixForSelector(seg);
  if (suffix == nullptr) return 0;
  char name[32];
  std::snprintf(name, sizeof name, "FH_Debuglog_%s.txt", suffix);
  char path[4096];
  if (!places.WorkInto(path, sizeof path, name)) return 0;
  std::FILE* f = std::fopen(path, "a+");
  if (f == nullptr) return 0;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fputc('\n', f);
  std::fflush(f);
  std::fclose(f);
  return 0;
}

}  // namespace fh
