// The Linux platform layer: construction, the version query, the drive letters, error
// texts, sleeping and the restart. The SG_IO transport is in LinuxSgIo.cpp, the ASPI
// layer and its events in LinuxAspi.cpp, files and paths in LinuxFiles.cpp.
#include "platform/linux/LinuxPlatform.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/WinConstants.h"
#include "platform/linux/LinuxInternal.h"

using namespace linuxplatform;

namespace linuxplatform {

thread_local int lastError = 0;

win::BOOL Fail(int error) {
  lastError = error;
  return 0;
}

int Descriptor(win::HANDLE handle) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}

// Descriptor 0 would read as "no handle" to the program; keep handles above it.
win::HANDLE HandleOf(int fd) {
  if (fd == 0) {
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    fd = moved;
  }
  return reinterpret_cast<win::HANDLE>(static_cast<std::intptr_t>(fd));
}

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

}  // namespace linuxplatform

namespace {

constexpr win::UINT kDriveNoRootDir = 1;
constexpr int kDriveLetters = 'Z' - 'D' + 1;

std::string ExecutableFolder() {
  char path[PATH_MAX] = {};
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  std::string exe(path, static_cast<std::size_t>(length));
  std::size_t slash = exe.rfind('/');
  return slash == 0 ? "/" : exe.substr(0, slash);
}

int SystemSgIo(int fd, sg_io_hdr* header) {
  return ioctl(fd, SG_IO, header);
}

}  // namespace

LinuxPlatform::LinuxPlatform() : LinuxPlatform(ExecutableFolder(), "/dev", SystemSgIo) {}

LinuxPlatform::LinuxPlatform(std::string programFolder, std::string deviceFolder, SgIoCall sgIo)
    : programFolder_(std::move(programFolder)),
      deviceFolder_(std::move(deviceFolder)),
      sgIo_(std::move(sgIo)) {}

std::string LinuxPlatform::DevicePath(char letter) const {
  if (letter < 'D' || letter > 'Z') return "";
  return deviceFolder_ + "/sr" + std::to_string(letter - 'D');
}

win::BOOL LinuxPlatform::GetVersionExA(win::OSVERSIONINFOA* info) {
  if (!info || info->dwOSVersionInfoSize != sizeof *info) return Fail(EINVAL);
  bool aspi = AspiLayerInstalled();
  info->dwMajorVersion = aspi ? 4 : 6;
  info->dwMinorVersion = aspi ? 10 : 1;
  info->dwBuildNumber = aspi ? 2222 : 7601;
  info->dwPlatformId = aspi ? 1 : win::VER_PLATFORM_WIN32_NT;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return 1;
}

win::DWORD LinuxPlatform::GetLogicalDriveStringsA(win::DWORD length, char* buffer) {
  std::string roots;
  for (int n = 0; n < kDriveLetters; ++n) {
    char letter = static_cast<char>('D' + n);
    if (Exists(DevicePath(letter))) roots += std::string{letter, ':', '\\', '\0'};
  }
  win::DWORD needed = static_cast<win::DWORD>(roots.size() + 1);
  if (!buffer || needed > length) return needed;
  std::memcpy(buffer, roots.data(), roots.size());
  buffer[roots.size()] = '\0';
  return needed - 1;
}

win::UINT LinuxPlatform::GetDriveTypeA(const char* root) {
  if (!root || !root[0] || root[1] != ':') return kDriveNoRootDir;
  if (root[2] && (root[2] != '\\' || root[3])) return kDriveNoRootDir;
  char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
  std::string device = DevicePath(letter);
  return !device.empty() && Exists(device) ? win::DRIVE_CDROM : kDriveNoRootDir;
}

win::DWORD LinuxPlatform::GetLastError() {
  return static_cast<win::DWORD>(lastError);
}

win::DWORD LinuxPlatform::FormatMessageA(win::DWORD flags, const void*, win::DWORD messageId,
                                         win::DWORD, char* buffer, win::DWORD size, void*) {
  const char* text = nullptr;
  if ((flags & win::FORMAT_MESSAGE_FROM_SYSTEM) && messageId <= INT_MAX) {
    text = strerrordesc_np(static_cast<int>(messageId));
  }
  if (!text) {
    lastError = ENOENT;
    return 0;
  }
  std::string line = std::string(text) + "\n";
  if (!buffer || line.size() + 1 > size) {
    lastError = ERANGE;
    return 0;
  }
  std::memcpy(buffer, line.c_str(), line.size() + 1);
  return static_cast<win::DWORD>(line.size());
}

void LinuxPlatform::Sleep(win::DWORD milliseconds) {
  WaitHook* hook = InstalledWaitHook();
  for (;;) {
    const win::DWORD step =
        hook ? std::min<win::DWORD>(milliseconds, kKeepAliveSliceMs) : milliseconds;
    timespec left = {static_cast<time_t>(step / 1000), static_cast<long>(step % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    milliseconds -= step;
    if (milliseconds == 0) return;
    hook->KeepAlive();
  }
}

bool LinuxPlatform::EnableShutdownPrivilege() {
  return true;
}

win::BOOL LinuxPlatform::ExitWindowsEx(win::UINT, win::DWORD) {
  char program[] = "systemctl";
  char verb[] = "reboot";
  char* arguments[] = {program, verb, nullptr};
  pid_t child = 0;
  int error = posix_spawnp(&child, program, nullptr, nullptr, arguments, environ);
  if (error != 0) return Fail(error);
  return 1;
}
