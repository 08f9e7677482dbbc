// The ASPI layer beside the program (libwnaspi32.so for "WNASPI32.DLL", loaded with
// dlopen), and the events it signals: eventfd objects whose descriptor is the handle.
#include <dlfcn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/WinConstants.h"
#include "platform/linux/LinuxInternal.h"
#include "platform/linux/LinuxPlatform.h"

using namespace linuxplatform;

namespace {

constexpr win::DWORD kWaitFailed = 0xFFFFFFFFu;
constexpr win::DWORD kInfinite = 0xFFFFFFFFu;
constexpr const char* kAspiLayerFile = "libwnaspi32.so";

}  // namespace

std::string LinuxPlatform::LibraryPath(const std::string& name) const {
  if (name.find('/') != std::string::npos) return name;
  std::string base;
  for (char c : name) base += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (base.size() > 4 && base.compare(base.size() - 4, 4, ".dll") == 0)
    base.resize(base.size() - 4);
  return programFolder_ + "/lib" + base + ".so";
}

bool LinuxPlatform::AspiLayerInstalled() const {
  return Exists(programFolder_ + "/" + kAspiLayerFile);
}

win::HMODULE LinuxPlatform::LoadLibraryA(const char* name) {
  std::string path = LibraryPath(name);
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) lastError = Exists(path) ? ENOEXEC : ENOENT;
  return library;
}

win::FARPROC LinuxPlatform::GetProcAddress(win::HMODULE module, const char* name) {
  void* entry = dlsym(module, name);
  if (!entry) lastError = ENOENT;
  return reinterpret_cast<win::FARPROC>(entry);
}

win::BOOL LinuxPlatform::FreeLibrary(win::HMODULE module) {
  if (dlclose(module) != 0) return Fail(EINVAL);
  return 1;
}

win::HANDLE LinuxPlatform::CreateEventA(void*, win::BOOL manualReset, win::BOOL initialState,
                                        const char*) {
  int fd = eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    lastError = errno;
    return nullptr;
  }
  win::HANDLE handle = HandleOf(fd);
  if (manualReset) {
    std::lock_guard<std::mutex> lock(mutex_);
    manualResetEvents_.insert(Descriptor(handle));
  }
  return handle;
}

win::DWORD LinuxPlatform::WaitForSingleObject(win::HANDLE handle, win::DWORD milliseconds) {
  using Clock = std::chrono::steady_clock;
  int fd = Descriptor(handle);
  bool manual;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    manual = manualResetEvents_.count(fd) != 0;
  }
  WaitHook* hook = InstalledWaitHook();
  auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    int wait = -1;
    if (milliseconds != kInfinite) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
    }
    const bool last = wait == 0;
    if (hook && (wait < 0 || wait > static_cast<int>(kKeepAliveSliceMs)))
      wait = static_cast<int>(kKeepAliveSliceMs);
    pollfd entry = {fd, POLLIN, 0};
    int ready = poll(&entry, 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (entry.revents & (POLLERR | POLLNVAL))) {
      lastError = ready < 0 ? errno : EBADF;
      return kWaitFailed;
    }
    if (ready == 0 && hook) hook->KeepAlive();
    if (ready == 0 && (last || !hook)) return win::WAIT_TIMEOUT;
    if (ready == 0) continue;
    if (manual) return win::WAIT_OBJECT_0;
    std::uint64_t count;
    // Reading takes the signal (auto-reset); another waiter may have been first.
    if (read(fd, &count, sizeof count) == sizeof count) return win::WAIT_OBJECT_0;
    if (errno != EAGAIN && errno != EINTR) {
      lastError = errno;
      return kWaitFailed;
    }
  }
}

win::BOOL LinuxPlatform::ResetEvent(win::HANDLE handle) {
  std::uint64_t count;
  if (read(Descriptor(handle), &count, sizeof count) < 0 && errno != EAGAIN) return Fail(errno);
  return 1;
}

win::DWORD LinuxPlatform::GetTickCount() {
  auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<win::DWORD>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}
