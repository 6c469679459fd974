// The feedhandler program. Everything lives in RunFeedHandler; the desktop
// window is linked in when it is built.
#include "control/front_end.h"

#ifdef FH_HAVE_WINDOW
#include "window/window_main.h"
#endif

int main(int argc, char** argv) {
#ifdef FH_HAVE_WINDOW
  return fh::RunFeedHandler(argc, argv, &fh::RunWindow);
#else
  return fh::RunFeedHandler(argc, argv, nullptr);
#endif
}
