// The window's end of the pipe: it does what the engine asks with the user's own
// toolkit, answers, and sends the form's events to the engine. It runs with the user's
// rights; the engine never gets a window.
#pragma once

#include <string>

#include "package/FlashPayload.h"
#include "toolkit/Toolkit.h"
#include "toolkit/remote/Wire.h"

namespace remote {

struct Outcome {
  enum class End {
    NotStarted,  // no engine answered: nothing can have been sent to a drive
    Finished,    // the engine's program ran to its end
    EndedEarly,  // the engine stopped or broke off after it started
  } end = End::NotStarted;
  int exitCode = 0;    // Finished: the program's exit code
  std::string detail;  // what went wrong, in words
};

class ToolkitServer : public FormEventSink {
 public:
  // `form` is the one form the engine may ask for, by its name.
  ToolkitServer(Channel& channel, Toolkit& local, const FormResource& form)
      : channel_(channel), local_(local), form_(form) {}

  // Waits for the engine, hands it the payload and serves it until it ends.
  Outcome Serve(const FlashPayloadRecord& payload);
  void DispatchEvent(ControlId control, ControlEvent event) override;

 private:
  // Receives and does the engine's calls until a message that is not one: returns it.
  bool Pump(Message* next);
  bool Do(const Message& call);
  bool Answer(std::int32_t number = 0, const std::string& text = "");
  bool Broken(const std::string& why);
  bool Allowed(const Message& call);

  Channel& channel_;
  Toolkit& local_;
  const FormResource& form_;
  bool windowMade_ = false;
  bool looping_ = false;
  std::string broken_;  // why the pipe is no longer used; empty while it is
};

}  // namespace remote
