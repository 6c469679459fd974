// The desktop window of the feedhandler program.
//
// Thread safety: RunWindow runs on the main thread, which becomes the
// user-interface thread of the dialog.
#pragma once

#include <string>

#include "control/feed_application.h"

namespace fh {

// Composes one FeedApplication with Qt message boxes and a program exit that
// ends the event loop, initialises the dialog, shows the window and runs it
// until it closes (or the program is asked to end; SIGINT and SIGTERM close
// it too). Every thread of the run is stopped before it returns. Returns the
// exit code: 0 when the window closed, the code given to ProgramExit
// otherwise, 2 when there is no display.
int RunWindow(const std::string& workDir, const std::string& systemDrive, const RunSettings& settings, int argc,
              char** argv);

}  // namespace fh
