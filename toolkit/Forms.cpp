#include "toolkit/Forms.h"

#include <exception>
#include <vector>

TApplication Application;
TScreen Screen;

namespace {
Toolkit* installedToolkit = nullptr;
}

Toolkit& Tk() {
  if (!installedToolkit) std::terminate();
  return *installedToolkit;
}

void InstallToolkit(Toolkit* toolkit) {
  installedToolkit = toolkit;
}

const ControlResource* FindControl(const FormResource& form, ControlId id) {
  for (std::size_t i = 0; i < form.controlCount; ++i)
    if (form.controls[i].id == id) return &form.controls[i];
  return nullptr;
}

void TForm::Bind(ControlId control, TNotifyEvent handler) {
  handlers_[static_cast<int>(control)] = std::move(handler);
}

void TForm::CreateWindowAndRunOnCreate() {
  Tk().CreateWindowFrom(resource_, this);
  if (OnCreate) Application.Guard([this] { OnCreate(this); });
}

void TForm::RunOnDestroy() {
  if (OnDestroy) Application.Guard([this] { OnDestroy(this); });
}

void TForm::DispatchEvent(ControlId control, ControlEvent) {
  const TNotifyEvent& handler = handlers_[static_cast<int>(control)];
  if (handler) Application.Guard([&] { handler(this); });
}

void TApplication::HandleException(const char* message) {
  Tk().ShowException(message);
}

void TApplication::Guard(const std::function<void()>& body) {
  try {
    body();
  } catch (const std::exception& e) {
    HandleException(e.what());
  } catch (...) {
    HandleException("Unknown exception.");
  }
}

void TApplication::Abandon(TForm* form) {
  // Kept where the leak checker still sees them, to the end of the process.
  static auto* abandoned = new std::vector<TForm*>();
  if (mainForm_) abandoned->push_back(mainForm_);
  if (form && form != mainForm_) abandoned->push_back(form);
  mainForm_ = nullptr;
}

void TApplication::Run() {
  if (!mainForm_) return;
  Tk().RunMessageLoop();
  mainForm_->RunOnDestroy();
  delete mainForm_;
  mainForm_ = nullptr;
}

ModalResult MessageDlg(const std::string& text, DialogKind kind, DialogButtons buttons) {
  return Tk().MessageDialog(text, kind, buttons);
}

void ShowMessage(const std::string& text) {
  Tk().ShowMessage(text);
}
