// The Linux program's entry: the Qt application, the Linux platform layer and the Qt
// toolkit, installed before the program's own code runs. A flash that needs rights this
// process lacks runs in the flash engine, with this window as the engine's.
#include <QtWidgets/QApplication>

#include "app/Program.h"
#include "package/FlashPayload.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/LinuxRights.h"
#include "toolkit/qt/QtToolkit.h"
#include "toolkit/remote/EngineClient.h"

namespace {

int Run(LinuxPlatform& platform, QtToolkit& toolkit) {
  SystemRightsProbe probe;
  // A builder, and a damaged flash program that will only say so, send nothing to a drive.
  const bool sendsNothing = IsBuilderPayload(Payload()) || !PayloadDamage(Payload()).empty();
  Elevation elevation = SystemElevation(KF_FLASH_ENGINE, ModuleFileName());
  RightsPlan plan = PlanFlashRights(platform, sendsNothing, probe, elevation);
  switch (plan.route) {
    case RightsPlan::Route::InProcess:
      return ProgramMain();
    case RightsPlan::Route::Engine:
      remote::FlashThroughEngine(plan, elevation, toolkit, &toolkit, Payload());
      return 0;
    case RightsPlan::Route::Refuse:
      toolkit.MessageDialog(plan.refusal, DialogKind::Error, DialogButtons::Ok);
      return 0;
  }
  return 0;
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
  const int exitCode = Run(platform, toolkit);
  InstallToolkit(nullptr);
  InstallPlatform(nullptr);
  return exitCode;
}
