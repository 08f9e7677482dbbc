// The engine's platform: the Linux layer with the SCSI pass-through on /dev/sr* as its
// only way to a drive. It never loads a library, so nothing beside it or named by anyone
// can become the drive or run as root.
#pragma once

#include "platform/linux/LinuxPlatform.h"

class EnginePlatform : public LinuxPlatform {
 public:
  win::BOOL GetVersionExA(win::OSVERSIONINFOA* info) override;
  win::HMODULE LoadLibraryA(const char*) override { return nullptr; }
  win::FARPROC GetProcAddress(win::HMODULE, const char*) override { return nullptr; }
};
