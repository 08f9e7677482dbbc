// The toolkit layer on Qt 6 Widgets: the window built from its form resource with
// absolute geometry, the form's events from the widgets' user signals, modal
// QMessageBox dialogs owned by the window.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QtCore/QPointer>
#include <QtCore/QStringList>
#include <QtGui/QFont>

#include "platform/Platform.h"
#include "toolkit/Toolkit.h"

class QComboBox;
class QEventLoop;
class QLabel;
class QProgressBar;
class QString;
class QWidget;

namespace qtk {
class FileList;
class MainWindow;
}  // namespace qtk

// Needs a QApplication that outlives it. Installs itself as the platform's wait hook.
class QtToolkit : public Toolkit, public WaitHook {
 public:
  QtToolkit();
  ~QtToolkit() override;
  QtToolkit(const QtToolkit&) = delete;
  QtToolkit& operator=(const QtToolkit&) = delete;

  void SetApplicationTitle(const std::string& title) override;
  const std::string& ApplicationTitle() const override { return title_; }
  void CreateWindowFrom(const FormResource& form, FormEventSink* sink) override;
  int RunMessageLoop() override;
  void PostQuit() override;
  void CloseMainWindow() override;
  void ShowException(const std::string& message) override;

  void SetText(ControlId control, const std::string& text) override;
  std::string GetText(ControlId control) override;
  void SetVisible(ControlId control, bool visible) override;
  void SetEnabled(ControlId control, bool enabled) override;
  void Repaint(ControlId control) override;

  void ComboAdd(const std::string& text) override;
  void ComboInsert(int index, const std::string& text) override;
  void ComboDelete(int index) override;
  int ComboCount() override;
  void ComboSetIndex(int index) override;
  int ComboIndex() override;

  void FileListSetDirectory(const std::string& directory) override;
  void FileListSetMask(const std::string& mask) override;
  void FileListUpdate() override;
  std::string FileListSelectedPath() override;

  void ProgressSetMin(int value) override;
  void ProgressSetMax(int value) override;
  void ProgressSetStep(int value) override;
  void ProgressSetPosition(int value) override;
  int ProgressPosition() override { return progressPosition_; }
  void ProgressStepIt() override;

  ModalResult MessageDialog(const std::string& text, DialogKind kind,
                            DialogButtons buttons) override;
  void ShowMessage(const std::string& text) override;
  void SetBusyCursor(bool busy) override;

  void KeepAlive() override;

  // The native widgets, for tests and screenshots; nullptr before the window exists.
  QWidget* Widget(ControlId control) const;
  bool QuitPosted() const { return quitPosted_; }
  bool Running() const { return running_ > 0; }  // a handler runs

 private:
  friend class qtk::MainWindow;
  QWidget* NewWidget(const ControlResource& control, QWidget* parent);
  void BuildControl(const ControlResource& control);
  void AppendInTabOrder(const FormResource& form, ControlId parent,
                        std::vector<QWidget*>& chain) const;
  void SetTabOrder(const FormResource& form);
  void ConnectEvents(const ControlResource& control);
  void Deliver(ControlId control, ControlEvent event);
  void UserTypedIntoCombo(ControlId control, ControlEvent event);
  void ChangeComboItems(const std::function<void(QComboBox&)>& change);
  void MainWindowClosed();
  QStringList OneLineTexts(ControlId control, int* room) const;
  void FitText(ControlId control);
  void ShowProgress();
  ModalResult RunBox(int icon, const QString& title, const std::string& text,
                     DialogButtons buttons);
  QWidget& Require(ControlId control) const;
  QComboBox& Combo() const;
  qtk::FileList& Files() const;

  std::string title_;
  FormEventSink* sink_ = nullptr;
  std::unique_ptr<qtk::MainWindow> window_;
  QPointer<QWidget> widgets_[kControlCount];
  ControlKind kinds_[kControlCount] = {};
  std::string texts_[kControlCount];  // of controls that do not show their text
  QFont formFont_;
  QLabel* label_ = nullptr;
  QComboBox* combo_ = nullptr;
  qtk::FileList* files_ = nullptr;
  QProgressBar* progress_ = nullptr;
  std::string fileDirectory_;
  std::string fileMask_;
  int progressMin_ = 0, progressMax_ = 100, progressStep_ = 10, progressPosition_ = 0;
  bool quitPosted_ = false;
  bool windowClosed_ = false;
  bool busy_ = false;
  int running_ = 0;
  QEventLoop* loop_ = nullptr;
};
