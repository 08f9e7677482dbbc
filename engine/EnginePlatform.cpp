#include "engine/EnginePlatform.h"

#include <cstring>

#include "platform/WinConstants.h"

// The NT family: the program then takes the pass-through and never asks for an ASPI layer.
win::BOOL EnginePlatform::GetVersionExA(win::OSVERSIONINFOA* info) {
  if (!info || info->dwOSVersionInfoSize != sizeof *info) return 0;
  info->dwMajorVersion = 6;
  info->dwMinorVersion = 1;
  info->dwBuildNumber = 7601;
  info->dwPlatformId = win::VER_PLATFORM_WIN32_NT;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return 1;
}
