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
    // The user acts only in the message loop, one handler at a time, as in the window's
    // own process: an event inside any other call would start a handler inside a handler.
    if (in.op != Op::DispatchEvent || !sink_ || op != Op::RunMessageLoop || closing_)
      Lost("the window sent an operation out of turn");
    if (static_cast<ControlId>(in.n[0]) == ControlId::ComboBox) comboIndexKnown_ = false;
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

void RemoteToolkit::PostQuit() {
  closing_ = true;
  Call(Op::PostQuit);
}

void RemoteToolkit::CloseMainWindow() {
  closing_ = true;
  Call(Op::CloseMainWindow);
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

void RemoteToolkit::ComboAdd(const std::string& text) {
  Call(Op::ComboAdd, {}, text);
  ++comboCount_;
}

// Inserting and deleting keep the selection's number while it is in the list.
void RemoteToolkit::ComboInsert(int index, const std::string& text) {
  Call(Op::ComboInsert, {index}, text);
  ++comboCount_;
}

void RemoteToolkit::ComboDelete(int index) {
  Call(Op::ComboDelete, {index});
  if (--comboCount_ <= comboIndex_) comboIndex_ = -1;
}

int RemoteToolkit::ComboCount() {
  if (Call(Op::ComboCount).n[0] != comboCount_) Lost("the window counted a list it was not given");
  return comboCount_;
}

void RemoteToolkit::ComboSetIndex(int index) {
  Call(Op::ComboSetIndex, {index});
  comboIndex_ = index >= 0 && index < comboCount_ ? index : -1;
  comboIndexKnown_ = true;
}

// The program takes the selection as a place in its own drive list.
int RemoteToolkit::ComboIndex() {
  int index = Call(Op::ComboIndex).n[0];
  if (comboIndexKnown_ ? index != comboIndex_ : index < -1 || index >= comboCount_)
    Lost("the window selected an entry the list does not have");
  comboIndex_ = index;
  comboIndexKnown_ = true;
  return index;
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
