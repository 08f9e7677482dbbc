// Our headers come first: <windows.h> defines macros that would rewrite their names.
#include "app/Program.h"
#include "platform/win32/Win32Platform.h"
#include "toolkit/win32/Win32Toolkit.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  Win32Platform platform;
  InstallPlatform(&platform);
  Win32Toolkit toolkit(instance);
  InstallToolkit(&toolkit);
  int exitCode = ProgramMain();
  InstallToolkit(nullptr);
  InstallPlatform(nullptr);
  return exitCode;
}
