#include "engine/Hardening.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

std::string Failed(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

void CloseInheritedDescriptors() {
  long last = sysconf(_SC_OPEN_MAX);
  if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;
  for (long fd = 3; fd < (last > 0 ? last : 1024); ++fd) close(static_cast<int>(fd));
}

// The drive's firmware commands need CAP_SYS_RAWIO; the device nodes are root's own. Every
// other capability goes, from the bounding set too, so no program it starts gets more.
std::string KeepOnlyRawIo() {
  if (geteuid() != 0) return "";
  for (int cap = 0; cap <= CAP_LAST_CAP; ++cap)
    if (cap != CAP_SYS_RAWIO && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EINVAL)
      return Failed("dropping a capability from the bounding set");
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  data[CAP_TO_INDEX(CAP_SYS_RAWIO)].effective = CAP_TO_MASK(CAP_SYS_RAWIO);
  data[CAP_TO_INDEX(CAP_SYS_RAWIO)].permitted = CAP_TO_MASK(CAP_SYS_RAWIO);
  if (syscall(SYS_capset, &header, data) != 0) return Failed("keeping only CAP_SYS_RAWIO");
  return "";
}

}  // namespace

std::string HardenEngineProcess() {
  if (clearenv() != 0 || putenv(const_cast<char*>(kEnginePath)) != 0)
    return Failed("emptying the environment");
  umask(077);
  if (chdir("/") != 0) return Failed("moving to /");
  CloseInheritedDescriptors();
  // A window that goes away shows as a failed write, not a signal; a terminal's keys do
  // not cut a drive command short.
  for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP, SIGTSTP, SIGTTIN, SIGTTOU})
    signal(sig, SIG_IGN);
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return Failed("forbidding new rights");
  if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return Failed("forbidding core dumps");
  return KeepOnlyRawIo();
}
