// What the user's window reads from the flash engine: its greeting, its calls, its answers
// to the window's events and its end. The first byte chooses what the user does once the
// window shows (up to three of: FLASH, the combo's first entry, typing into the combo, a
// file), the second the user's Yes and No. The window must end, never act on a control or
// a list entry that is not there, and take only messages that encode back to their bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/FlashFormResource.h"
#include "fuzz/FuzzChannel.h"
#include "fuzz/FuzzProgram.h"
#include "toolkit/remote/ToolkitServer.h"

namespace {

void CheckControl(ControlId control) {
  const int id = static_cast<int>(control);
  if (id < 0 || id >= kControlCount) Finding("a control that is not there: " + std::to_string(id));
}

// The headless window, checking what it is asked before it does it.
class CheckedWindow : public HeadlessToolkit {
 public:
  void CreateWindowFrom(const FormResource& form, FormEventSink* sink) override {
    if (windowCreated) Finding("a second window");
    HeadlessToolkit::CreateWindowFrom(form, sink);
  }
  void SetText(ControlId c, const std::string& text) override {
    CheckControl(c);
    HeadlessToolkit::SetText(c, text);
  }
  std::string GetText(ControlId c) override {
    CheckControl(c);
    return HeadlessToolkit::GetText(c);
  }
  void SetVisible(ControlId c, bool visible) override {
    CheckControl(c);
    HeadlessToolkit::SetVisible(c, visible);
  }
  void SetEnabled(ControlId c, bool enabled) override {
    CheckControl(c);
    HeadlessToolkit::SetEnabled(c, enabled);
  }
  void Repaint(ControlId c) override {
    CheckControl(c);
    HeadlessToolkit::Repaint(c);
  }
  void ComboInsert(int index, const std::string& text) override {
    if (index < 0 || index > ComboCount()) Finding("an insert outside the list");
    HeadlessToolkit::ComboInsert(index, text);
  }
  void ComboDelete(int index) override {
    if (index < 0 || index >= ComboCount()) Finding("a delete outside the list");
    HeadlessToolkit::ComboDelete(index);
  }
  void ComboSetIndex(int index) override {
    if (index < -1 || index >= ComboCount()) Finding("a selection outside the list");
    HeadlessToolkit::ComboSetIndex(index);
  }
  ModalResult MessageDialog(const std::string& text, DialogKind kind,
                            DialogButtons buttons) override {
    if (static_cast<int>(kind) < 0 || static_cast<int>(kind) > 2 ||
        (buttons != DialogButtons::YesNo && buttons != DialogButtons::Ok))
      Finding("a box of no kind");
    return HeadlessToolkit::MessageDialog(text, kind, buttons);
  }
};

void Script(CheckedWindow& window, std::uint8_t actions, std::uint8_t answers) {
  for (int i = 0; i < 8; ++i)
    window.answers.push_back(answers >> i & 1 ? ModalResult::Yes : ModalResult::No);
  for (int i = 0; i < (actions & 3); ++i) {
    switch (actions >> (2 + 2 * i) & 3) {
      case 0:
        window.userActions.push_back([&window] { window.UserClicksFlashButton(); });
        break;
      case 1:
        window.userActions.push_back([&window] { window.UserSelectsComboItem(0); });
        break;
      case 2:
        window.userActions.push_back([&window] { window.UserTypesIntoCombo("QF"); });
        break;
      default:
        window.userActions.push_back([&window] { window.UserClicksFile("QF05.BIN"); });
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  CheckedWindow window;
  Script(window, data[0], data[1]);
  FuzzChannel engine(data + 2, size - 2, remote::Side::Engine);
  bool helloSeen = false, exitSeen = false;
  engine.onReceive = [&](const remote::Message& m) {
    helloSeen = helloSeen || m.op == remote::Op::Hello;
    exitSeen = exitSeen || m.op == remote::Op::Exit;
  };
  remote::ToolkitServer server(engine, window, kFlashFormResource);
  const remote::Outcome outcome = server.Serve(FlashPayload);
  if (outcome.end == remote::Outcome::End::Finished && !exitSeen) Finding("finished, no end said");
  if (outcome.end != remote::Outcome::End::NotStarted && !helloSeen)
    Finding("started, no greeting");
  return 0;
}
