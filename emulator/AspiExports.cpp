// The emulated drives as an ASPI for Win32 library: WNASPI32.DLL on Windows,
// libwnaspi32.so on Linux. The drives come from the file named by KORVEL_EMULATOR_CONFIG
// (one default drive without it); every command goes to the trace file, every commit's
// image to the drive's image file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "emulator/AspiLayer.h"
#include "emulator/EmulatorConfig.h"
#include "emulator/TraceFiles.h"

#ifdef _WIN32
#include <windows.h>
#define KF_ASPI_EXPORT extern "C" __declspec(dllexport)
#else
#include <unistd.h>
#define KF_ASPI_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

constexpr std::uint8_t kSsFailedInit = 0xE4;

void Signal(void*, void* event) {
#ifdef _WIN32
  ::SetEvent(static_cast<HANDLE>(event));
#else
  // The host's event is an eventfd; its descriptor number is the SRB_PostProc value.
  const std::uint64_t one = 1;
  const int fd = int(reinterpret_cast<std::intptr_t>(event));
  if (::write(fd, &one, sizeof(one)) != sizeof(one)) std::perror("wnaspi32: signal");
#endif
}

// The worker thread must outlive any FreeLibrary/dlclose of the host.
void PinLibrary() {
#ifdef _WIN32
  HMODULE self = nullptr;
  ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&Signal), &self);
#endif
}

class Emulator {
 public:
  Emulator() {
    PinLibrary();
    const char* path = std::getenv("KORVEL_EMULATOR_CONFIG");
    std::string error;
    if (path == nullptr || *path == '\0') {
      config_ = emu::DefaultConfig();
    } else if (!emu::LoadConfig(path, config_, error)) {
      std::fprintf(stderr, "wnaspi32: %s\n", error.c_str());
      return;
    }
    emu::AddDrives(config_, bus_);
    files_ = std::make_unique<emu::TraceFiles>(config_, bus_);
    layer_.SetAsynchronous(config_.asynchronous);
    layer_.SetAdapterCount(config_.adapters);
    layer_.SetAbortSignalMs(config_.abortSignalMs);
    layer_.SetSignal(&Signal, nullptr);
    ready_ = true;
  }

  bool Ready() const { return ready_; }
  emu::AspiLayer& Layer() { return layer_; }

 private:
  emu::EmulatorConfig config_;
  emu::EmulatedBus bus_;
  emu::AspiLayer layer_{bus_};
  std::unique_ptr<emu::TraceFiles> files_;
  bool ready_ = false;
};

// Never destroyed: the host may call in from any thread until the process ends.
Emulator& Instance() {
  static Emulator* emulator = new Emulator();
  return *emulator;
}

}  // namespace

KF_ASPI_EXPORT win::DWORD GetASPI32SupportInfo() {
  Emulator& emulator = Instance();
  if (!emulator.Ready()) return win::DWORD(kSsFailedInit) << 8;
  return emulator.Layer().GetASPI32SupportInfo();
}

KF_ASPI_EXPORT win::DWORD SendASPI32Command(void* srb) {
  Emulator& emulator = Instance();
  if (!emulator.Ready()) return kSsFailedInit;
  return emulator.Layer().SendASPI32Command(srb);
}
