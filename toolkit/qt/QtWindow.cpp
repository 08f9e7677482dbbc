// Building the window: the form's font and size, its controls from the resource with
// absolute geometry, the tab order, and the user's events on their way to the form.
#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include <QtCore/QSignalBlocker>
#include <QtGui/QPainter>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QStyleOptionGroupBox>
#include <QtWidgets/QStylePainter>
#include <QtWidgets/QStyledItemDelegate>

#include "toolkit/qt/QtToolkitParts.h"

using qtk::Index;
using qtk::kFormStretch;

namespace {

// The resource names a Windows bitmap font with a Chinese character set; neither exists
// here. A condensed sans-serif, narrowed a little more, keeps the boldness and fits the
// texts into the controls sized for the bitmap font. That font's 16 pixels are its whole
// cell, and the boxes are drawn round it (16-pixel list items, the progress bar 16 pixels
// below the caption's top): ours is the largest whose cell fits too, descenders included.
QFont FormFont(const FormResource& form) {
  QFont font(QStringLiteral("DejaVu Sans Condensed"));
  font.setStyleHint(QFont::SansSerif);
  font.setBold(form.fontBold);
  font.setStretch(kFormStretch);
  const int cell = std::max(1, std::abs(form.fontHeight));
  for (int size = cell; size >= 1; --size) {
    font.setPixelSize(size);
    if (QFontMetrics(font).height() <= cell) break;
  }
  return font;
}

// An auto-sized window takes the extent of its direct children as its client size;
// otherwise the resource's outer size serves, the frame being the window manager's.
QSize ClientSize(const FormResource& form) {
  if (!form.autoSize) return QSize(form.width, form.height);
  int right = 0, bottom = 0;
  for (std::size_t i = 0; i < form.controlCount; ++i) {
    const ControlResource& c = form.controls[i];
    if (c.parent != ControlId::Form || !c.visible) continue;
    right = std::max(right, c.left + c.width);
    bottom = std::max(bottom, c.top + c.height);
  }
  return QSize(right, bottom);
}

class FixedHeightDelegate : public QStyledItemDelegate {
 public:
  FixedHeightDelegate(int height, QObject* parent) : QStyledItemDelegate(parent), height_(height) {}
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(height_);
    return size;
  }

 private:
  int height_;
};

void ApplyItemHeight(QAbstractItemView* view, int itemHeight) {
  if (itemHeight > 0) view->setItemDelegate(new FixedHeightDelegate(itemHeight, view));
}

}  // namespace

namespace qtk {

Panel::Panel(QWidget* parent) : QFrame(parent) {
  setFrameStyle(QFrame::Panel | QFrame::Raised);
  setLineWidth(1);
}

void Panel::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  if (caption_.isEmpty()) return;
  QPainter painter(this);
  painter.drawText(contentsRect(), Qt::AlignCenter, caption_);
}

void GroupBox::paintEvent(QPaintEvent*) {
  QStylePainter painter(this);
  QStyleOptionGroupBox option;
  initStyleOption(&option);
  const QString caption = option.text;
  const QFontMetrics metrics(font());
  option.text.clear();
  option.rect.setTop(metrics.height() / 2);
  painter.drawComplexControl(QStyle::CC_GroupBox, option);
  if (caption.isEmpty()) return;
  // The caption's whole cell, descenders included, lies above the children.
  QRect text(kCaptionInset, 0, metrics.horizontalAdvance(caption) + 2 * kCaptionPad,
             metrics.height());
  painter.fillRect(text, palette().window());
  painter.drawText(text, Qt::AlignHCenter | Qt::AlignTop, caption);
}

}  // namespace qtk

void QtToolkit::CreateWindowFrom(const FormResource& form, FormEventSink* sink) {
  sink_ = sink;
  combo_ = nullptr;
  label_ = nullptr;
  files_ = nullptr;
  progress_ = nullptr;
  window_ = std::make_unique<qtk::MainWindow>(*this);
  window_->setObjectName(form.name);
  formFont_ = FormFont(form);
  window_->setFont(formFont_);
  widgets_[Index(ControlId::Form)] = window_.get();
  kinds_[Index(ControlId::Form)] = ControlKind::Form;
  // Qt's logical pixels are 96 per inch, the resource's own unit.
  window_->move(form.left, form.top);
  if (form.autoSize)
    window_->setFixedSize(ClientSize(form));
  else
    window_->resize(ClientSize(form));
  for (std::size_t i = 0; i < form.controlCount; ++i) BuildControl(form.controls[i]);
  // A screen reader names the combo box by the label, as Windows does for its controls.
  if (label_ && combo_) label_->setBuddy(combo_);
  SetTabOrder(form);
  for (std::size_t i = 0; i < form.controlCount; ++i) ConnectEvents(form.controls[i]);
}

QWidget* QtToolkit::NewWidget(const ControlResource& control, QWidget* parent) {
  switch (control.kind) {
    case ControlKind::Panel:
      return new qtk::Panel(parent);
    case ControlKind::Label: {
      auto* label = new QLabel(parent);
      label->setTextFormat(Qt::PlainText);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      label_ = label;
      return label;
    }
    case ControlKind::ComboBox: {
      combo_ = new QComboBox(parent);
      combo_->setEditable(true);
      // A Windows drop-down combo neither completes nor adds what the user typed.
      combo_->setCompleter(nullptr);
      combo_->setInsertPolicy(QComboBox::NoInsert);
      ApplyItemHeight(combo_->view(), control.itemHeight);
      return combo_;
    }
    case ControlKind::FileListBox:
      files_ = new qtk::FileList(parent);
      ApplyItemHeight(files_, control.itemHeight);
      files_->setAccessibleName(QStringLiteral("Firmware files"));
      return files_;
    case ControlKind::GroupBox:
      return new qtk::GroupBox(parent);
    case ControlKind::ProgressBar:
      progress_ = new QProgressBar(parent);
      progress_->setTextVisible(false);
      progress_->setAccessibleName(QStringLiteral("Progress"));
      return progress_;
    case ControlKind::Button: {
      auto* button = new QPushButton(parent);
      button->setAutoDefault(false);
      return button;
    }
    case ControlKind::Form:
      break;
  }
  throw std::logic_error("A form cannot be a control of a form");
}

void QtToolkit::BuildControl(const ControlResource& control) {
  QWidget* parent = Widget(control.parent);
  if (!parent) throw std::logic_error("A control's parent must come before it");
  QWidget* widget = NewWidget(control, parent);
  widgets_[Index(control.id)] = widget;
  kinds_[Index(control.id)] = control.kind;
  widget->setObjectName(control.name);
  widget->setGeometry(control.left, control.top, control.width, control.height);
  if (control.kind == ControlKind::ProgressBar) {
    progressMin_ = control.minimum;
    progressMax_ = control.maximum;
    progressPosition_ = control.minimum;
    ShowProgress();
  }
  SetText(control.id, control.caption ? control.caption : "");
  widget->setVisible(control.visible);
  widget->setEnabled(control.enabled);
}

// Tab order holds within each parent; the focus chain visits the children of a control
// right after the control itself.
void QtToolkit::AppendInTabOrder(const FormResource& form, ControlId parent,
                                 std::vector<QWidget*>& chain) const {
  std::vector<const ControlResource*> children;
  for (std::size_t i = 0; i < form.controlCount; ++i)
    if (form.controls[i].parent == parent) children.push_back(&form.controls[i]);
  std::stable_sort(children.begin(), children.end(),
                   [](auto* a, auto* b) { return a->tabOrder < b->tabOrder; });
  for (const ControlResource* child : children) {
    chain.push_back(Widget(child->id));
    AppendInTabOrder(form, child->id, chain);
  }
}

void QtToolkit::SetTabOrder(const FormResource& form) {
  std::vector<QWidget*> chain;
  AppendInTabOrder(form, ControlId::Form, chain);
  chain.erase(std::remove_if(chain.begin(), chain.end(),
                             [](QWidget* w) { return !(w->focusPolicy() & Qt::TabFocus); }),
              chain.end());
  for (std::size_t i = 1; i < chain.size(); ++i) QWidget::setTabOrder(chain[i - 1], chain[i]);
}

void QtToolkit::ConnectEvents(const ControlResource& control) {
  const ControlId id = control.id;
  const ControlEvent event = control.event;
  if (event == ControlEvent::None) return;
  switch (control.kind) {
    case ControlKind::ComboBox:
      // activated: the user's choice from the list (mouse, keys, wheel), never the program's.
      QObject::connect(combo_, &QComboBox::activated, combo_,
                       [this, id, event] { Deliver(id, event); });
      QObject::connect(combo_->lineEdit(), &QLineEdit::textEdited, combo_,
                       [this, id, event] { UserTypedIntoCombo(id, event); });
      break;
    case ControlKind::FileListBox:
      files_->onChosen = [this, id, event] { Deliver(id, event); };
      break;
    case ControlKind::Button: {
      auto* button = static_cast<QPushButton*>(Widget(id));
      QObject::connect(button, &QPushButton::clicked, button,
                       [this, id, event] { Deliver(id, event); });
      break;
    }
    default:
      break;
  }
}

// Exceptions must not unwind through Qt's event loop. One handler at a time: what a run
// lets through (a box's own loop) starts nothing new.
void QtToolkit::Deliver(ControlId control, ControlEvent event) {
  if (!sink_ || Running()) return;
  struct Run {
    explicit Run(int& depth) : depth_(depth) { ++depth_; }
    ~Run() { --depth_; }
    int& depth_;
  } run(running_);
  try {
    sink_->DispatchEvent(control, event);
  } catch (const std::exception& e) {
    ShowException(e.what());
  } catch (...) {
    ShowException("Unknown exception.");
  }
}

// Typing leaves no item selected, as in a Windows drop-down combo; Qt keeps the old
// index and would clear the text when told otherwise, so the text is put back.
void QtToolkit::UserTypedIntoCombo(ControlId control, ControlEvent event) {
  QLineEdit* edit = combo_->lineEdit();
  if (combo_->currentIndex() != -1) {
    const QString text = edit->text();
    const int cursor = edit->cursorPosition();
    {
      const QSignalBlocker blocker(combo_);
      combo_->setCurrentIndex(-1);
      edit->setText(text);
    }
    edit->setCursorPosition(cursor);
  }
  Deliver(control, event);
}
