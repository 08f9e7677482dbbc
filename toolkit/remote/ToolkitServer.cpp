#include "toolkit/remote/ToolkitServer.h"

namespace remote {

namespace {

ControlId Control(const Message& m) {
  return static_cast<ControlId>(m.n[0]);
}

}  // namespace

bool ToolkitServer::Broken(const std::string& why) {
  if (broken_.empty()) broken_ = why;
  // A window left open on a dead engine would wait for ever for its answers.
  if (windowMade_) local_.PostQuit();
  return false;
}

bool ToolkitServer::Answer(std::int32_t number, const std::string& text) {
  Message answer;
  answer.n[0] = number;
  answer.text = text.size() > kMaxText ? text.substr(0, kMaxText) : text;
  return channel_.Send(answer) || Broken("the engine did not take an answer");
}

// What the local toolkit may be asked now: controls only once the window exists, one
// message loop, and list entries that are there.
bool ToolkitServer::Allowed(const Message& m) {
  switch (m.op) {
    case Op::SetApplicationTitle:
    case Op::MessageDialog:
    case Op::ShowMessage:
    case Op::ShowException:
    case Op::PostQuit:
      return true;
    case Op::CreateWindow:
      return !windowMade_ && m.text == form_.name;
    case Op::RunMessageLoop:
      return windowMade_ && !looping_;
    default:
      break;
  }
  if (!windowMade_) return false;
  int index = m.n[0];
  switch (m.op) {
    case Op::ComboInsert:
      return index >= 0 && index <= local_.ComboCount();
    case Op::ComboDelete:
      return index >= 0 && index < local_.ComboCount();
    case Op::ComboSetIndex:
      return index >= -1 && index < local_.ComboCount();
    default:
      return true;
  }
}

bool ToolkitServer::Do(const Message& m) {
  if (!Allowed(m)) return Broken("the engine asked for what the window cannot do now");
  switch (m.op) {
    case Op::SetApplicationTitle:
      local_.SetApplicationTitle(m.text);
      break;
    case Op::CreateWindow:
      local_.CreateWindowFrom(form_, this);
      windowMade_ = true;
      break;
    case Op::RunMessageLoop: {
      looping_ = true;
      int code = local_.RunMessageLoop();
      looping_ = false;
      return broken_.empty() && Answer(code);
    }
    case Op::PostQuit:
      local_.PostQuit();
      break;
    case Op::CloseMainWindow:
      local_.CloseMainWindow();
      break;
    case Op::ShowException:
      local_.ShowException(m.text);
      break;
    case Op::SetText:
      local_.SetText(Control(m), m.text);
      break;
    case Op::GetText:
      return Answer(0, local_.GetText(Control(m)));
    case Op::SetVisible:
      local_.SetVisible(Control(m), m.n[1] != 0);
      break;
    case Op::SetEnabled:
      local_.SetEnabled(Control(m), m.n[1] != 0);
      break;
    case Op::Repaint:
      local_.Repaint(Control(m));
      break;
    case Op::ComboAdd:
      local_.ComboAdd(m.text);
      break;
    case Op::ComboInsert:
      local_.ComboInsert(m.n[0], m.text);
      break;
    case Op::ComboDelete:
      local_.ComboDelete(m.n[0]);
      break;
    case Op::ComboCount:
      return Answer(local_.ComboCount());
    case Op::ComboSetIndex:
      local_.ComboSetIndex(m.n[0]);
      break;
    case Op::ComboIndex:
      return Answer(local_.ComboIndex());
    case Op::FileListSetDirectory:
      local_.FileListSetDirectory(m.text);
      break;
    case Op::FileListSetMask:
      local_.FileListSetMask(m.text);
      break;
    case Op::FileListUpdate:
      local_.FileListUpdate();
      break;
    case Op::FileListSelectedPath:
      return Answer(0, local_.FileListSelectedPath());
    case Op::ProgressSetMin:
      local_.ProgressSetMin(m.n[0]);
      break;
    case Op::ProgressSetMax:
      local_.ProgressSetMax(m.n[0]);
      break;
    case Op::ProgressSetStep:
      local_.ProgressSetStep(m.n[0]);
      break;
    case Op::ProgressSetPosition:
      local_.ProgressSetPosition(m.n[0]);
      break;
    case Op::ProgressPosition:
      return Answer(local_.ProgressPosition());
    case Op::ProgressStepIt:
      local_.ProgressStepIt();
      break;
    case Op::MessageDialog: {
      ModalResult result = local_.MessageDialog(m.text, static_cast<DialogKind>(m.n[0]),
                                                static_cast<DialogButtons>(m.n[1]));
      return Answer(static_cast<std::int32_t>(result));
    }
    case Op::ShowMessage:
      local_.ShowMessage(m.text);
      break;
    case Op::SetBusyCursor:
      local_.SetBusyCursor(m.n[0] != 0);
      break;
    default:
      return Broken("the engine sent an operation out of turn");
  }
  return Answer();
}

bool ToolkitServer::Pump(Message* next) {
  for (;;) {
    if (!broken_.empty()) return false;
    Message in;
    std::string why;
    if (!channel_.Receive(&in, &why)) return Broken(why);
    if (in.op == Op::Return || in.op == Op::Exit || in.op == Op::Hello) {
      *next = std::move(in);
      return true;
    }
    if (!Do(in)) return false;
  }
}

void ToolkitServer::DispatchEvent(ControlId control, ControlEvent event) {
  if (!broken_.empty()) return;
  Message m;
  m.op = Op::DispatchEvent;
  m.n[0] = static_cast<std::int32_t>(control);
  m.n[1] = static_cast<std::int32_t>(event);
  if (!channel_.Send(m)) {
    Broken("the engine did not take an event");
    return;
  }
  Message answer;
  if (Pump(&answer) && answer.op != Op::Return) Broken("the engine ended inside an event");
}

Outcome ToolkitServer::Serve(const FlashPayloadRecord& payload) {
  Outcome outcome;
  Message first;
  std::string why;
  if (!channel_.Receive(&first, &why) || first.op != Op::Hello) {
    outcome.detail = why.empty() ? "it did not greet the window" : why;
    return outcome;
  }
  outcome.end = Outcome::End::EndedEarly;
  Message record;
  record.op = Op::Payload;
  record.text.assign(reinterpret_cast<const char*>(&payload), sizeof payload);
  Message last;
  if (!channel_.Send(record)) Broken("the engine did not take the flash program's payload");
  if (!Pump(&last)) {
    outcome.detail = broken_;
  } else if (last.op != Op::Exit) {
    outcome.detail = "the engine answered a call that was never made";
  } else {
    outcome.end = Outcome::End::Finished;
    outcome.exitCode = last.n[0];
  }
  return outcome;
}

}  // namespace remote
