// The Linux program's entry: the Qt application, the Linux platform layer and the Qt
// toolkit, installed before the program's own code runs.
#include <QtWidgets/QApplication>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>
#include <vector>

#include "app/Program.h"
#include "package/FlashPayload.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/LinuxRights.h"
#include "toolkit/qt/QtToolkit.h"

extern char** environ;

namespace {

// The exit status of a command run to its end; -1 when it did not run or did not exit.
int RunAndWait(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  pid_t child;
  int status;
  if (posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  while (waitpid(child, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A flash program without the rights it needs has a copy of itself run with them, or
// says what is missing; either way this copy then ends.
bool HasFlashRights(LinuxPlatform& platform) {
  SystemRightsProbe probe;
  // A builder, and a damaged flash program that will only say so, send nothing to a drive.
  const bool sendsNothing = IsBuilderPayload(Payload()) || !PayloadDamage(Payload()).empty();
  RightsPlan plan = PlanFlashRights(platform, sendsNothing, probe,
                                    SystemElevation(KF_PKEXEC_HELPER, ModuleFileName()));
  if (plan.run) return true;
  if (plan.relaunch.empty() || RunAndWait(plan.relaunch) != 0)
    Tk().MessageDialog(plan.refusal, DialogKind::Error, DialogButtons::Ok);
  return false;
}

}  // namespace

int main(int, char** argv) {
  // The program takes no command-line options, Qt's own included.
  int argumentCount = 1;
  QApplication application(argumentCount, argv);
  LinuxPlatform platform;
  QtToolkit toolkit;
  InstallPlatform(&platform);
  InstallToolkit(&toolkit);
  const int exitCode = HasFlashRights(platform) ? ProgramMain() : 0;
  InstallToolkit(nullptr);
  InstallPlatform(nullptr);
  return exitCode;
}
