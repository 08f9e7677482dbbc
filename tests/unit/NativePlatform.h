// The system's own platform layer (Linux, or Windows under Wine) with a program file of
// the test's own, for the builder on real file calls.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#if defined(_WIN32)
#include "platform/win32/Win32Platform.h"
using NativePlatform = Win32Platform;
#else
#include "platform/linux/LinuxPlatform.h"
using NativePlatform = LinuxPlatform;
#endif

class ProgramFilePlatform : public NativePlatform {
 public:
  explicit ProgramFilePlatform(std::string program) : program_(std::move(program)) {}
  win::DWORD GetModuleFileNameA(win::HMODULE, char* buffer, win::DWORD size) override {
    auto n = static_cast<win::DWORD>(std::min<std::size_t>(program_.size(), size - 1));
    std::memcpy(buffer, program_.data(), n);
    buffer[n] = '\0';
    return n;
  }

 private:
  std::string program_;
};
