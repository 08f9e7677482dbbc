#include "toolkit/remote/RemoteToolkit.h"

namespace remote {

void RemoteToolkit::Lost(const std::string& why) {
  if (lost_.empty()) lost_ = why;
  throw WindowLost{lost_};
}

Message RemoteToolkit::Call(Op op, std::initializer_list<std::int32_t> numbers,
                            const std::string& text) {
  // Once lost, every later call ends the run too, even one made while unwinding.
  if (!lost_.empty()) Lost(lost_);
  Message call;
  call.op = op;
  int i = 0;
  for (std::int32_t n : numbers) call.n[i++] = n;
  call.text = text;
  if (!channel_.Send(call)) Lost("the window did not take a message");
  for (;;) {
    Message in;
    std::string why;
    if (!channel_.Receive(&in, &why)) Lost("the window's end: " + why);
    if (in.op == Op::Return) return in;
    if (in.op != Op::DispatchEvent || !sink_) Lost("the window sent an operation out of turn");
    sink_->DispatchEvent(static_cast<ControlId>(in.n[0]), static_cast<ControlEvent>(in.n[1]));
    if (!channel_.Send(Message{})) Lost("the window did not take a message");
  }
}

void RemoteToolkit::SetApplicationTitle(const std::string& title) {
  title_ = title;
  Call(Op::SetApplicationTitle, {}, title);
}

// The window builds the form from its own copy of the resource: only the name crosses.
void RemoteToolkit::CreateWindowFrom(const FormResource& form, FormEventSink* sink) {
  sink_ = sink;
  Call(Op::CreateWindow, {}, form.name);
}

int RemoteToolkit::RunMessageLoop() {
  return Call(Op::RunMessageLoop).n[0];
}

void RemoteToolkit::SetText(ControlId control, const std::string& text) {
  Call(Op::SetText, {static_cast<std::int32_t>(control)}, text);
}

std::string RemoteToolkit::GetText(ControlId control) {
  return Call(Op::GetText, {static_cast<std::int32_t>(control)}).text;
}

void RemoteToolkit::SetVisible(ControlId control, bool visible) {
  Call(Op::SetVisible, {static_cast<std::int32_t>(control), visible});
}

void RemoteToolkit::SetEnabled(ControlId control, bool enabled) {
  Call(Op::SetEnabled, {static_cast<std::int32_t>(control), enabled});
}

void RemoteToolkit::Repaint(ControlId control) {
  Call(Op::Repaint, {static_cast<std::int32_t>(control)});
}

void RemoteToolkit::ComboInsert(int index, const std::string& text) {
  Call(Op::ComboInsert, {index}, text);
}

void RemoteToolkit::FileListSetDirectory(const std::string& directory) {
  Call(Op::FileListSetDirectory, {}, directory);
}

ModalResult RemoteToolkit::MessageDialog(const std::string& text, DialogKind kind,
                                         DialogButtons buttons) {
  int answer = Call(Op::MessageDialog,
                    {static_cast<std::int32_t>(kind), static_cast<std::int32_t>(buttons)}, text)
                   .n[0];
  if (answer < 0 || answer > static_cast<int>(ModalResult::No))
    Lost("the window answered a dialog with no button of it");
  return static_cast<ModalResult>(answer);
}

}  // namespace remote
