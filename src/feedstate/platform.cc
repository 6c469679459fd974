#include "feedstate/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace fh {

void PrintError(const char* what) {
  const int err = errno;
  char text[256];
  // GNU strerror_r returns the text, which may or may not live in our buffer.
  const char* description = strerror_r(err, text, sizeof text);
  std::fprintf(stderr, "%s: %s\n", what, description);
}

void StandardProgramExit::Exit(int code) {
  std::fflush(nullptr);
  std::_Exit(code);
}

void StderrMessageBoxes::Show(std::string_view text) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
  std::fflush(stderr);
}

}  // namespace fh
