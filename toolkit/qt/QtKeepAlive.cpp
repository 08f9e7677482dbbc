// Keeping the window alive while a drive command is outstanding.
#include <QtCore/QCoreApplication>
#include <QtCore/QEventLoop>
#include <QtWidgets/QApplication>

#include "toolkit/qt/QtToolkitParts.h"

namespace {

// What the user does with keys, mouse, pen and touch, on its way to any widget.
bool IsUserInput(QEvent::Type type) {
  switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::TabletMove:
    case QEvent::DragEnter:
    case QEvent::Drop:
      return true;
    default:
      return false;
  }
}

// Drops the user's input while it is installed. Qt's own ExcludeUserInputEvents would
// only put the input off: clicks made during a flash would reach the window after it.
class InputDrop : public QObject {
 public:
  InputDrop() { QCoreApplication::instance()->installEventFilter(this); }
  ~InputDrop() override { QCoreApplication::instance()->removeEventFilter(this); }
  bool eventFilter(QObject*, QEvent* event) override { return IsUserInput(event->type()); }
};

}  // namespace

// While a drive command is outstanding: paint, answer the window system (its pings,
// exposures, the close request, which the window refuses), drop the user's input.
void QtToolkit::KeepAlive() {
  InputDrop drop;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Windows' screen cursor is a setting, not a stack.
void QtToolkit::SetBusyCursor(bool busy) {
  if (busy == busy_) return;
  busy_ = busy;
  if (busy)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
}
