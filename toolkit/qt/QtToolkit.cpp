#include "toolkit/qt/QtToolkit.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <vector>

#include <QtCore/QEventLoop>
#include <QtCore/QSignalBlocker>
#include <QtCore/QStringList>
#include <QtGui/QCloseEvent>
#include <QtGui/QKeyEvent>
#include <QtGui/QPainter>
#include <QtWidgets/QApplication>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QFrame>
#include <QtWidgets/QGroupBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QListWidget>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QStyleOptionComboBox>
#include <QtWidgets/QStyleOptionGroupBox>
#include <QtWidgets/QStylePainter>
#include <QtWidgets/QStyledItemDelegate>

#include "toolkit/FileMask.h"

namespace {

// Texts are byte strings; on Linux the system's code page is UTF-8, and so is Qt's
// local 8-bit encoding.
QString ToQt(const std::string& text) {
  return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

std::string FromQt(const QString& text) {
  const QByteArray bytes = text.toLocal8Bit();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

int Index(ControlId id) {
  return static_cast<int>(id);
}

constexpr int kFormStretch = 80;
constexpr int kCaptionInset = 8;  // a group box's caption from its sides
constexpr int kCaptionPad = 2;    // the frame line cleared on either side of the caption

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

// The widget's font narrowed until every text fits the room, but never below three
// fifths of the form's width: what the Windows toolkit does for its controls.
void FitFont(QWidget& widget, const QFont& form, const QStringList& texts, int room) {
  QFont font = form;
  for (int stretch = kFormStretch; stretch >= kFormStretch * 3 / 5; --stretch) {
    font.setStretch(stretch);
    const QFontMetrics metrics(font);
    int widest = 0;
    for (const QString& text : texts) widest = std::max(widest, metrics.horizontalAdvance(text));
    if (widest <= room) break;
  }
  if (widget.font() != font) widget.setFont(font);
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

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  char last = directory.back();
  return (last == '/' || last == '\\') ? directory + name : directory + "/" + name;
}

// A sorted Windows list box orders without regard to case (punctuation such as '_'
// before the letters, as lower case gives).
std::string Folded(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool ListBoxLess(const std::string& a, const std::string& b) {
  const std::string fa = Folded(a), fb = Folded(b);
  return fa != fb ? fa < fb : a < b;
}

std::vector<std::string> MatchingFiles(const std::string& directory, const std::string& mask) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
    std::string name = entry.path().filename().string();
    if (entry.is_regular_file(ec) && MatchesFileMask(name, mask)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end(), ListBoxLess);
  return names;
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

[[noreturn]] void ListIndexError() {
  throw std::out_of_range("List index out of bounds");
}

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

namespace qtk {

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
  explicit Panel(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setLineWidth(1);
  }
  void SetCaption(const QString& caption) {
    caption_ = caption;
    update();
  }

 protected:
  void paintEvent(QPaintEvent* event) override {
    QFrame::paintEvent(event);
    if (caption_.isEmpty()) return;
    QPainter painter(this);
    painter.drawText(contentsRect(), Qt::AlignCenter, caption_);
  }

 private:
  QString caption_;
};

// A group box whose caption sits on its frame line, as in Windows: its children start
// 16 pixels down, under a caption that Qt would otherwise set on top of them.
class GroupBox : public QGroupBox {
 public:
  using QGroupBox::QGroupBox;

 protected:
  void paintEvent(QPaintEvent*) override {
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

// The loop ends on a quit request or on the main window's close, never because the
// last visible window (a start-up dialog) went away.
QtToolkit::QtToolkit() {
  QApplication::setQuitOnLastWindowClosed(false);
  InstallWaitHook(this);
}

QtToolkit::~QtToolkit() {
  if (InstalledWaitHook() == this) InstallWaitHook(nullptr);
  SetBusyCursor(false);
  window_.reset();
}

void QtToolkit::SetApplicationTitle(const std::string& title) {
  title_ = title;
  // The name only; a display name would be appended to every window title.
  QCoreApplication::setApplicationName(ToQt(title));
}

QWidget* QtToolkit::Widget(ControlId control) const {
  return widgets_[Index(control)];
}

QWidget& QtToolkit::Require(ControlId control) const {
  QWidget* widget = Widget(control);
  if (!widget) throw std::logic_error("The window has no such control");
  return *widget;
}

QComboBox& QtToolkit::Combo() const {
  if (!combo_) throw std::logic_error("The window has no combo box");
  return *combo_;
}

qtk::FileList& QtToolkit::Files() const {
  if (!files_) throw std::logic_error("The window has no file list box");
  return *files_;
}

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

// While a drive command is outstanding: paint, answer the window system (its pings,
// exposures, the close request, which the window refuses), drop the user's input.
void QtToolkit::KeepAlive() {
  InputDrop drop;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtToolkit::MainWindowClosed() {
  windowClosed_ = true;
  if (loop_) loop_->exit(0);
}

int QtToolkit::RunMessageLoop() {
  if (!window_ || quitPosted_ || windowClosed_) return 0;
  window_->show();
  QEventLoop loop;
  loop_ = &loop;
  if (!quitPosted_ && !windowClosed_) loop.exec();
  loop_ = nullptr;
  return 0;
}

void QtToolkit::PostQuit() {
  quitPosted_ = true;
  if (loop_) loop_->exit(0);
}

void QtToolkit::CloseMainWindow() {
  if (window_) window_->close();
  MainWindowClosed();
}

void QtToolkit::SetText(ControlId control, const std::string& text) {
  QWidget& widget = Require(control);
  const QString value = ToQt(text);
  texts_[Index(control)] = text;
  switch (kinds_[Index(control)]) {
    case ControlKind::Form:
      // "[*]" is Qt's placeholder for the modified mark; doubled, it shows as written.
      widget.setWindowTitle(
          QString(value).replace(QStringLiteral("[*]"), QStringLiteral("[*][*]")));
      break;
    case ControlKind::Panel:
      static_cast<qtk::Panel&>(widget).SetCaption(value);
      break;
    case ControlKind::Label:
      static_cast<QLabel&>(widget).setText(value);
      break;
    case ControlKind::ComboBox:
      static_cast<QComboBox&>(widget).setEditText(value);
      break;
    case ControlKind::GroupBox:
      static_cast<QGroupBox&>(widget).setTitle(value);
      // Read out as the status it shows, as Windows reads a group box by its caption.
      widget.setAccessibleName(value.isEmpty() ? QStringLiteral("Status") : value);
      break;
    case ControlKind::Button:
      static_cast<QPushButton&>(widget).setText(value);
      break;
    case ControlKind::FileListBox:
    case ControlKind::ProgressBar:
      break;  // kept, not shown
  }
  FitText(control);
}

// The texts a control shows on one line, and the pixels it has for them.
QStringList QtToolkit::OneLineTexts(ControlId control, int* room) const {
  QWidget& widget = Require(control);
  switch (kinds_[Index(control)]) {
    case ControlKind::Label:
      *room = static_cast<QLabel&>(widget).contentsRect().width();
      return {static_cast<QLabel&>(widget).text()};
    case ControlKind::GroupBox:
      *room = widget.width() - 2 * (kCaptionInset + kCaptionPad);
      return {static_cast<QGroupBox&>(widget).title()};
    case ControlKind::Button:
      *room = widget.width() - 2 * widget.style()->pixelMetric(QStyle::PM_ButtonMargin);
      return {static_cast<QPushButton&>(widget).text()};
    case ControlKind::ComboBox: {
      QStyleOptionComboBox option;
      option.initFrom(combo_);
      option.editable = true;
      option.frame = combo_->hasFrame();
      const QRect field = combo_->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                          QStyle::SC_ComboBoxEditField, combo_);
      // The edit field keeps 2 pixels either side and a cursor after the text.
      *room = field.width() - 2 * 2 - 2;
      QStringList texts{combo_->currentText()};
      for (int i = 0; i < combo_->count(); ++i) texts << combo_->itemText(i);
      return texts;
    }
    default:
      *room = 0;
      return {};
  }
}

// Our font is wider than the one the window was designed with: a control whose text
// would not fit gets it narrowed, as the Windows toolkit does.
void QtToolkit::FitText(ControlId control) {
  int room = 0;
  const QStringList texts = OneLineTexts(control, &room);
  if (!texts.isEmpty() && room > 0) FitFont(Require(control), formFont_, texts, room);
}

std::string QtToolkit::GetText(ControlId control) {
  QWidget& widget = Require(control);
  switch (kinds_[Index(control)]) {
    case ControlKind::Label:
      return FromQt(static_cast<QLabel&>(widget).text());
    case ControlKind::ComboBox:
      return FromQt(static_cast<QComboBox&>(widget).currentText());
    case ControlKind::GroupBox:
      return FromQt(static_cast<QGroupBox&>(widget).title());
    case ControlKind::Button:
      return FromQt(static_cast<QPushButton&>(widget).text());
    default:
      return texts_[Index(control)];
  }
}

void QtToolkit::SetVisible(ControlId control, bool visible) {
  Require(control).setVisible(visible);
}

void QtToolkit::SetEnabled(ControlId control, bool enabled) {
  Require(control).setEnabled(enabled);
}

void QtToolkit::Repaint(ControlId control) {
  Require(control).repaint();
}

// Inserting and deleting keep the selected index as a number and the edit text as it
// is; Qt would otherwise follow the selected item or select the first one added.
void QtToolkit::ChangeComboItems(const std::function<void(QComboBox&)>& change) {
  QComboBox& combo = Combo();
  const int index = combo.currentIndex();
  const QString text = combo.currentText();
  const QSignalBlocker blocker(&combo);
  change(combo);
  combo.setCurrentIndex(index < combo.count() ? index : -1);
  combo.setEditText(text);
  FitText(ControlId::ComboBox);
}

void QtToolkit::ComboAdd(const std::string& text) {
  ChangeComboItems([&](QComboBox& combo) { combo.addItem(ToQt(text)); });
}

void QtToolkit::ComboInsert(int index, const std::string& text) {
  if (index < 0 || index > ComboCount()) ListIndexError();
  ChangeComboItems([&](QComboBox& combo) { combo.insertItem(index, ToQt(text)); });
}

void QtToolkit::ComboDelete(int index) {
  if (index < 0 || index >= ComboCount()) ListIndexError();
  ChangeComboItems([&](QComboBox& combo) { combo.removeItem(index); });
}

int QtToolkit::ComboCount() {
  return Combo().count();
}

void QtToolkit::ComboSetIndex(int index) {
  QComboBox& combo = Combo();
  const QSignalBlocker blocker(&combo);
  combo.setCurrentIndex(index >= 0 && index < combo.count() ? index : -1);
}

int QtToolkit::ComboIndex() {
  return Combo().currentIndex();
}

void QtToolkit::FileListSetDirectory(const std::string& directory) {
  fileDirectory_ = directory;
  FileListUpdate();
}

void QtToolkit::FileListSetMask(const std::string& mask) {
  fileMask_ = mask;
}

void QtToolkit::FileListUpdate() {
  qtk::FileList& list = Files();
  const QSignalBlocker blocker(&list);
  list.clear();
  for (const std::string& name :
       MatchingFiles(fileDirectory_, fileMask_.empty() ? "*.*" : fileMask_)) {
    auto* item = new QListWidgetItem(ToQt(name), &list);
    item->setData(Qt::UserRole, QByteArray(name.data(), static_cast<qsizetype>(name.size())));
  }
  list.setCurrentRow(-1);
}

std::string QtToolkit::FileListSelectedPath() {
  const QList<QListWidgetItem*> selected = Files().selectedItems();
  if (selected.isEmpty()) return "";
  const QByteArray name = selected.front()->data(Qt::UserRole).toByteArray();
  return JoinPath(fileDirectory_,
                  std::string(name.constData(), static_cast<std::size_t>(name.size())));
}

// The position is kept as the program set it; the bar shows it within its range.
void QtToolkit::ShowProgress() {
  if (!progress_) return;
  if (progressMax_ > progressMin_) {
    progress_->setRange(progressMin_, progressMax_);
    progress_->setValue(std::clamp(progressPosition_, progressMin_, progressMax_));
  } else {
    progress_->setRange(0, 1);  // an empty range would make Qt animate a busy bar
    progress_->setValue(0);
  }
}

void QtToolkit::ProgressSetMin(int value) {
  progressMin_ = value;
  ShowProgress();
}

void QtToolkit::ProgressSetMax(int value) {
  progressMax_ = value;
  ShowProgress();
}

void QtToolkit::ProgressSetStep(int value) {
  progressStep_ = value;
}

void QtToolkit::ProgressSetPosition(int value) {
  progressPosition_ = std::clamp(value, progressMin_, std::max(progressMin_, progressMax_));
  ShowProgress();
}

void QtToolkit::ProgressStepIt() {
  ProgressSetPosition(progressPosition_ + progressStep_);
}

ModalResult QtToolkit::RunBox(int icon, const QString& title, const std::string& text,
                              DialogButtons buttons) {
  QMessageBox box(static_cast<QMessageBox::Icon>(icon), title, ToQt(text), QMessageBox::NoButton,
                  window_.get());
  box.setTextFormat(Qt::PlainText);
  if (buttons == DialogButtons::Ok) {
    box.setDefaultButton(box.addButton(QMessageBox::Ok));
    box.exec();
    return ModalResult::Ok;
  }
  QAbstractButton* yes = box.addButton(QMessageBox::Yes);
  QAbstractButton* no = box.addButton(QMessageBox::No);
  box.setDefaultButton(static_cast<QPushButton*>(yes));
  box.setEscapeButton(no);
  box.exec();
  // Closed any other way than by Yes: the user did not agree.
  return box.clickedButton() == yes ? ModalResult::Yes : ModalResult::No;
}

ModalResult QtToolkit::MessageDialog(const std::string& text, DialogKind kind,
                                     DialogButtons buttons) {
  static const QMessageBox::Icon icons[] = {QMessageBox::Warning, QMessageBox::Critical,
                                            QMessageBox::Question};
  static const char* const titles[] = {"Warning", "Error", "Confirm"};
  const int k = static_cast<int>(kind);
  return RunBox(icons[k], QString::fromLatin1(titles[k]), text, buttons);
}

void QtToolkit::ShowMessage(const std::string& text) {
  RunBox(QMessageBox::NoIcon, ToQt(title_), text, DialogButtons::Ok);
}

void QtToolkit::ShowException(const std::string& message) {
  RunBox(QMessageBox::Critical, ToQt(title_), message, DialogButtons::Ok);
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
