#include "engine/Engine.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "app/FlashForm.h"
#include "app/Program.h"
#include "engine/PayloadCheck.h"
#include "package/FlashPayload.h"
#include "toolkit/remote/RemoteToolkit.h"

namespace {

int Say(remote::Channel& window, int code) {
  remote::Message exit;
  exit.op = remote::Op::Exit;
  exit.n[0] = code;
  window.Send(exit);
  return code;
}

int WindowLost(const std::string& why) {
  std::fprintf(stderr, "korvel-flash-engine: %s\n", why.c_str());
  return kEngineWindowLost;
}

// Runs the program against the window; the record stays in use until it ends.
int RunProgram(remote::Channel& window, const FlashPayloadRecord& record) {
  remote::RemoteToolkit toolkit(window);
  InstallToolkit(&toolkit);
  int code;
  try {
    std::string refusal = PayloadRefusal(record);
    if (!refusal.empty()) {
      toolkit.MessageDialog(refusal, DialogKind::Error, DialogButtons::Ok);
      code = Say(window, kEngineRefused);
    } else {
      UsePayload(&record);
      code = Say(window, ProgramMain());
    }
  } catch (const remote::WindowLost& lost) {
    Application.Abandon(FlashForm);
    FlashForm = nullptr;
    code = WindowLost(lost.why);
  }
  UsePayload(nullptr);
  InstallToolkit(nullptr);
  return code;
}

}  // namespace

int RunEngine(remote::Channel& window) {
  remote::Message hello;
  hello.op = remote::Op::Hello;
  hello.n[0] = remote::kProtocolVersion;
  if (!window.Send(hello)) return WindowLost("the window did not take the greeting");
  remote::Message in;
  std::string why;
  if (!window.Receive(&in, &why)) return WindowLost("no payload: " + why);
  if (in.op != remote::Op::Payload) return WindowLost("the window sent no payload first");
  // Its own copy, aligned for the record: the message's bytes are only text.
  auto record = std::make_unique<FlashPayloadRecord>();
  std::memcpy(record.get(), in.text.data(), sizeof *record);
  return RunProgram(window, *record);
}
