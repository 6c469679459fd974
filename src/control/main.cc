// The feedhandler program. Everything lives in RunFeedHandler; the desktop
// window is linked in when it is built.
#include "control/front_end.h"

#ifdef FH_HAVE_WINDOW
#include "window/window_main.h"
#endif

#if defined(__SANITIZE_THREAD__)
// Debian's libcivetweb formats each response's Date header with gmtime(), whose
// one static result its server threads share, so two scrapes answered at the
// same moment race there (at worst a wrong Date header). It is the only race
// suppressed; nothing of ours calls gmtime().
extern "C" const char* __tsan_default_suppressions() { return "race:gmtime\n"; }
#endif

int main(int argc, char** argv) {
#ifdef FH_HAVE_WINDOW
  return fh::RunFeedHandler(argc, argv, &fh::RunWindow);
#else
  return fh::RunFeedHandler(argc, argv, nullptr);
#endif
}
