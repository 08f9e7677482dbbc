// korvel-flash-engine: the only program the polkit action lets pkexec start as root. It has
// no window and takes no arguments; a flash program started by the user hands it its
// payload over standard input and shows what it asks on standard output's other end.
#include <cstdio>

#include "engine/Engine.h"
#include "engine/EnginePlatform.h"
#include "engine/Hardening.h"

int main(int argc, char**) {
  std::string failed = HardenEngineProcess();
  if (!failed.empty()) {
    std::fprintf(stderr, "korvel-flash-engine: %s\n", failed.c_str());
    return 1;
  }
  if (argc != 1) {
    std::fprintf(stderr,
                 "korvel-flash-engine takes no arguments: a flash program starts it and "
                 "hands it its firmware through a pipe.\n");
    return 1;
  }
  EnginePlatform platform;
  InstallPlatform(&platform);
  remote::FdChannel window(0, 1, remote::Side::Window);
  int code = RunEngine(window);
  InstallPlatform(nullptr);
  return code;
}
