// What the Qt toolkit's own files share: the text conversions, the form's font, and the
// widgets that stand in for the Windows controls. Not for the program's code.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include <QtCore/QStringList>
#include <QtGui/QCloseEvent>
#include <QtGui/QFont>
#include <QtGui/QKeyEvent>
#include <QtWidgets/QFrame>
#include <QtWidgets/QGroupBox>
#include <QtWidgets/QListWidget>
#include <QtWidgets/QWidget>

#include "toolkit/qt/QtToolkit.h"

namespace qtk {

// Texts are byte strings; on Linux the system's code page is UTF-8, and so is Qt's
// local 8-bit encoding.
inline QString ToQt(const std::string& text) {
  return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string FromQt(const QString& text) {
  const QByteArray bytes = text.toLocal8Bit();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

inline int Index(ControlId id) {
  return static_cast<int>(id);
}

constexpr int kFormStretch = 80;
constexpr int kCaptionInset = 8;  // a group box's caption from its sides
constexpr int kCaptionPad = 2;    // the frame line cleared on either side of the caption

// The widget's font narrowed until every text fits the room, but never below three
// fifths of the form's width: what the Windows toolkit does for its controls.
void FitFont(QWidget& widget, const QFont& form, const QStringList& texts, int room);

class MainWindow : public QWidget {
 public:
  explicit MainWindow(QtToolkit& toolkit) : toolkit_(toolkit) {}

 protected:
  // Only the program closes the window while a handler runs: a flash must not be cut
  // off mid-commit.
  void closeEvent(QCloseEvent* event) override {
    if (event->spontaneous() && toolkit_.Running()) {
      event->ignore();
      return;
    }
    QWidget::closeEvent(event);
    if (event->isAccepted()) toolkit_.MainWindowClosed();
  }

 private:
  QtToolkit& toolkit_;
};

// A raised panel that shows its caption centred, as a Windows form panel does.
class Panel : public QFrame {
 public:
  explicit Panel(QWidget* parent);
  void SetCaption(const QString& caption) {
    caption_ = caption;
    update();
  }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString caption_;
};

// A group box whose caption sits on its frame line, as in Windows: its children start
// 16 pixels down, under a caption that Qt would otherwise set on top of them.
class GroupBox : public QGroupBox {
 public:
  using QGroupBox::QGroupBox;

 protected:
  void paintEvent(QPaintEvent*) override;
};

// The file list box: a click, or a keyboard move to another file, is the user's choice.
class FileList : public QListWidget {
 public:
  explicit FileList(QWidget* parent) : QListWidget(parent) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSortingEnabled(false);
    connect(this, &QListWidget::itemClicked, this, [this] { Chosen(); });
  }
  std::function<void()> onChosen;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    const int before = currentRow();
    QListWidget::keyPressEvent(event);
    if (currentRow() != before && currentRow() >= 0) Chosen();
  }

 private:
  void Chosen() {
    if (onChosen) onChosen();
  }
};

}  // namespace qtk
