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

// Why the engine cannot be started; empty when it can.
std::string WhyNoEngine(const Elevation& elevation) {
  if (elevation.root) return "It runs as root already, and root lacks them here.";
  if (!Exists(elevation.engine))
    return "The flash engine that does a flash with them, " + elevation.engine +
           ", is not installed.";
  if (!Exists(elevation.pkexec)) return "pkexec, which starts the flash engine, is not installed.";
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

std::string RefusalText(const RightsPlan& plan, const Elevation& elevation,
                        const std::string& why) {
  std::string text = "This flash program lacks rights that flashing needs:\n\n";
  for (const std::string& device : plan.closed) {
    std::string owner = GroupOf(device);
    text += "  read and write access to " + device +
            (owner.empty() ? "" : " (group " + owner + ")") + "\n";
  }
  if (plan.rawIo) text += "  CAP_SYS_RAWIO, without which Linux refuses the firmware commands\n";
  return text + "\n" + why +
         " No drive has been sent anything.\n\n"
         "The safe way: install the korvel-flash package. It brings the flash engine, "
         "which pkexec starts as root once an administrator's password is given; the engine "
         "has no window and this window stays yours.\n\n"
         "Or, knowingly, run this program as root:\n\n  sudo " +
         Quoted(elevation.program) +
         "\n\nThen all of it runs as root, its window too, where any program of your "
         "desktop session can reach it; on a Wayland desktop a window run as root may not "
         "open at all.\n";
}

RightsPlan PlanFlashRights(LinuxPlatform& platform, bool builderMode, RightsProbe& probe,
                           const Elevation& elevation) {
  RightsPlan plan;
  if (builderMode) return plan;
  win::OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  if (!platform.GetVersionExA(&version) || version.dwPlatformId != win::VER_PLATFORM_WIN32_NT)
    return plan;
  if (!elevation.testEngine.empty()) {
    plan.route = RightsPlan::Route::Engine;
    plan.engine = {elevation.testEngine};
    return plan;
  }
  std::vector<std::string> devices = OpticalDevices(platform);
  if (devices.empty()) return plan;
  for (const std::string& device : devices)
    if (!probe.MayOpen(device)) plan.closed.push_back(device);
  plan.rawIo = !probe.MaySendWriteBuffer();
  if (plan.closed.empty() && !plan.rawIo) return plan;

  std::string why = WhyNoEngine(elevation);
  if (!why.empty()) {
    plan.route = RightsPlan::Route::Refuse;
    plan.refusal = RefusalText(plan, elevation, why);
    return plan;
  }
  plan.route = RightsPlan::Route::Engine;
  plan.engine = {elevation.pkexec, elevation.engine};
  return plan;
}

Elevation SystemElevation(const std::string& engine, const std::string& program) {
  Elevation elevation{kSystemPkexec, engine, program, geteuid() == 0, ""};
  const char* test = std::getenv("KF_TEST_ENGINE");
  if (test && *test && !elevation.root && !SystemRightsProbe().MaySendWriteBuffer())
    elevation.testEngine = test;
  return elevation;
}
