// The flash engine's run, whatever drives it talks to: it greets the window, takes the
// flash program's payload over the pipe, checks it, and runs the program's start-up
// checks, drive list and flash sequence with the window as its toolkit.
#pragma once

#include "platform/Platform.h"
#include "toolkit/remote/Wire.h"

// Exit codes: the program ran (0), the payload was refused (2), the window was lost (3).
constexpr int kEngineRefused = 2;
constexpr int kEngineWindowLost = 3;

// The platform is installed by the caller. Returns the exit code.
int RunEngine(remote::Channel& window);
