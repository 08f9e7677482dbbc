// The window's life and loop, what the program does with its controls (texts, the
// combo box, the file list, the progress bar), and the controls' events.
#include "toolkit/win32/Win32ToolkitParts.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "toolkit/FileMask.h"

#include <commctrl.h>

using win32tk::kDesignDpi;
using win32tk::SuppressEvents;
using win32tk::SystemFunction;
using win32tk::WindowText;

namespace {

// ICC_STANDARD_CLASSES, of comctl32 6 and newer than the headers' target.
constexpr DWORD kStandardClasses = 0x4000;

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  char last = directory.back();
  return (last == '\\' || last == '/' || last == ':') ? directory + name : directory + "\\" + name;
}

std::vector<std::string> ListFiles(const std::string& directory, const std::string& mask) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(JoinPath(directory, "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        MatchesFileMask(found.cFileName, mask))
      names.push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

Win32Toolkit::Win32Toolkit(HINSTANCE__* instance) : instance_(instance) {
  // One call each: a comctl32 before version 6 may refuse a call naming the standard classes.
  for (DWORD kind : {DWORD{ICC_PROGRESS_CLASS}, DWORD{kStandardClasses}}) {
    INITCOMMONCONTROLSEX classes = {sizeof classes, kind};
    InitCommonControlsEx(&classes);
  }
  // The window answers during a flash; the system must never swap it for a ghost that
  // offers to end the program.
  using DisableGhostingFn = void(WINAPI*)();
  if (auto disableGhosting =
          SystemFunction<DisableGhostingFn>("user32.dll", "DisableProcessWindowsGhosting"))
    disableGhosting();
  InstallWaitHook(this);
}

Win32Toolkit::~Win32Toolkit() {
  if (InstalledWaitHook() == this) InstallWaitHook(nullptr);
  ForgetApplicationWindow();
  if (window_) DestroyWindow(window_);
  if (font_) DeleteObject(font_);
  for (HFONT font : fittedFonts_)
    if (font) DeleteObject(font);
}

HWND Win32Toolkit::Handle(ControlId control) const {
  return control == ControlId::Form ? window_ : controls_[static_cast<int>(control)];
}

const ControlResource* Win32Toolkit::Resource(ControlId control) const {
  return form_ ? FindControl(*form_, control) : nullptr;
}

int Win32Toolkit::Scale(int value) const {
  return MulDiv(value, static_cast<int>(dpi_), kDesignDpi);
}

int Win32Toolkit::RunMessageLoop() {
  if (quitPosted_ || closed_ || !window_) {
    ForgetApplicationWindow();
    return 0;
  }
  ShowWindow(window_, SW_SHOWNORMAL);
  UpdateWindow(window_);
  ForgetApplicationWindow();  // the window has a task-bar button of its own now
  SetForegroundWindow(window_);
  if (HWND first = GetNextDlgTabItem(window_, nullptr, FALSE)) SetFocus(first);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (IsDialogMessageA(window_, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}

void Win32Toolkit::PostQuit() {
  quitPosted_ = true;
  PostQuitMessage(0);
}

void Win32Toolkit::CloseMainWindow() {
  if (!window_) return;
  closingByProgram_ = true;
  SendMessageA(window_, WM_CLOSE, 0, 0);
  closingByProgram_ = false;
}

void Win32Toolkit::ForgetApplicationWindow() {
  if (application_) DestroyWindow(application_);
  application_ = nullptr;
}

// The controls stay until the toolkit goes: the form's destruction handler may still
// read them. Only the program closes the window while a handler runs: a flash must not
// be cut off mid-commit.
void Win32Toolkit::OnFormClose() {
  if (Running() && !closingByProgram_) return;
  closed_ = true;
  ShowWindow(window_, SW_HIDE);
  PostQuitMessage(0);
}

void Win32Toolkit::RememberFocus() {
  HWND focus = GetFocus();
  if (focus && IsChild(window_, focus)) focus_ = focus;
}

void Win32Toolkit::RestoreFocus() {
  if (focus_ && IsWindow(focus_)) SetFocus(focus_);
}

void Win32Toolkit::SetText(ControlId control, const std::string& text) {
  SuppressEvents quiet(suppressEvents_);
  HWND window = Handle(control);
  if (!window) return;
  SetWindowTextA(window, text.c_str());
  if (ShowsOneLineText(control)) FitText(control);
}

std::string Win32Toolkit::GetText(ControlId control) {
  HWND window = Handle(control);
  return window ? WindowText(window) : std::string();
}

void Win32Toolkit::SetVisible(ControlId control, bool visible) {
  if (HWND window = Handle(control)) ShowWindow(window, visible ? SW_SHOW : SW_HIDE);
}

void Win32Toolkit::SetEnabled(ControlId control, bool enabled) {
  if (HWND window = Handle(control)) EnableWindow(window, enabled);
}

// Paints at once: the flash sequence does not return to the message loop until it is done.
// A group box draws its caption without clearing what was there, so the area goes through
// its parent, which paints the background first.
void Win32Toolkit::Repaint(ControlId control) {
  HWND window = Handle(control);
  if (!window) return;
  const UINT flags = RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW;
  HWND parent = control == ControlId::Form ? nullptr : GetParent(window);
  if (!parent) {
    RedrawWindow(window, nullptr, nullptr, flags);
    return;
  }
  RECT area;
  GetWindowRect(window, &area);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&area), 2);
  RedrawWindow(parent, &area, nullptr, flags);
}

void Win32Toolkit::ComboAdd(const std::string& text) {
  SendMessageA(Handle(ControlId::ComboBox), CB_ADDSTRING, 0,
               reinterpret_cast<LPARAM>(text.c_str()));
  FitText(ControlId::ComboBox);
}

void Win32Toolkit::ComboInsert(int index, const std::string& text) {
  if (index < 0 || index > ComboCount()) throw std::out_of_range("List index out of bounds");
  SendMessageA(Handle(ControlId::ComboBox), CB_INSERTSTRING, static_cast<WPARAM>(index),
               reinterpret_cast<LPARAM>(text.c_str()));
  FitText(ControlId::ComboBox);
}

void Win32Toolkit::ComboDelete(int index) {
  if (index < 0 || index >= ComboCount()) throw std::out_of_range("List index out of bounds");
  SendMessageA(Handle(ControlId::ComboBox), CB_DELETESTRING, static_cast<WPARAM>(index), 0);
}

int Win32Toolkit::ComboCount() {
  HWND combo = Handle(ControlId::ComboBox);
  return combo ? static_cast<int>(SendMessageA(combo, CB_GETCOUNT, 0, 0)) : 0;
}

void Win32Toolkit::ComboSetIndex(int index) {
  SuppressEvents quiet(suppressEvents_);
  if (index < 0 || index >= ComboCount()) index = -1;
  SendMessageA(Handle(ControlId::ComboBox), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int Win32Toolkit::ComboIndex() {
  HWND combo = Handle(ControlId::ComboBox);
  if (!combo) return -1;
  LRESULT index = SendMessageA(combo, CB_GETCURSEL, 0, 0);
  return index == CB_ERR ? -1 : static_cast<int>(index);
}

// The combo box may keep (or pick) a list selection while the user types; once the edit
// field was typed into, no item counts as selected. The typed text and caret stay.
void Win32Toolkit::ForgetTypedSelection() {
  HWND combo = Handle(ControlId::ComboBox);
  if (SendMessageA(combo, CB_GETCURSEL, 0, 0) == CB_ERR) return;
  SuppressEvents quiet(suppressEvents_);
  std::string text = WindowText(combo);
  DWORD caret = 0;
  SendMessageA(combo, CB_GETEDITSEL, 0, reinterpret_cast<LPARAM>(&caret));
  SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
  SetWindowTextA(combo, text.c_str());
  SendMessageA(combo, CB_SETEDITSEL, 0, MAKELPARAM(caret, caret));
}

void Win32Toolkit::FileListSetDirectory(const std::string& directory) {
  fileDirectory_ = directory;
  FileListUpdate();
}

void Win32Toolkit::FileListSetMask(const std::string& mask) {
  fileMask_ = mask;
}

void Win32Toolkit::FileListUpdate() {
  HWND list = Handle(ControlId::FileListBox1);
  if (!list) return;
  SuppressEvents quiet(suppressEvents_);
  SendMessageA(list, WM_SETREDRAW, FALSE, 0);
  SendMessageA(list, LB_RESETCONTENT, 0, 0);
  for (const std::string& name : ListFiles(fileDirectory_, fileMask_.empty() ? "*.*" : fileMask_))
    SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
  SendMessageA(list, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(list, nullptr, TRUE);
}

std::string Win32Toolkit::FileListSelectedPath() {
  HWND list = Handle(ControlId::FileListBox1);
  if (!list) return "";
  LRESULT index = SendMessageA(list, LB_GETCURSEL, 0, 0);
  if (index == LB_ERR) return "";
  LRESULT length = SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == LB_ERR) return "";
  std::string name(static_cast<std::size_t>(length) + 1, '\0');
  SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&name[0]));
  name.resize(static_cast<std::size_t>(length));
  return JoinPath(fileDirectory_, name);
}

void Win32Toolkit::SetProgressRange() {
  HWND bar = Handle(ControlId::ProgressBar);
  if (bar) SendMessageA(bar, PBM_SETRANGE32, progressMin_, progressMax_);
}

void Win32Toolkit::ProgressSetMin(int value) {
  progressMin_ = value;
  SetProgressRange();
}

void Win32Toolkit::ProgressSetMax(int value) {
  progressMax_ = value;
  SetProgressRange();
}

void Win32Toolkit::ProgressSetStep(int value) {
  progressStep_ = value;
  if (HWND bar = Handle(ControlId::ProgressBar)) SendMessageA(bar, PBM_SETSTEP, value, 0);
}

void Win32Toolkit::ProgressSetPosition(int value) {
  value = std::clamp(value, progressMin_, std::max(progressMin_, progressMax_));
  if (HWND bar = Handle(ControlId::ProgressBar)) SendMessageA(bar, PBM_SETPOS, value, 0);
}

int Win32Toolkit::ProgressPosition() {
  HWND bar = Handle(ControlId::ProgressBar);
  return bar ? static_cast<int>(SendMessageA(bar, PBM_GETPOS, 0, 0)) : 0;
}

// The native step wraps round past the maximum; the bar stops there instead.
void Win32Toolkit::ProgressStepIt() {
  ProgressSetPosition(ProgressPosition() + progressStep_);
}

// One handler at a time: what a run lets through (a message sent to the window, a box's
// own loop) starts nothing new.
void Win32Toolkit::Deliver(ControlId control, ControlEvent event) {
  if (!sink_ || event == ControlEvent::None || Running()) return;
  struct Run {
    explicit Run(int& depth) : depth_(depth) { ++depth_; }
    ~Run() { --depth_; }
    int& depth_;
  } run(running_);
  sink_->DispatchEvent(control, event);
}

// The notifications that stand for the resource's events: a choice in the combo box's
// list or typing into its edit field (Change), a click in the file list or on a button
// (Click).
bool Win32Toolkit::OnCommand(unsigned code, int id) {
  const int index = id - kControlIdBase;
  if (index <= 0 || index >= kControlCount) return false;
  const ControlId control = static_cast<ControlId>(index);
  const ControlResource* resource = Resource(control);
  if (!resource) return false;
  if (suppressEvents_ > 0) return true;
  bool raises = false;
  switch (resource->kind) {
    case ControlKind::ComboBox:
      if (code == CBN_SELCHANGE) {
        // The edit field takes the item's text only after this notification; the
        // handler is to see it already.
        int selected = ComboIndex();
        HWND combo = Handle(control);
        LRESULT length = SendMessageA(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(selected), 0);
        if (selected >= 0 && length != CB_ERR) {
          std::string text(static_cast<std::size_t>(length) + 1, '\0');
          SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(selected),
                       reinterpret_cast<LPARAM>(&text[0]));
          text.resize(static_cast<std::size_t>(length));
          SetText(control, text);
        }
        raises = true;
      } else if (code == CBN_EDITCHANGE) {
        ForgetTypedSelection();
        raises = true;
      }
      break;
    case ControlKind::FileListBox:
      raises = code == LBN_SELCHANGE;
      break;
    case ControlKind::Button:
      raises = code == BN_CLICKED;
      break;
    default:
      break;
  }
  if (raises) {
    try {
      Deliver(control, resource->event);
    } catch (const std::exception& e) {
      ShowException(e.what());
    } catch (...) {
      ShowException("Unknown exception.");
    }
  }
  return true;
}
