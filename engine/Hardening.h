// What the engine does first, as root, before it reads a byte from the window: nothing it
// was handed by the user's side (arguments, environment, descriptors, folder, rights it
// does not need) stays in effect.
#pragma once

#include <string>

// The only environment the engine keeps: a search path of system folders, for the
// restart request's systemctl.
constexpr const char* kEnginePath = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

// Empties the environment but for kEnginePath, moves to "/", closes every descriptor but
// the pipe's (0, 1) and the error output (2), ignores the signals a terminal or a gone
// window would send, forbids gaining rights by exec, and, as root, keeps of its
// capabilities only CAP_SYS_RAWIO. Returns what failed; empty when all held.
std::string HardenEngineProcess();
