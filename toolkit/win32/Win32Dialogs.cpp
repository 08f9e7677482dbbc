// The message boxes, owned by the window (or, before it shows, the application's own).
#include "toolkit/win32/Win32ToolkitParts.h"

int Win32Toolkit::Box(const std::string& text, const std::string& title, unsigned flags) {
  HWND owner = application_ && !IsWindowVisible(window_) ? application_ : window_;
  if (!owner) flags |= MB_TASKMODAL;
  return MessageBoxA(owner, text.c_str(), title.c_str(), flags | MB_SETFOREGROUND);
}

void Win32Toolkit::ShowException(const std::string& message) {
  Box(message, title_, MB_OK | MB_ICONERROR);
}

ModalResult Win32Toolkit::MessageDialog(const std::string& text, DialogKind kind,
                                        DialogButtons buttons) {
  static const char* const titles[] = {"Warning", "Error", "Confirm"};
  static const UINT icons[] = {MB_ICONWARNING, MB_ICONERROR, MB_ICONQUESTION};
  const int k = static_cast<int>(kind);
  const bool yesNo = buttons == DialogButtons::YesNo;
  int answer = Box(text, titles[k], icons[k] | (yesNo ? MB_YESNO : MB_OK));
  if (!yesNo) return ModalResult::Ok;
  return answer == IDYES ? ModalResult::Yes : ModalResult::No;
}

void Win32Toolkit::ShowMessage(const std::string& text) {
  Box(text, title_, MB_OK);
}
