// The toolkit layer: the window operations the main window's handlers need, and nothing
// more. Implementations: native Win32 controls, Qt Widgets, and a headless recorder for
// tests. One object is installed at start.
#pragma once

#include <string>

#include "toolkit/FormResource.h"

enum class DialogKind { Warning, Error, Confirmation };
enum class DialogButtons { YesNo, Ok };
enum class ModalResult { None, Ok, Yes, No };

// The form's side of the window: the toolkit calls it for every user event.
class FormEventSink {
 public:
  virtual ~FormEventSink() = default;
  virtual void DispatchEvent(ControlId control, ControlEvent event) = 0;
};

class Toolkit {
 public:
  virtual ~Toolkit() = default;

  // Application.
  virtual void SetApplicationTitle(const std::string& title) = 0;
  virtual const std::string& ApplicationTitle() const = 0;
  // Builds the window and its controls, not yet shown.
  virtual void CreateWindowFrom(const FormResource& form, FormEventSink* sink) = 0;
  // Shows the window (unless it was closed or a quit was posted) and runs the message
  // loop until a quit request; returns its exit code.
  virtual int RunMessageLoop() = 0;
  virtual void PostQuit() = 0;
  virtual void CloseMainWindow() = 0;
  // The default handler for an exception that left a handler: a modal error box.
  virtual void ShowException(const std::string& message) = 0;

  // Any control (ControlId::Form is the window itself).
  virtual void SetText(ControlId control, const std::string& text) = 0;
  virtual std::string GetText(ControlId control) = 0;
  virtual void SetVisible(ControlId control, bool visible) = 0;
  virtual void SetEnabled(ControlId control, bool enabled) = 0;
  virtual void Repaint(ControlId control) = 0;

  // The combo box.
  virtual void ComboAdd(const std::string& text) = 0;
  virtual void ComboInsert(int index, const std::string& text) = 0;
  virtual void ComboDelete(int index) = 0;
  virtual int ComboCount() = 0;
  virtual void ComboSetIndex(int index) = 0;  // -1 selects none; raises no event
  virtual int ComboIndex() = 0;               // -1 when none, also after typing

  // The file list box.
  virtual void FileListSetDirectory(const std::string& directory) = 0;
  virtual void FileListSetMask(const std::string& mask) = 0;
  virtual void FileListUpdate() = 0;
  virtual std::string FileListSelectedPath() = 0;  // empty when none

  // The progress bar.
  virtual void ProgressSetMin(int value) = 0;
  virtual void ProgressSetMax(int value) = 0;
  virtual void ProgressSetStep(int value) = 0;
  virtual void ProgressSetPosition(int value) = 0;
  virtual int ProgressPosition() = 0;
  virtual void ProgressStepIt() = 0;

  // Modal dialogs, owned by the window.
  virtual ModalResult MessageDialog(const std::string& text, DialogKind kind,
                                    DialogButtons buttons) = 0;
  // Plain box: one OK button, titled with the application title.
  virtual void ShowMessage(const std::string& text) = 0;
  virtual void SetBusyCursor(bool busy) = 0;
};

Toolkit& Tk();
void InstallToolkit(Toolkit* toolkit);
