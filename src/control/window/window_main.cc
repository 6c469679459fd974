#include "window/window_main.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "control/feed_application.h"
#include "window/feed_window.h"
#include "window/window_platform.h"

namespace fh {
namespace {

bool HasDisplay() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): at start, before any thread
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// SIGINT and SIGTERM end the window like its close button, so every thread is
// stopped cleanly. Block() runs first, before any thread exists, so every
// thread started later (Qt's, the feed's) inherits the mask and the signals
// wait for the descriptor; Listen() needs the QApplication.
class StopSignals {
 public:
  StopSignals() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  }
  ~StopSignals() {
    Quiet();
    if (fd_ >= 0) ::close(fd_);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Stops listening; before the QApplication and the exit go away.
  void Quiet() { notifier_.reset(); }

  void Listen(ProgramExit& exit) {
    fd_ = ::signalfd(-1, &signals_, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd_ < 0) {
      PrintError("signalfd");
      return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this, &exit] {
      signalfd_siginfo info;
      while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      }
      exit.Exit(0);
    });
  }

 private:
  sigset_t signals_;
  int fd_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace

int RunWindow(const std::string& workDir, const std::string& systemDrive, const RunSettings& settings, int argc,
              char** argv) {
  if (!HasDisplay()) {
    std::fprintf(stderr,
                 "feedhandler: no display to show the window on (DISPLAY is not set); use --headless, or set "
                 "QT_QPA_PLATFORM\n");
    return 2;
  }
  StopSignals stopSignals;
  int qtArgc = argc;
  QApplication qtApp(qtArgc, argv);
  QApplication::setApplicationName(QString::fromLatin1(kMessageBoxTitle));

  QtMessageBoxes boxes;
  WindowProgramExit exit;
  stopSignals.Listen(exit);
  int status = 0;
  {
    // The window goes first, then the application, whose teardown stops every
    // receiver, the bridge server and its clients.
    FeedApplication app(FilePlaces(workDir, systemDrive), boxes, exit, settings);
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
  stopSignals.Quiet();
  return status;
}

}  // namespace fh
