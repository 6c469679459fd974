#include "window/window_platform.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>

namespace fh {

void QtMessageBoxes::Show(std::string_view text) {
  const QString message = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  if (QThread::currentThread() == receiver_.thread()) {
    ShowNow(message);
    return;
  }
  // Dropped with receiver_ if the boxes go away before the loop gets to it.
  QMetaObject::invokeMethod(&receiver_, [this, message] { ShowNow(message); }, Qt::QueuedConnection);
}

void QtMessageBoxes::ShowNow(const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kMessageBoxTitle), text, QMessageBox::Ok, parent_.data());
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

void WindowProgramExit::Exit(int code) {
  if (claimed_.exchange(true, std::memory_order_acq_rel)) return;
  code_.store(code, std::memory_order_relaxed);
  requested_.store(true, std::memory_order_release);
  QMetaObject::invokeMethod(&receiver_, [code] { QCoreApplication::exit(code); }, Qt::QueuedConnection);
}

}  // namespace fh
