// The flash engine as the tests run it: the engine's own run over standard input and
// output, with the emulated drives of KORVEL_EMULATOR_CONFIG behind the fake platform
// instead of /dev/sr*. It is never installed; the installed engine has no such seam.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "emulator/EmulatorConfig.h"
#include "emulator/TraceFiles.h"
#include "engine/Engine.h"
#include "platform/ScsiPassThrough.h"
#include "tests/fake/FakePlatform.h"

namespace {

// A command the drive takes its time over (delay-ms, commit-delay-ms) holds the
// pass-through call as long, as a real drive's would.
class HoldingPlatform : public FakePlatform {
 public:
  win::BOOL DeviceIoControl(win::HANDLE device, win::DWORD code, void* in, win::DWORD inSize,
                            void* out, win::DWORD outSize, win::DWORD* returned,
                            void* overlapped) override {
    if (in && inSize >= sizeof(SCSI_PASS_THROUGH_DIRECT) && bus.DriveCount() > 0) {
      const auto* request = static_cast<const SCSI_PASS_THROUGH_DIRECT*>(in);
      std::this_thread::sleep_for(
          std::chrono::milliseconds(bus.CompletionDelayMs(0, request->Cdb)));
    }
    return FakePlatform::DeviceIoControl(device, code, in, inSize, out, outSize, returned,
                                         overlapped);
  }
};

}  // namespace

int main() {
  emu::EmulatorConfig config;
  std::string error;
  const char* path = std::getenv("KORVEL_EMULATOR_CONFIG");
  if (!path || !emu::LoadConfig(path, config, error)) {
    std::fprintf(stderr, "test engine: no drives: %s\n", path ? error.c_str() : "no configuration");
    return 1;
  }
  auto fake = std::make_unique<HoldingPlatform>();
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
