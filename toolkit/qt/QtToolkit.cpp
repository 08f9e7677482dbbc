// The window's life and loop, and what the program does with its controls: texts,
// the combo box, the file list and the progress bar.
#include "toolkit/qt/QtToolkit.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <vector>

#include <QtCore/QEventLoop>
#include <QtCore/QSignalBlocker>
#include <QtWidgets/QApplication>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>

#include "toolkit/FileMask.h"
#include "toolkit/qt/QtToolkitParts.h"

using qtk::FromQt;
using qtk::Index;
using qtk::ToQt;

namespace {

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

[[noreturn]] void ListIndexError() {
  throw std::out_of_range("List index out of bounds");
}

}  // namespace

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
