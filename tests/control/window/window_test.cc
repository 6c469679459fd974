// The desktop window driven through its real widgets: clicks and typing reach
// the dialog model, and the model's controls, title, log list and counters
// grid show in the widgets. Fake feed services: no socket is opened.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTimer>
#include <QtTest/QtTest>
#include <atomic>
#include <string>
#include <thread>

#include "control/feed_handler_dialog.h"
#include "dialog_rig.h"
#include "window/feed_window.h"
#include "window/window_platform.h"

namespace fh {
namespace {

using testing::DialogRig;

// One dialog model over fakes, and its window on the screen.
struct WindowRig {
  DialogRig rig;
  FeedWindow* window = nullptr;

  WindowRig() {
    rig.Open();
    window = new FeedWindow(*rig.dialog);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
  }
  ~WindowRig() { delete window; }  // before the model it shows

  QWidget* W(int id) const { return window->ControlWidget(id); }
  template <typename T>
  T* As(int id) const {
    return qobject_cast<T*>(W(id));
  }
  // A click where a user clicks: on the box of a check box or radio, in the
  // middle of a button.
  void Click(int id) const {
    QWidget* w = W(id);
    QVERIFY(w != nullptr);
    const bool box = qobject_cast<QCheckBox*>(w) != nullptr || qobject_cast<QRadioButton*>(w) != nullptr;
    const QPoint at = box ? QPoint(std::min(8, w->width() / 2), w->height() / 2) : w->rect().center();
    QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, at);
  }
  void Type(int id, const QString& text) const {
    auto* edit = As<QLineEdit>(id);
    QVERIFY(edit != nullptr);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
  }
  QString GroupOf(int id) const {
    auto* group = qobject_cast<QGroupBox*>(W(id)->parentWidget());
    return group != nullptr ? group->title() : QString();
  }
  int GridRowOf(const char* code) const {
    for (int r = 0; r < window->GridWidget()->rowCount(); ++r)
      if (window->GridWidget()->item(r, 0) != nullptr && window->GridWidget()->item(r, 0)->text() == code) return r;
    return -1;
  }
};

// Presses OK on every message box that comes up, keeping its text.
class BoxCloser {
 public:
  BoxCloser() {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        texts << box->text();
        titles << box->windowTitle();
        box->accept();
      }
    });
    timer_.start();
  }
  QStringList texts;
  QStringList titles;

 private:
  QTimer timer_;
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void showsTheDialogsControlsInTheirGroups();
  void clicksReachTheModelAndTheWidgetsFollowIt();
  void pktCountersShowsTheGridWithItsCounters();
  void typingReachesTheModel();
  void logListShowsNewestFirstAndOnlyNewLines();
  void busyLoggerDoesNotFreezeTheWindow();
  void escapeAndEnterDoNotCloseOrStart();
  void aboutEntryOpensTheAboutBox();
  void screenshotOfTheWindow();
  void messageBoxesAreModalHereAndQueuedFromOtherThreads();
  void programExitEndsTheEventLoopWithTheFirstCode();
};

void WindowTest::showsTheDialogsControlsInTheirGroups() {
  WindowRig w;
  QCOMPARE(w.window->windowTitle(), QString("FH BCM"));
  for (int id : {ctl::kTcp, ctl::kUdp, ctl::kMcast, ctl::kBridgePort, ctl::kUdpPort, ctl::kMcastPort})
    QCOMPARE(w.GroupOf(id), QString("Send"));
  for (int id : {ctl::kNseCm, ctl::kNseFo, ctl::kNseCd, ctl::kBse})
    QCOMPARE(w.GroupOf(id), QString("Exchange-Segment"));
  // Every control shows its model's caption, state and text.
  for (const ControlState& c : w.rig.dialog->Controls()) {
    QWidget* widget = w.W(c.id);
    if (c.kind == ControlKind::kMenuEntry) continue;
    QVERIFY2(widget != nullptr, qPrintable(QString::number(c.id)));
    QCOMPARE(widget->isEnabled(), c.enabled);
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      QCOMPARE(button->text(), QString::fromStdString(c.caption));
      QCOMPARE(button->isChecked(), c.checked);
    }
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) QCOMPARE(edit->text(), QString::fromStdString(c.text));
  }
  QCOMPARE(w.As<QLineEdit>(ctl::kBridgePort)->text(), QString("14002"));
  QVERIFY(qobject_cast<QAbstractButton*>(w.W(ctl::kFeedHandler))->isChecked());
  QVERIFY(w.window->GridWidget()->isHidden());
  QCOMPARE(w.window->LogListWidget()->count(), 0);
}

void WindowTest::clicksReachTheModelAndTheWidgetsFollowIt() {
  WindowRig w;
  w.Click(ctl::kNseFo);
  QVERIFY(w.rig.dialog->Control(ctl::kNseFo).checked);
  QVERIFY(w.As<QCheckBox>(ctl::kNseFo)->isChecked());
  QCOMPARE(w.window->windowTitle(), QString("FH NFO"));
  w.Click(ctl::kNseFo);
  QVERIFY(!w.As<QCheckBox>(ctl::kNseFo)->isChecked());

  // A radio clicked again stays checked; Qt does not uncheck the other one.
  w.Click(ctl::kFeedHandler);
  QVERIFY(w.As<QRadioButton>(ctl::kFeedHandler)->isChecked());
  w.Click(ctl::kServer);
  QVERIFY(w.rig.HasEvent("server"));
  QVERIFY(w.As<QRadioButton>(ctl::kServer)->isChecked());
  QVERIFY(w.As<QRadioButton>(ctl::kFeedHandler)->isChecked());
  QVERIFY(!w.W(ctl::kServer)->isEnabled());

  w.Click(ctl::kNseCm);
  w.Click(ctl::kStart);
  QVERIFY(!w.W(ctl::kStart)->isEnabled());
  QVERIFY(w.W(ctl::kEnd)->isEnabled());
  w.Click(ctl::kEnd);
  QVERIFY(w.W(ctl::kStart)->isEnabled());
  // A click on a disabled button reaches nothing.
  w.Click(ctl::kEnd);
  QCOMPARE(w.rig.CountPrefix("stop:"), 1);

  // Hidden controls keep their place, so the others do not move.
  const QPoint tcpAt = w.W(ctl::kTcp)->pos();
  w.Click(ctl::kCtcl);
  for (int id : {ctl::kServerIp, ctl::kServer, ctl::kBridgePort}) QVERIFY(w.W(id)->isHidden());
  QVERIFY(w.W(ctl::kUdpPort)->isVisible());
  QCOMPARE(w.W(ctl::kTcp)->pos(), tcpAt);
}

void WindowTest::pktCountersShowsTheGridWithItsCounters() {
  WindowRig w;
  w.Click(ctl::kNseCm);
  w.Click(ctl::kPktCounters);
  QTableWidget* grid = w.window->GridWidget();
  QVERIFY(grid->isVisible());
  // Row 0 of the model is the header; each other cell shows the model's cell.
  QCOMPARE(grid->columnCount(), 3);
  QCOMPARE(grid->rowCount(), 30);
  for (int c = 0; c < 3; ++c) {
    QCOMPARE(grid->horizontalHeaderItem(c)->text(), QString::fromStdString(w.rig.grid.CellText(0, c)));
    for (int r = 1; r <= 30; ++r)
      QCOMPARE(grid->item(r - 1, c)->text(), QString::fromStdString(w.rig.grid.CellText(r, c)));
  }
  QCOMPARE(grid->item(0, 2)->text(), QString("200000"));  // the fake's CM datagrams
  // Every column fits its header.
  QVERIFY(grid->columnWidth(0) >= grid->horizontalHeader()->fontMetrics().horizontalAdvance("Packet"));
  QVERIFY(grid->columnWidth(1) >= 100);

  // Counters written by another thread appear.
  const int row = w.GridRowOf("6511");
  std::thread writer([&] {
    for (long long v = 1; v <= 5000; ++v) w.rig.grid.SetCounterCell(6511, v, CounterGrid::kFoColumn);
  });
  writer.join();
  QTRY_COMPARE_WITH_TIMEOUT(grid->item(row, 2)->text(), QString("5000"), 5000);

  w.Click(ctl::kPktCounters);
  QVERIFY(grid->isHidden());
}

void WindowTest::typingReachesTheModel() {
  WindowRig w;
  w.Type(ctl::kBridgePort, "15000");
  QCOMPARE(w.rig.dialog->Control(ctl::kBridgePort).text, std::string("15000"));
  w.Click(ctl::kTcp);  // any handler refreshes the options from the controls
  QCOMPARE(w.rig.options.bridgePort.load(), 15000);
  // A refresh of the controls from the options shows in the edit.
  w.rig.options.bridgePort = 16000;
  w.rig.dialog->UpdateControls();
  w.window->Refresh();
  QCOMPARE(w.As<QLineEdit>(ctl::kBridgePort)->text(), QString("16000"));
}

void WindowTest::logListShowsNewestFirstAndOnlyNewLines() {
  WindowRig w;
  QListWidget* list = w.window->LogListWidget();
  w.rig.log.LogLine("first");
  w.rig.log.LogLine("second\n");
  w.window->Refresh();
  QCOMPARE(list->count(), 2);
  QCOMPARE(list->item(0)->text(), QString("second"));
  QCOMPARE(list->item(1)->text(), QString("first"));
  w.rig.log.LogLine(std::string_view("cnet=\0 x\r\n", 10));
  w.window->Refresh();
  w.window->Refresh();
  QCOMPARE(list->count(), 3);
  QCOMPARE(list->item(0)->text(), QString("cnet=  x"));

  std::thread logger([&] {
    for (int i = 0; i < 3000; ++i) w.rig.log.LogFormat("line %d", i);
  });
  logger.join();
  QTRY_COMPARE_WITH_TIMEOUT(list->count(), 3003, 5000);
  QCOMPARE(list->item(0)->text(), QString("line 2999"));
  QCOMPARE(list->item(2999)->text(), QString("line 0"));
  QCOMPARE(list->item(3000)->text(), QString("cnet=  x"));
}

void WindowTest::busyLoggerDoesNotFreezeTheWindow() {
  WindowRig w;
  QListWidget* list = w.window->LogListWidget();
  std::atomic<bool> stop{false};
  std::atomic<int> logged{0};
  std::thread logger([&] {
    int i = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      w.rig.log.LogFormat("busy %d", i++);
      logged.store(i, std::memory_order_relaxed);
    }
  });
  // The window keeps taking clicks and showing them while the flood goes on.
  QTRY_VERIFY_WITH_TIMEOUT(list->count() > 0, 5000);
  w.Click(ctl::kNseCd);
  QCOMPARE(w.window->windowTitle(), QString("FH NCD"));
  QTest::qWait(3 * FeedWindow::kRefreshMs);
  w.Click(ctl::kNseCd);
  QVERIFY(!w.As<QCheckBox>(ctl::kNseCd)->isChecked());
  stop = true;
  logger.join();
  const QString last = QString("busy %1").arg(logged.load() - 1);
  QTRY_COMPARE_WITH_TIMEOUT(list->item(0)->text(), last, 5000);
  QVERIFY(list->count() <= FeedWindow::kMaxListLines);
  // Newest first all the way down.
  for (int i = 1; i < std::min(list->count(), 50); ++i) {
    const int above = list->item(i - 1)->text().mid(5).toInt();
    const int below = list->item(i)->text().mid(5).toInt();
    QVERIFY2(above > below, qPrintable(QString("row %1").arg(i)));
  }
}

void WindowTest::escapeAndEnterDoNotCloseOrStart() {
  WindowRig w;
  QTest::keyClick(w.window, Qt::Key_Escape);
  QVERIFY(w.window->isVisible());
  auto* timer = w.As<QLineEdit>(ctl::kTimer);
  timer->setFocus();
  QTest::keyClick(timer, Qt::Key_Escape);
  QTest::keyClick(timer, Qt::Key_Return);
  QVERIFY(w.window->isVisible());
  QVERIFY(w.W(ctl::kStart)->isEnabled());
  QVERIFY(!w.rig.HasEvent("nse:1 233.1.2.5 35610"));
  // The title bar's close ends the window.
  QVERIFY(w.window->close());
  QVERIFY(!w.window->isVisible());
}

void WindowTest::aboutEntryOpensTheAboutBox() {
  WindowRig w;
  auto* bar = w.window->findChild<QMenuBar*>();
  QVERIFY(bar != nullptr);
  bool inMenu = false;
  for (QAction* menu : bar->actions())
    if (menu->menu() != nullptr && menu->menu()->actions().contains(w.window->AboutAction())) inMenu = true;
  QVERIFY(inMenu);
  w.window->AboutAction()->trigger();
  QCOMPARE(w.rig.Boxes(), std::vector<std::string>{kAboutText});
}

void WindowTest::screenshotOfTheWindow() {
  WindowRig w;
  w.Click(ctl::kNseCm);
  w.Click(ctl::kPktCounters);
  w.rig.log.LogLine("NSE CM 233.1.2.5|35610");
  w.rig.log.LogLine("NSE receiver 233.1.2.5|35610 : socket receive buffer 425984 bytes (asked 8388608)");
  w.window->Refresh();
  QApplication::processEvents();
  const QString path = QStringLiteral(FH_WINDOW_SCREENSHOT);
  QFile::remove(path);
  QVERIFY(w.window->grab().save(path));
  QImage shot(path);
  QVERIFY(!shot.isNull());
  QVERIFY(shot.width() >= 600);
  QVERIFY(shot.height() >= 400);
  QCOMPARE(shot.size(), w.window->size() * w.window->devicePixelRatio());
  // Something is drawn: not one colour all over.
  const QRgb corner = shot.pixel(0, 0);
  bool drawn = false;
  for (int y = 0; y < shot.height() && !drawn; y += 7)
    for (int x = 0; x < shot.width() && !drawn; x += 7) drawn = shot.pixel(x, y) != corner;
  QVERIFY(drawn);
}

void WindowTest::messageBoxesAreModalHereAndQueuedFromOtherThreads() {
  BoxCloser closer;
  QtMessageBoxes boxes;
  boxes.Show("Cant open file :fhc");  // returns once OK is pressed
  QCOMPARE(closer.texts, QStringList{"Cant open file :fhc"});
  QCOMPARE(closer.titles, QStringList{"FeedHandler"});

  std::thread other([&] { boxes.Show("from a receiver"); });
  other.join();  // did not wait for the operator
  QCOMPARE(closer.texts.size(), 1);
  QTRY_COMPARE_WITH_TIMEOUT(closer.texts.size(), 2, 5000);
  QCOMPARE(closer.texts.back(), QString("from a receiver"));
}

void WindowTest::programExitEndsTheEventLoopWithTheFirstCode() {
  WindowProgramExit exit;
  QVERIFY(!exit.Requested());
  QTimer::singleShot(0, [&] {
    std::thread receiver([&] {
      exit.Exit(1);
      exit.Exit(0);
    });
    receiver.join();
  });
  QTimer bound;  // should the loop not end
  bound.setSingleShot(true);
  QObject::connect(&bound, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  bound.start(5000);
  const int code = QCoreApplication::exec();
  QCOMPARE(code, 1);
  QVERIFY(exit.Requested());
  QCOMPARE(exit.Code(), 1);
}

}  // namespace fh

QTEST_MAIN(fh::WindowTest)
#include "window_test.moc"
