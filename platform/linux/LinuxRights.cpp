#include "platform/linux/LinuxRights.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/WinConstants.h"

namespace {

constexpr const char* kSystemPkexec = "/usr/bin/pkexec";

bool Exists(const std::string& path) {
  struct stat info;
  return !path.empty() && stat(path.c_str(), &info) == 0;
}

std::vector<std::string> OpticalDevices(LinuxPlatform& platform) {
  char roots[4 * 26 + 1] = {};
  win::DWORD length = platform.GetLogicalDriveStringsA(sizeof roots, roots);
  std::vector<std::string> devices;
  for (win::DWORD at = 0; at < length && roots[at]; at += 4)
    devices.push_back(platform.DevicePath(roots[at]));
  return devices;
}

std::string GroupOf(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || info.st_gid == 0) return "";
  const group* entry = getgrgid(info.st_gid);
  return entry ? entry->gr_name : "";
}

// Safe to paste into a shell.
std::string Quoted(const std::string& text) {
  if (text.find_first_not_of(
          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+") ==
      std::string::npos)
    return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string RefusalText(const std::vector<std::string>& devices, bool rawIo,
                        const std::string& program, const std::string& why) {
  std::string text = "This flash program lacks rights that flashing needs:\n\n";
  std::string group;
  for (const std::string& device : devices) {
    std::string owner = GroupOf(device);
    if (group.empty()) group = owner;
    text += "  read and write access to " + device +
            (owner.empty() ? "" : " (group " + owner + ")") + "\n";
  }
  if (rawIo) text += "  CAP_SYS_RAWIO, without which Linux refuses the firmware commands\n";
  text += "\n" + why + " No drive has been sent anything.\n\nRun it as root:\n\n  sudo " +
          Quoted(program) + "\n\nor give it what it lacks:\n\n";
  if (rawIo) text += "  sudo setcap cap_sys_rawio+ep " + Quoted(program) + "\n";
  if (!devices.empty())
    text += group.empty() ? "  read and write access to the devices above\n"
                          : "  sudo usermod -a -G " + group + " $USER   (then log in again)\n";
  return text;
}

// Why pkexec cannot be asked; empty when it can.
std::string WhyNoRelaunch(const Elevation& elevation) {
  if (elevation.root) return "It runs as root already, and root lacks them here.";
  if (!Exists(elevation.pkexec)) return "pkexec, which would ask for them, is not installed.";
  if (!Exists(elevation.helper))
    return "The helper through which pkexec grants them, " + elevation.helper +
           ", is not installed.";
  if (elevation.display.empty()) return "There is no X display to show an elevated copy on.";
  return "";
}

}  // namespace

bool SystemRightsProbe::MayOpen(const std::string& device) {
  return faccessat(AT_FDCWD, device.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
}

bool SystemRightsProbe::MaySendWriteBuffer() {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  return data[CAP_TO_INDEX(CAP_SYS_RAWIO)].effective & CAP_TO_MASK(CAP_SYS_RAWIO);
}

RightsPlan PlanFlashRights(LinuxPlatform& platform, bool builderMode, RightsProbe& probe,
                           const Elevation& elevation) {
  RightsPlan plan;
  if (builderMode) return plan;
  win::OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  if (!platform.GetVersionExA(&version) || version.dwPlatformId != win::VER_PLATFORM_WIN32_NT)
    return plan;
  std::vector<std::string> devices = OpticalDevices(platform), closed;
  if (devices.empty()) return plan;
  for (const std::string& device : devices)
    if (!probe.MayOpen(device)) closed.push_back(device);
  bool rawIo = !probe.MaySendWriteBuffer();
  if (closed.empty() && !rawIo) return plan;

  plan.run = false;
  std::string why = WhyNoRelaunch(elevation);
  if (why.empty()) {
    plan.relaunch = {elevation.pkexec, elevation.helper, elevation.program, elevation.display};
    why = "Asking for them through pkexec was refused or failed.";
  }
  plan.refusal = RefusalText(closed, rawIo, elevation.program, why);
  return plan;
}

Elevation SystemElevation(const std::string& helper, const std::string& program) {
  const char* display = std::getenv("DISPLAY");
  return {kSystemPkexec, helper, program, display ? display : "", geteuid() == 0};
}
