// The Linux program's entry: the Qt application, the Linux platform layer and the Qt
// toolkit, installed before the program's own code runs.
#include <QtWidgets/QApplication>

#include "app/Program.h"
#include "platform/linux/LinuxPlatform.h"
#include "toolkit/qt/QtToolkit.h"

int main(int, char** argv) {
  // The program takes no command-line options, Qt's own included.
  int argumentCount = 1;
  QApplication application(argumentCount, argv);
  LinuxPlatform platform;
  QtToolkit toolkit;
  InstallPlatform(&platform);
  InstallToolkit(&toolkit);
  const int exitCode = ProgramMain();
  InstallToolkit(nullptr);
  InstallPlatform(nullptr);
  return exitCode;
}
