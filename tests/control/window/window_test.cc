// The desktop window driven through its real widgets: clicks and typing reach
// the dialog model, and the model's controls, title, log list and counters
// grid show in the widgets. What the model does with a click is the dialog
// tests' business; here only what the window adds. No socket is opened.
#include <QtTest/QtTest>
#include <QtWidgets>
#include <atomic>
#include <string>
#include <thread>

#include "control/feed_handler_dialog.h"
#include "dialog_rig.h"
#include "window/feed_window.h"
#include "window/window_platform.h"

namespace fh {
namespace {

// One dialog model over fakes, and its window on the screen.
struct WindowRig {
  testing::DialogRig rig;
  FeedWindow* window = nullptr;

  WindowRig() {
    rig.Open();
    window = new FeedWindow(*rig.dialog);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
  }
  ~WindowRig() { delete window; }  // before the model it shows

  QWidget* W(int id) const { return window->ControlWidget(id); }
  bool Checked(int id) const { return qobject_cast<QAbstractButton*>(W(id))->isChecked(); }
  // A click where a user clicks: on the box of a check box or radio, in the
  // middle of a button.
  void Click(int id) const {
    QWidget* w = W(id);
    QVERIFY(w != nullptr);
    const bool box = qobject_cast<QCheckBox*>(w) != nullptr || qobject_cast<QRadioButton*>(w) != nullptr;
    const QPoint at = box ? QPoint(std::min(8, w->width() / 2), w->height() / 2) : w->rect().center();
    QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, at);
  }
  // Every control's widget shows its model's caption, state and text.
  void ExpectMirrorsTheModel() const {
    QCOMPARE(window->windowTitle(), QString::fromStdString(rig.dialog->Title()));
    for (const ControlState& c : rig.dialog->Controls()) {
      if (c.kind == ControlKind::kMenuEntry) continue;
      QWidget* widget = W(c.id);
      QVERIFY2(widget != nullptr, qPrintable(QString::number(c.id)));
      QCOMPARE(widget->isEnabled(), c.enabled);
      QCOMPARE(widget->isHidden(), !c.visible);
      if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        QCOMPARE(button->text(), QString::fromStdString(c.caption));
        QCOMPARE(button->isChecked(), c.checked);
      }
      if (auto* edit = qobject_cast<QLineEdit*>(widget)) QCOMPARE(edit->text(), QString::fromStdString(c.text));
    }
  }
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void clicksReachTheModelAndTheWidgetsFollowIt();
  void pktCountersShowsTheGridWithItsCountersInTheScreenshot();
  void logListShowsNewestFirstOnlyNewLinesAndDoesNotFreeze();
  void escapeAndEnterDoNotCloseOrStartAndAboutIsInTheMenu();
  void messageBoxesAreModalHereAndQueuedFromOtherThreads();
  void programExitEndsTheEventLoopWithTheFirstCode();
};

void WindowTest::clicksReachTheModelAndTheWidgetsFollowIt() {
  WindowRig w;
  for (int id : {ctl::kTcp, ctl::kUdp, ctl::kMcast, ctl::kBridgePort, ctl::kUdpPort, ctl::kMcastPort})
    QCOMPARE(qobject_cast<QGroupBox*>(w.W(id)->parentWidget())->title(), QString("Send"));
  for (int id : {ctl::kNseCm, ctl::kNseFo, ctl::kNseCd, ctl::kBse})
    QCOMPARE(qobject_cast<QGroupBox*>(w.W(id)->parentWidget())->title(), QString("Exchange-Segment"));
  w.ExpectMirrorsTheModel();
  QVERIFY(w.window->GridWidget()->isHidden());

  w.Click(ctl::kNseFo);
  QVERIFY(w.rig.dialog->Control(ctl::kNseFo).checked);
  w.ExpectMirrorsTheModel();
  // A radio clicked again stays checked; Qt does not uncheck the other one.
  w.Click(ctl::kFeedHandler);
  w.Click(ctl::kServer);
  QVERIFY(w.rig.Count("server") == 1);
  QVERIFY(w.Checked(ctl::kServer) && w.Checked(ctl::kFeedHandler));
  w.ExpectMirrorsTheModel();

  w.Click(ctl::kStart);

  // Hidden controls keep their place, so the others beside them do not move.
  auto places = [&] {
    QApplication::processEvents();  // lets a pending layout run
    QList<QPoint> at;
    for (int id : {ctl::kTcp, ctl::kUdp, ctl::kMcast, ctl::kUdpPort, ctl::kMcastPort}) at << w.W(id)->pos();
    return at;
  };
  const QList<QPoint> before = places();
  w.Click(ctl::kCtcl);
  w.ExpectMirrorsTheModel();
  QCOMPARE(places(), before);

  // Typing reaches the model; the model's refresh shows in the edit.
  auto* edit = qobject_cast<QLineEdit*>(w.W(ctl::kUdpPort));
  edit->setFocus();
  edit->selectAll();
  QTest::keyClicks(edit, "15000");
  QCOMPARE(w.rig.dialog->Control(ctl::kUdpPort).text, std::string("15000"));
  w.rig.options.udpPort = 16000;
  w.rig.dialog->UpdateControls();
  w.window->Refresh();
  QCOMPARE(edit->text(), QString("16000"));
}

void WindowTest::pktCountersShowsTheGridWithItsCountersInTheScreenshot() {
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
  QVERIFY(grid->columnWidth(0) >= grid->horizontalHeader()->fontMetrics().horizontalAdvance("Packet"));
  QVERIFY(grid->columnWidth(1) >= 100);

  // Counters written by another thread appear.
  int row = 0;
  while (grid->item(row, 0)->text() != "6511") ++row;
  std::thread writer([&] {
    for (long long v = 1; v <= 5000; ++v) w.rig.grid.SetCounterCell(6511, v, CounterGrid::kFoColumn);
  });
  writer.join();
  QTRY_COMPARE_WITH_TIMEOUT(grid->item(row, 2)->text(), QString("5000"), 5000);

  // The screenshot of the window, kept as a build artefact, with the model's
  // status line beneath the grid.
  w.rig.log.LogLine("NSE CM 233.1.2.5|35610");
  w.rig.metrics.bridgeQueueBytes.Set(512);
  w.window->Tick();
  QVERIFY(w.window->StatusBar()->isVisible());
  QVERIFY(w.window->StatusBar()->geometry().top() >= grid->geometry().bottom());
  QCOMPARE(w.window->StatusBar()->currentMessage(),
           QString("No segment started | Bridge not connected, queue 512 bytes"));
  const QString path = QStringLiteral(FH_WINDOW_SCREENSHOT);
  QFile::remove(path);
  QVERIFY(w.window->grab().save(path));
  QCOMPARE(QImage(path).size(), w.window->size() * w.window->devicePixelRatio());

  w.Click(ctl::kPktCounters);
  QVERIFY(grid->isHidden());
}

void WindowTest::logListShowsNewestFirstOnlyNewLinesAndDoesNotFreeze() {
  WindowRig w;
  QListWidget* list = w.window->LogListWidget();
  QCOMPARE(list->count(), 0);
  w.rig.log.LogLine("first");
  w.rig.log.LogLine(std::string_view("cnet=\0 x\r\n", 10));
  w.window->Refresh();
  w.window->Refresh();
  QCOMPARE(list->count(), 2);
  QCOMPARE(list->item(0)->text(), QString("cnet=  x"));
  QCOMPARE(list->item(1)->text(), QString("first"));

  std::thread logger([&] {
    for (int i = 0; i < 3000; ++i) w.rig.log.LogFormat("line %d", i);
  });
  logger.join();
  QTRY_COMPARE_WITH_TIMEOUT(list->count(), 3002, 5000);
  QCOMPARE(list->item(0)->text(), QString("line 2999"));
  QCOMPARE(list->item(2999)->text(), QString("line 0"));
  QCOMPARE(list->item(3000)->text(), QString("cnet=  x"));

  // A busy logger does not freeze the window, nor grow the list past its cap.
  std::atomic<bool> stop{false};
  std::atomic<int> logged{0};
  std::thread busy([&] {
    for (int i = 0; !stop.load(std::memory_order_relaxed);) {
      w.rig.log.LogFormat("busy %d", i++);
      logged.store(i, std::memory_order_relaxed);
    }
  });
  w.Click(ctl::kNseCd);
  QTest::qWait(3 * FeedWindow::kRefreshMs);
  w.Click(ctl::kNseCd);
  QVERIFY(!w.Checked(ctl::kNseCd));
  stop = true;
  busy.join();
  QTRY_COMPARE_WITH_TIMEOUT(list->item(0)->text(), QString("busy %1").arg(logged.load() - 1), 5000);
  QVERIFY(list->count() <= FeedWindow::kMaxListLines);
  for (int i = 1; i < std::min(list->count(), 50); ++i)  // newest first all the way down
    QVERIFY2(list->item(i - 1)->text().mid(5).toInt() > list->item(i)->text().mid(5).toInt(),
             qPrintable(QString("row %1").arg(i)));
}

void WindowTest::escapeAndEnterDoNotCloseOrStartAndAboutIsInTheMenu() {
  WindowRig w;
  QTest::keyClick(w.window, Qt::Key_Escape);
  auto* timer = qobject_cast<QLineEdit*>(w.W(ctl::kTimer));
  timer->setFocus();
  QTest::keyClick(timer, Qt::Key_Escape);
  QTest::keyClick(timer, Qt::Key_Return);
  QVERIFY(w.window->isVisible());
  QVERIFY(w.W(ctl::kStart)->isEnabled());

  bool inMenu = false;
  for (QAction* menu : w.window->findChild<QMenuBar*>()->actions())
    inMenu = inMenu || (menu->menu() != nullptr && menu->menu()->actions().contains(w.window->AboutAction()));
  QVERIFY(inMenu);
  w.window->AboutAction()->trigger();
  QCOMPARE(w.rig.Boxes(), std::vector<std::string>{kAboutText});
  // The title bar's close ends the window.
  QVERIFY(w.window->close());
  QVERIFY(!w.window->isVisible());
}

void WindowTest::messageBoxesAreModalHereAndQueuedFromOtherThreads() {
  // Presses OK on every message box that comes up, keeping its text.
  QStringList texts, titles;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      texts << box->text();
      titles << box->windowTitle();
      box->accept();
    }
  });
  closer.start(10);
  QtMessageBoxes boxes;
  boxes.Show("Cant open file :fhc");  // returns once OK is pressed
  QCOMPARE(texts, QStringList{"Cant open file :fhc"});
  QCOMPARE(titles, QStringList{"FeedHandler"});

  std::thread other([&] { boxes.Show("from a receiver"); });
  other.join();  // did not wait for the operator
  QCOMPARE(texts.size(), 1);
  QTRY_COMPARE_WITH_TIMEOUT(texts.size(), 2, 5000);
  QCOMPARE(texts.back(), QString("from a receiver"));
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
  QObject::connect(&bound, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  bound.start(5000);
  QCOMPARE(QCoreApplication::exec(), 1);
  QVERIFY(exit.Requested());
  QCOMPARE(exit.Code(), 1);
}

}  // namespace fh

QTEST_MAIN(fh::WindowTest)
#include "window_test.moc"
