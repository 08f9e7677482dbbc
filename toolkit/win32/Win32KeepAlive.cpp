// Keeping the window alive while a drive command is outstanding.
#include "toolkit/win32/Win32ToolkitParts.h"

// While a drive command is outstanding: paint, answer what the system sends (any peek
// does), drop the user's input and requests to close; the rest waits for the loop. By
// message ranges, so that input posted to the queue goes too.
void Win32Toolkit::KeepAlive() {
  static const UINT dropped[][2] = {{WM_KEYFIRST, WM_KEYLAST},
                                    {WM_MOUSEFIRST, WM_MOUSELAST},
                                    {WM_NCMOUSEMOVE, WM_NCXBUTTONDBLCLK},
                                    {WM_CLOSE, WM_CLOSE}};
  MSG message;
  for (const auto& range : dropped)
    while (PeekMessageA(&message, nullptr, range[0], range[1], PM_REMOVE)) {
    }
  while (PeekMessageA(&message, nullptr, WM_SYSCOMMAND, WM_SYSCOMMAND, PM_REMOVE)) {
    const WPARAM command = message.wParam & 0xFFF0;
    if (command == SC_MINIMIZE || command == SC_RESTORE) DispatchMessageA(&message);
  }
  while (PeekMessageA(&message, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE)) DispatchMessageA(&message);
}

void Win32Toolkit::SetBusyCursor(bool busy) {
  busy_ = busy;
  SetCursor(LoadCursor(nullptr, busy ? IDC_WAIT : IDC_ARROW));
}
