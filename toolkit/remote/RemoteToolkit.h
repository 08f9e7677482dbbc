// The engine's toolkit: every window operation goes over the pipe to the user's window,
// which does it and answers. While it waits for an answer the window may send the
// form's events, which run here as they would in the window's own process.
#pragma once

#include <string>

#include "toolkit/Toolkit.h"
#include "toolkit/remote/Wire.h"

namespace remote {

// Thrown when the window is gone or broke the protocol. Deliberately not a
// std::exception: no handler of the program catches it and goes on, so no further
// drive command follows.
struct WindowLost {
  std::string why;
};

class RemoteToolkit : public Toolkit {
 public:
  explicit RemoteToolkit(Channel& channel) : channel_(channel) {}

  void SetApplicationTitle(const std::string& title) override;
  const std::string& ApplicationTitle() const override { return title_; }
  void CreateWindowFrom(const FormResource& form, FormEventSink* sink) override;
  int RunMessageLoop() override;
  void PostQuit() override;
  void CloseMainWindow() override;
  void ShowException(const std::string& message) override { Call(Op::ShowException, {}, message); }

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

  void FileListSetDirectory(const std::string& d) override;
  void FileListSetMask(const std::string& mask) override { Call(Op::FileListSetMask, {}, mask); }
  void FileListUpdate() override { Call(Op::FileListUpdate); }
  std::string FileListSelectedPath() override { return Call(Op::FileListSelectedPath).text; }

  void ProgressSetMin(int value) override { Call(Op::ProgressSetMin, {value}); }
  void ProgressSetMax(int value) override { Call(Op::ProgressSetMax, {value}); }
  void ProgressSetStep(int value) override { Call(Op::ProgressSetStep, {value}); }
  void ProgressSetPosition(int value) override { Call(Op::ProgressSetPosition, {value}); }
  int ProgressPosition() override { return Call(Op::ProgressPosition).n[0]; }
  void ProgressStepIt() override { Call(Op::ProgressStepIt); }

  ModalResult MessageDialog(const std::string& text, DialogKind kind,
                            DialogButtons buttons) override;
  void ShowMessage(const std::string& text) override { Call(Op::ShowMessage, {}, text); }
  void SetBusyCursor(bool busy) override { Call(Op::SetBusyCursor, {busy}); }

 private:
  // Sends the call and serves the window's events until its answer comes.
  Message Call(Op op, std::initializer_list<std::int32_t> numbers = {},
               const std::string& text = "");
  [[noreturn]] void Lost(const std::string& why);

  Channel& channel_;
  std::string title_;
  FormEventSink* sink_ = nullptr;
  std::string lost_;      // why the window was lost; empty while it is there
  bool closing_ = false;  // the program ended its window: the user acts no more
  // The drive list as this end made it: the window's answers about it must fit. The
  // selection is the user's to change, and known again once the window has said it.
  int comboCount_ = 0;
  int comboIndex_ = -1;
  bool comboIndexKnown_ = true;
};

}  // namespace remote
