// The user's side of a flash through the engine: starts it (through pkexec), hands it the
// flash program's payload, serves its window, and afterwards says only what it knows.
#pragma once

#include <string>
#include <vector>

#include "package/FlashPayload.h"
#include "platform/linux/LinuxRights.h"
#include "toolkit/Toolkit.h"

namespace remote {

// The box after the engine's run, empty when there is nothing to add to what the window
// showed. `status` is waitpid's for the engine (or pkexec), -1 when it never started.
struct EngineEnd {
  bool started = false;   // the engine greeted the window
  bool finished = false;  // and its program ran to its end
  int exitCode = 0;       // finished: what the engine said it ended with
  int status = -1;
  std::string detail;
};
std::string EngineEndText(const EngineEnd& end, const RightsPlan& plan, const Elevation& elevation);

// Starts the engine with `command`, hands it the payload and serves it with the local
// toolkit until it ends.
EngineEnd ServeEngine(const std::vector<std::string>& command, Toolkit& local, WaitHook* hook,
                      const FlashPayloadRecord& payload);

// Runs the flash program through the engine with the local toolkit as its window; the
// toolkit's wait hook keeps the window alive while the engine works.
void FlashThroughEngine(const RightsPlan& plan, const Elevation& elevation, Toolkit& local,
                        WaitHook* hook, const FlashPayloadRecord& payload);

}  // namespace remote
