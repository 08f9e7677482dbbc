#include "platform/Platform.h"

#include <cstdlib>

namespace {
Platform* installed = nullptr;
WaitHook* waitHook = nullptr;
}  // namespace

Platform& Os() {
  // A call before installation is a programming error in the entry or a test fixture.
  if (!installed) std::abort();
  return *installed;
}

void InstallPlatform(Platform* platform) {
  installed = platform;
}

void InstallWaitHook(WaitHook* hook) {
  waitHook = hook;
}

WaitHook* InstalledWaitHook() {
  return waitHook;
}

std::string ModuleFileName() {
  std::string path(260, '\0');
  for (;;) {
    auto size = static_cast<win::DWORD>(path.size());
    win::DWORD n = Os().GetModuleFileNameA(nullptr, &path[0], size);
    if (n < size) {  // a cut path fills the buffer exactly
      path.resize(n);
      return path;
    }
    path.assign(path.size() * 2, '\0');
  }
}

std::string CurrentDirectory() {
  std::string dir(260, '\0');
  win::DWORD n = Os().GetCurrentDirectoryA(static_cast<win::DWORD>(dir.size()), &dir[0]);
  if (n >= dir.size()) {  // the size it needs
    dir.assign(n, '\0');
    n = Os().GetCurrentDirectoryA(static_cast<win::DWORD>(dir.size()), &dir[0]);
    if (n >= dir.size()) n = 0;
  }
  dir.resize(n);
  return dir;
}

std::string BaseName(const std::string& path) {
#if defined(_WIN32)
  std::size_t slash = path.find_last_of("\\/");
#else
  std::size_t slash = path.find_last_of('/');
#endif
  return slash == std::string::npos ? path : path.substr(slash + 1);
}
