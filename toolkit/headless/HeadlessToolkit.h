// A toolkit without a screen, for tests: it keeps the state of every control, records
// every change and every dialog, and answers dialogs from a script.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "toolkit/Toolkit.h"

struct DialogRecord {
  enum class Type { Message, Plain, Exception };
  Type type;
  DialogKind kind;        // Message only
  DialogButtons buttons;  // Message only
  std::string title;
  std::string text;
  ModalResult answer;
};

struct HeadlessControl {
  std::string text;
  bool visible = true;
  bool enabled = true;
  int repaints = 0;
};

class HeadlessToolkit : public Toolkit {
 public:
  // Script: answers for the next Yes/No dialogs, in order. An unscripted Yes/No dialog
  // is answered No and counted.
  std::deque<ModalResult> answers;
  int unscriptedDialogs = 0;
  // Called inside a modal dialog, before it is answered (a user clicking in the window
  // behind a box that is not modal would do this).
  std::function<void(const DialogRecord&)> onDialog;
  // What the user does while the message loop runs; the window is then closed.
  std::vector<std::function<void()>> userActions;

  // Recorded.
  std::vector<DialogRecord> dialogs;
  std::vector<std::string> log;
  HeadlessControl controls[kControlCount];
  std::vector<std::string> comboItems;
  int comboIndex = -1;
  std::string fileDirectory, fileMask;
  std::vector<std::string> files;  // as listed by the last update
  int fileIndex = -1;
  int progressMin = 0, progressMax = 100, progressStep = 10, progressPosition = 0;
  std::vector<int> progressTrace;  // every position the bar took
  bool busyCursor = false;
  bool quitPosted = false;
  bool windowClosed = false;
  bool windowCreated = false;
  bool windowShown = false;
  const FormResource* form = nullptr;

  HeadlessControl& Control(ControlId id) { return controls[static_cast<int>(id)]; }
  // User actions, delivered as the native toolkit would.
  void UserSelectsComboItem(int index);
  void UserTypesIntoCombo(const std::string& text);
  void UserClicksFile(const std::string& name);
  void UserClicksFlashButton();

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
  int ComboCount() override { return static_cast<int>(comboItems.size()); }
  void ComboSetIndex(int index) override;
  int ComboIndex() override { return comboIndex; }

  void FileListSetDirectory(const std::string& directory) override;
  void FileListSetMask(const std::string& mask) override;
  void FileListUpdate() override;
  std::string FileListSelectedPath() override;

  void ProgressSetMin(int value) override;
  void ProgressSetMax(int value) override;
  void ProgressSetStep(int value) override;
  void ProgressSetPosition(int value) override;
  int ProgressPosition() override { return progressPosition; }
  void ProgressStepIt() override;

  ModalResult MessageDialog(const std::string& text, DialogKind kind,
                            DialogButtons buttons) override;
  void ShowMessage(const std::string& text) override;
  void SetBusyCursor(bool busy) override;

 private:
  void Deliver(ControlId control, ControlEvent event);
  void Record(DialogRecord record);
  std::string title_;
  FormEventSink* sink_ = nullptr;
};
