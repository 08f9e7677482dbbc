// The flash engine as the tests run it: the engine's own run over standard input and
// output, with the emulated drives of KORVEL_EMULATOR_CONFIG behind the fake platform
// instead of /dev/sr*. It is never installed; the installed engine has no such seam.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "emulator/EmulatorConfig.h"
#include "emulator/TraceFiles.h"
#include "engine/Engine.h"
#include "tests/fake/FakePlatform.h"

int main() {
  emu::EmulatorConfig config;
  std::string error;
  const char* path = std::getenv("KORVEL_EMULATOR_CONFIG");
  if (!path || !emu::LoadConfig(path, config, error)) {
    std::fprintf(stderr, "test engine: no drives: %s\n", path ? error.c_str() : "no configuration");
    return 1;
  }
  auto fake = std::make_unique<FakePlatform>();
  for (const emu::DriveSetup& setup : config.drives) {
    const int drive = fake->AddDrive(setup.config);
    for (const emu::Fault& fault : setup.faults) fake->bus.AddFault(drive, fault);
  }
  emu::TraceFiles files(config, fake->bus);
  InstallPlatform(fake.get());
  remote::FdChannel window(0, 1, remote::Side::Window);
  int code = RunEngine(window);
  InstallPlatform(nullptr);
  return code;
}
