#include "window/window_main.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "control/feed_application.h"
#include "window/feed_window.h"
#include "window/window_platform.h"

namespace fh {
namespace {

bool HasDisplay() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace

int RunWindow(const CommandLine& /*command*/, const std::string& workDir, const std::string& systemDrive, int argc,
              char** argv) {
  if (!HasDisplay()) {
    std::fprintf(stderr,
                 "feedhandler: no display to show the window on (DISPLAY is not set); use --headless, or set "
                 "QT_QPA_PLATFORM\n");
    return 2;
  }
  int qtArgc = argc;
  QApplication qtApp(qtArgc, argv);
  QApplication::setApplicationName(QString::fromLatin1(kMessageBoxTitle));

  QtMessageBoxes boxes;
  WindowProgramExit exit;
  int status = 0;
  {
    // The window goes first, then the application, whose teardown stops every
    // receiver, the bridge server and its clients.
    FeedApplication app(FilePlaces(workDir, systemDrive), boxes, exit);
    FeedWindow window(app.Dialog());
    boxes.SetParent(&window);
    app.Dialog().Initialise();
    if (!exit.Requested()) {
      window.Refresh();
      window.show();
      status = QApplication::exec();
    }
    if (exit.Requested()) status = exit.Code();
    window.hide();
  }
  return status;
}

}  // namespace fh
