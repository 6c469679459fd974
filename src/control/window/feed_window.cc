#include "window/feed_window.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QStyle>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <limits>
#include <string>

namespace fh {
namespace {

constexpr std::uint64_t kNeverShown = std::numeric_limits<std::uint64_t>::max();
constexpr int kTwipsPerInch = 1440;

// A log line as one row of the list: line ends at the end dropped, other
// control bytes (a stray NUL or CR from a datagram) shown as blanks.
QString DisplayLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = ' ';
  }
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// Edits sized for what they hold, in average character widths.
int EditChars(int id) {
  switch (id) {
    case ctl::kServerIp: return 15;
    case ctl::kTimer:
    case ctl::kFoStatus:
    case ctl::kEqStatus: return 8;
    default: return 7;  // the port edits
  }
}

}  // namespace

FeedWindow::FeedWindow(FeedHandlerDialog& dialog, QWidget* parent)
    : QDialog(parent),
      dialog_(dialog),
      shownVersion_(kNeverShown),
      shownGridVersion_(kNeverShown) {
  Build();
  Refresh();
  timer_ = new QTimer(this);
  timer_->setInterval(kRefreshMs);
  connect(timer_, &QTimer::timeout, this, &FeedWindow::Tick);
  timer_->start();
}

FeedWindow::~FeedWindow() = default;

QWidget* FeedWindow::ControlWidget(int id) const {
  const auto it = widgets_.find(id);
  return it == widgets_.end() ? nullptr : it->second;
}

QWidget* FeedWindow::MakeControl(const ControlState& control) {
  const int id = control.id;
  const QString caption = QString::fromStdString(control.caption);
  switch (control.kind) {
    case ControlKind::kButton: {
      auto* button = new QPushButton(caption, this);
      // Enter in an edit must not press Start.
      button->setAutoDefault(false);
      button->setDefault(false);
      connect(button, &QPushButton::clicked, this, [this, id] { OnClicked(id); });
      return button;
    }
    case ControlKind::kCheckBox: {
      auto* box = new QCheckBox(caption, this);
      connect(box, &QCheckBox::clicked, this, [this, id] { OnClicked(id); });
      return box;
    }
    case ControlKind::kRadio: {
      // The model decides which radios are checked; Qt must not uncheck one
      // because another was clicked.
      auto* radio = new QRadioButton(caption, this);
      radio->setAutoExclusive(false);
      connect(radio, &QRadioButton::clicked, this, [this, id] { OnClicked(id); });
      return radio;
    }
    case ControlKind::kEdit: {
      auto* edit = new QLineEdit(this);
      edit->setFixedWidth(edit->fontMetrics().averageCharWidth() * EditChars(id) + 12);
      // Every change goes to the model at once, so the options refreshed by
      // any handler read what the operator sees.
      connect(edit, &QLineEdit::textEdited, this, [this, id](const QString& text) {
        if (!dialog_.SetText(id, text.toStdString())) shownVersion_ = kNeverShown;
      });
      return edit;
    }
    default: return nullptr;
  }
}

void FeedWindow::Build() {
  setWindowIcon(style()->standardIcon(QStyle::SP_ComputerIcon));
  setSizeGripEnabled(true);

  for (const ControlState& c : dialog_.Controls()) {
    if (QWidget* w = MakeControl(c)) {
      w->setObjectName(QStringLiteral("control%1").arg(c.id));
      // Like the controls of a dialog template, a hidden control keeps its
      // place, so hiding the server controls does not move the others.
      QSizePolicy policy = w->sizePolicy();
      policy.setRetainSizeWhenHidden(true);
      w->setSizePolicy(policy);
      widgets_[c.id] = w;
    }
  }
  auto w = [this](int id) { return widgets_.at(id); };

  logList_ = new QListWidget(this);
  logList_->setObjectName(QStringLiteral("control%1").arg(ctl::kLogList));
  logList_->setSortingEnabled(false);
  logList_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  logList_->setUniformItemSizes(true);
  logList_->setTextElideMode(Qt::ElideNone);  // long lines scroll sideways
  logList_->setMinimumHeight(160);
  widgets_[ctl::kLogList] = logList_;

  grid_ = new QTableWidget(this);
  grid_->setObjectName(QStringLiteral("control%1").arg(ctl::kGrid));
  grid_->verticalHeader()->hide();
  grid_->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  grid_->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid_->setSelectionMode(QAbstractItemView::NoSelection);
  grid_->setFocusPolicy(Qt::NoFocus);
  grid_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  grid_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  grid_->hide();
  widgets_[ctl::kGrid] = grid_;

  about_ = new QAction(tr("&About FeedHandler..."), this);
  connect(about_, &QAction::triggered, this, [this] { OnClicked(ctl::kAbout); });

  // Options.
  auto* options = new QVBoxLayout;
  options->addWidget(w(ctl::kEnable));
  options->addWidget(w(ctl::kWriteBin));
  auto* readRow = new QHBoxLayout;
  readRow->addWidget(w(ctl::kReadBin));
  readRow->addWidget(w(ctl::kFoStatus));
  readRow->addWidget(w(ctl::kEqStatus));
  readRow->addStretch();
  options->addLayout(readRow);
  options->addWidget(w(ctl::kSkip2Fo));
  options->addWidget(w(ctl::kSkip2Cm));
  options->addWidget(w(ctl::kPktCounters));
  options->addWidget(w(ctl::kCtcl));
  auto* timerRow = new QHBoxLayout;
  timerLabel_ = new QLabel(QString::fromStdString(dialog_.Control(ctl::kTimer).caption), this);
  timerLabel_->setBuddy(w(ctl::kTimer));
  timerRow->addWidget(timerLabel_);
  timerRow->addWidget(w(ctl::kTimer));
  timerRow->addStretch();
  options->addLayout(timerRow);
  options->addStretch();

  // Mode, server address and outputs.
  auto* mode = new QVBoxLayout;
  mode->addWidget(w(ctl::kFeedHandler));
  auto* serverRow = new QHBoxLayout;
  serverRow->addWidget(w(ctl::kServer));
  serverRow->addWidget(w(ctl::kServerIp));
  serverRow->addStretch();
  mode->addLayout(serverRow);
  auto* send = new QGroupBox(tr("Send"), this);
  auto* sendGrid = new QGridLayout(send);
  const int sendRows[][2] = {{ctl::kTcp, ctl::kBridgePort}, {ctl::kUdp, ctl::kUdpPort}, {ctl::kMcast, ctl::kMcastPort}};
  for (int row = 0; row < 3; ++row) {
    sendGrid->addWidget(w(sendRows[row][0]), row, 0);
    sendGrid->addWidget(w(sendRows[row][1]), row, 1);
  }
  sendGrid->setColumnStretch(2, 1);
  mode->addWidget(send);
  mode->addWidget(w(ctl::kBcastDelta));
  mode->addStretch();

  // Segments.
  auto* segments = new QGroupBox(tr("Exchange-Segment"), this);
  auto* segmentBoxes = new QVBoxLayout(segments);
  for (int id : {ctl::kNseCm, ctl::kNseFo, ctl::kNseCd, ctl::kBse}) segmentBoxes->addWidget(w(id));
  segmentBoxes->addStretch();
  auto* segmentColumn = new QVBoxLayout;
  segmentColumn->addWidget(segments);
  segmentColumn->addStretch();

  // Buttons.
  auto* buttons = new QVBoxLayout;
  for (int id : {ctl::kStart, ctl::kEnd, ctl::kQuit}) buttons->addWidget(w(id));
  buttons->addSpacing(12);
  for (int id : {ctl::kSave, ctl::kLoad}) buttons->addWidget(w(id));
  buttons->addStretch();

  auto* top = new QHBoxLayout;
  top->addLayout(options);
  top->addSpacing(8);
  top->addLayout(mode);
  top->addSpacing(8);
  top->addLayout(segmentColumn);
  top->addStretch();
  top->addLayout(buttons);

  auto* bottom = new QHBoxLayout;
  bottom->addWidget(logList_, 1);
  bottom->addWidget(grid_);

  auto* menuBar = new QMenuBar(this);
  QMenu* help = menuBar->addMenu(tr("&Help"));
  help->addAction(about_);

  // The dialog's own size grip serves the corner; a second one would overlap it.
  statusBar_ = new QStatusBar(this);
  statusBar_->setSizeGripEnabled(false);

  auto* main = new QVBoxLayout(this);
  main->setMenuBar(menuBar);
  main->addLayout(top);
  main->addLayout(bottom, 1);
  main->addWidget(statusBar_);

  // Tab order as in the dialog template.
  QWidget* previous = nullptr;
  for (const ControlState& c : dialog_.Controls()) {
    QWidget* current = ControlWidget(c.id);
    if (current == nullptr || current == grid_) continue;
    if (previous != nullptr) setTabOrder(previous, current);
    previous = current;
  }
  resize(680, 560);
}

void FeedWindow::Refresh() {
  const std::uint64_t version = dialog_.Version();
  if (version != shownVersion_) {
    shownVersion_ = version;
    RefreshControls();
  }
  RefreshGrid();
  RefreshLog();
  const QString status = QString::fromStdString(dialog_.StatusText());
  if (statusBar_->currentMessage() != status) statusBar_->showMessage(status);
}

void FeedWindow::Tick() {
  dialog_.OnTimer(std::chrono::steady_clock::now());
  Refresh();
}

void FeedWindow::RefreshControls() {
  for (const ControlState& c : dialog_.Controls()) {
    if (c.id == ctl::kAbout) {
      about_->setEnabled(c.enabled && c.visible);
      continue;
    }
    QWidget* w = ControlWidget(c.id);
    if (w == nullptr) continue;
    w->setEnabled(c.enabled);
    w->setHidden(!c.visible);
    if (auto* button = qobject_cast<QAbstractButton*>(w); button != nullptr && button->isCheckable()) {
      const QSignalBlocker quiet(button);
      button->setChecked(c.checked);
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
      const QString text = QString::fromStdString(c.text);
      if (edit->text() != text) {
        const QSignalBlocker quiet(edit);
        edit->setText(text);
      }
    }
  }
  const QString title = QString::fromStdString(dialog_.Title());
  if (windowTitle() != title) setWindowTitle(title);
}

void FeedWindow::RefreshGrid() {
  const CounterGrid& grid = dialog_.Context().grid;
  const std::uint64_t version = grid.Version();
  if (version == shownGridVersion_) return;
  shownGridVersion_ = version;  // a change from here on shows next time

  const int rows = std::min(grid.Rows(), CounterGrid::kMaxRows);
  const int cols = std::min(grid.Cols(), CounterGrid::kMaxCols);
  const int bodyRows = std::max(rows - 1, 0);
  bool widthsChanged = false;
  if (grid_->columnCount() != cols) {
    grid_->setColumnCount(cols);
    widthsChanged = true;
  }
  if (grid_->rowCount() != bodyRows) grid_->setRowCount(bodyRows);

  // Row 0 is the header.
  for (int c = 0; c < cols; ++c) {
    const QString text = rows > 0 ? QString::fromStdString(grid.CellText(0, c)) : QString();
    QTableWidgetItem* header = grid_->horizontalHeaderItem(c);
    if (header == nullptr || header->text() != text) {
      grid_->setHorizontalHeaderItem(c, new QTableWidgetItem(text));
      widthsChanged = true;
    }
    const int twips = grid.ColumnWidth(c);
    const int fromTwips = twips * logicalDpiX() / kTwipsPerInch;
    const int forHeader = grid_->horizontalHeader()->fontMetrics().horizontalAdvance(text) + 16;
    const int width = std::max(fromTwips, forHeader);
    if (grid_->columnWidth(c) != width) {
      grid_->setColumnWidth(c, width);
      widthsChanged = true;
    }
  }
  if (widthsChanged) {
    grid_->setFixedWidth(grid_->horizontalHeader()->length() + grid_->verticalScrollBar()->sizeHint().width() +
                         2 * grid_->frameWidth());
  }

  for (int r = 1; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const QString text = QString::fromStdString(grid.CellText(r, c));
      QTableWidgetItem* item = grid_->item(r - 1, c);
      if (item == nullptr) {
        item = new QTableWidgetItem(text);
        item->setTextAlignment(c == 0 ? (Qt::AlignLeft | Qt::AlignVCenter) : (Qt::AlignRight | Qt::AlignVCenter));
        grid_->setItem(r - 1, c, item);
      } else if (item->text() != text) {
        item->setText(text);
      }
    }
  }
}

void FeedWindow::RefreshLog() {
  const LogList& log = dialog_.Context().log;
  const std::uint64_t sequence = log.Sequence();
  if (sequence <= shownLogSequence_) return;
  // Lines not shown yet, oldest first, as far as the list still keeps them;
  // at most kMaxLinesPerRefresh a tick, the rest on the next ticks.
  const std::uint64_t kept = log.Size();
  const std::uint64_t from = std::max(shownLogSequence_, sequence - std::min(sequence, kept));
  const std::uint64_t target = std::min(sequence, from + kMaxLinesPerRefresh);

  // Line number q (counted from the first line ever logged) sits at index
  // Sequence() - 1 - q of the list; a line is taken only when no other line
  // arrived while it was read, so a busy logger cannot shift it under us.
  QStringList lines;
  lines.reserve(static_cast<qsizetype>(target - from));
  for (std::uint64_t q = target; q-- > from;) {
    bool taken = false;
    bool gone = false;
    for (int attempt = 0; attempt < 16 && !taken && !gone; ++attempt) {
      const std::uint64_t now = log.Sequence();
      const std::uint64_t index = now - 1 - q;
      if (index >= log.Size()) {
        gone = true;  // fell off the end of the list, and so did every older line
        break;
      }
      std::string text = log.Line(static_cast<std::size_t>(index));
      if (log.Sequence() == now) {
        lines.push_back(DisplayLine(std::move(text)));
        taken = true;
      }
    }
    if (gone) break;
  }
  shownLogSequence_ = target;
  if (lines.isEmpty()) return;

  logList_->insertItems(0, lines);  // newest first, so the newest is on top
  while (logList_->count() > kMaxListLines) delete logList_->takeItem(logList_->count() - 1);
}

void FeedWindow::OnClicked(int id) {
  dialog_.Click(id);
  // The widget changed itself on the click (a radio unchecked, a check box
  // toggled although the model refused): show the model's state again even
  // when the model did not change.
  shownVersion_ = kNeverShown;
  Refresh();
}

void FeedWindow::keyPressEvent(QKeyEvent* event) {
  // Escape is no dialog key here: the window closes from its title bar only.
  if (event->key() == Qt::Key_Escape || event->matches(QKeySequence::Cancel)) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void FeedWindow::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addAction(about_);
  menu.exec(event->globalPos());
}

}  // namespace fh
