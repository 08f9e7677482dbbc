// Building the window: its classes and window procedures, the controls from the
// resource, the tab order, the font and the layout at the window's DPI.
#include "toolkit/win32/Win32ToolkitParts.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include <commctrl.h>

using win32tk::CreateFormFont;
using win32tk::kDesignDpi;
using win32tk::SystemFunction;

namespace {

const char kPanelClass[] = "TPanel";
const char kApplicationClass[] = "TApplication";
const char kFontFace[] = "Tahoma";  // the resource's "System"/Big5 font lacks a usable face
constexpr int kComboDropItems = 8;
constexpr UINT kDpiChanged = 0x02E0;  // WM_DPICHANGED, newer than the headers' target

unsigned WindowDpi(HWND window) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow =
      SystemFunction<GetDpiForWindowFn>("user32.dll", "GetDpiForWindow");
  if (getDpiForWindow && window) {
    UINT dpi = getDpiForWindow(window);
    if (dpi) return dpi;
  }
  HDC screen = GetDC(nullptr);
  int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<unsigned>(dpi) : kDesignDpi;
}

Win32Toolkit* ToolkitOf(HWND window) {
  return reinterpret_cast<Win32Toolkit*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

void KeepToolkit(HWND window, LPARAM createParams) {
  auto* create = reinterpret_cast<CREATESTRUCTA*>(createParams);
  SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
}

// What every window holding controls does: pass the controls' notifications to the
// toolkit, paint labels on the button face, keep the busy cursor.
bool ContainerMessage(Win32Toolkit* toolkit, UINT message, WPARAM wParam, LPARAM lParam,
                      LRESULT* result) {
  if (!toolkit) return false;
  switch (message) {
    case WM_COMMAND:
      if (!lParam || !toolkit->OnCommand(HIWORD(wParam), LOWORD(wParam))) return false;
      *result = 0;
      return true;
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      *result = reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
      return true;
    }
    case WM_SETCURSOR:
      if (!toolkit->BusyCursorWanted()) return false;
      SetCursor(LoadCursor(nullptr, IDC_WAIT));
      *result = TRUE;
      return true;
    default:
      return false;
  }
}

LRESULT CALLBACK FormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) KeepToolkit(window, lParam);
  Win32Toolkit* toolkit = ToolkitOf(window);
  LRESULT result = 0;
  if (ContainerMessage(toolkit, message, wParam, lParam, &result)) return result;
  if (toolkit) {
    switch (message) {
      case WM_CLOSE:
        toolkit->OnFormClose();
        return 0;
      case WM_QUERYENDSESSION:
        // Logging off mid-flash would cut the drive off mid-commit.
        return toolkit->Running() ? FALSE : TRUE;
      case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_INACTIVE)
          toolkit->RememberFocus();
        else
          toolkit->RestoreFocus();
        return 0;
      case kDpiChanged:
        toolkit->OnDpiChanged(HIWORD(wParam), reinterpret_cast<const void*>(lParam));
        return 0;
    }
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// A raised panel, as the form designer draws one.
LRESULT CALLBACK PanelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) KeepToolkit(window, lParam);
  LRESULT result = 0;
  if (ContainerMessage(ToolkitOf(window), message, wParam, lParam, &result)) return result;
  if (message == WM_PAINT) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    DrawEdge(dc, &client, BDR_RAISEDOUTER, BF_RECT);
    EndPaint(window, &paint);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// A group box is a button: it would keep its children's notifications to itself. Subclassed
// the classic way: Windows 98's and 2000's comctl32 export no SetWindowSubclass by name.
WNDPROC buttonProc = nullptr;

LRESULT CALLBACK GroupBoxProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  if (ContainerMessage(ToolkitOf(window), message, wParam, lParam, &result)) return result;
  return CallWindowProcA(buttonProc, window, message, wParam, lParam);
}

// The application's own window: invisible, but its task-bar button carries the application
// title while the start-up boxes show and the main window does not yet. A click on the
// button leads to the box.
LRESULT CALLBACK ApplicationProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_ACTIVATE && LOWORD(wParam) != WA_INACTIVE) {
    HWND popup = GetLastActivePopup(window);
    if (popup && popup != window && IsWindowEnabled(popup)) {
      SetForegroundWindow(popup);
      return 0;
    }
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

void RegisterWindowClass(HINSTANCE instance, const char* name, WNDPROC procedure) {
  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
  windowClass.hIcon = LoadIcon(instance, MAKEINTRESOURCE(1));
  if (!windowClass.hIcon) windowClass.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = name;
  RegisterClassExA(&windowClass);
}

struct NativeKind {
  const char* windowClass;
  DWORD style;
  DWORD exStyle;
};

NativeKind NativeKindOf(const ControlResource& control) {
  switch (control.kind) {
    case ControlKind::Panel:
      return {kPanelClass, WS_CLIPSIBLINGS, WS_EX_CONTROLPARENT};
    case ControlKind::Label:
      return {"STATIC", SS_LEFT | SS_NOPREFIX, 0};
    case ControlKind::ComboBox:
      return {"COMBOBOX", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP, 0};
    case ControlKind::FileListBox:
      return {"LISTBOX", LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_TABSTOP,
              WS_EX_CLIENTEDGE};
    case ControlKind::GroupBox:
      // Clipping its children keeps the frame and caption from painting over them.
      return {"BUTTON", BS_GROUPBOX | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, WS_EX_CONTROLPARENT};
    case ControlKind::ProgressBar:
      return {PROGRESS_CLASSA, control.smooth ? DWORD{PBS_SMOOTH} : DWORD{0}, 0};
    case ControlKind::Button:
      return {"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0};
    case ControlKind::Form:
      break;
  }
  throw std::logic_error("not a child control");
}

}  // namespace

HFONT win32tk::CreateFormFont(const FormResource& form, unsigned dpi, int averageWidth) {
  return CreateFontA(MulDiv(std::abs(form.fontHeight), static_cast<int>(dpi), form.pixelsPerInch),
                     averageWidth, 0, 0, form.fontBold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_SWISS, kFontFace);
}

std::string win32tk::WindowText(HWND window) {
  int length = GetWindowTextLengthA(window);
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  int got = GetWindowTextA(window, &text[0], length + 1);
  text.resize(static_cast<std::size_t>(std::max(got, 0)));
  return text;
}

void Win32Toolkit::CreateWindowFrom(const FormResource& form, FormEventSink* sink) {
  form_ = &form;
  sink_ = sink;
  std::string formClass = std::string("T") + form.name;
  RegisterWindowClass(instance_, formClass.c_str(), FormProc);
  RegisterWindowClass(instance_, kPanelClass, PanelProc);
  RegisterWindowClass(instance_, kApplicationClass, ApplicationProc);
  application_ = CreateWindowExA(WS_EX_APPWINDOW, kApplicationClass, title_.c_str(),
                                 WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX, form.left, form.top, 0, 0,
                                 nullptr, nullptr, instance_, nullptr);
  if (application_) ShowWindow(application_, SW_SHOWNA);
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  window_ = CreateWindowExA(WS_EX_CONTROLPARENT, formClass.c_str(), "", style, form.left, form.top,
                            form.width, form.height, nullptr, nullptr, instance_, this);
  if (!window_) throw std::runtime_error("Error creating window.");
  dpi_ = WindowDpi(window_);
  MakeFont();
  for (std::size_t i = 0; i < form.controlCount; ++i) CreateControl(form.controls[i]);
  OrderTabStops();
  Layout(true);
}

void Win32Toolkit::CreateControl(const ControlResource& control) {
  NativeKind native = NativeKindOf(control);
  DWORD style = WS_CHILD | native.style;
  if (control.visible) style |= WS_VISIBLE;
  if (!control.enabled) style |= WS_DISABLED;
  const int id = kControlIdBase + static_cast<int>(control.id);
  HWND child = CreateWindowExA(native.exStyle, native.windowClass, control.caption, style, 0, 0, 0,
                               0, Handle(control.parent), reinterpret_cast<HMENU>(INT_PTR{id}),
                               instance_, this);
  if (!child) throw std::runtime_error(std::string("Error creating control ") + control.name);
  controls_[static_cast<int>(control.id)] = child;
  SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  if (control.kind == ControlKind::GroupBox) {
    SetWindowLongPtrA(child, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    buttonProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(child, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(GroupBoxProc)));
  }
  if (control.kind == ControlKind::ProgressBar) {
    progressMin_ = control.minimum;
    progressMax_ = control.maximum;
    SetProgressRange();
  }
}

// Tab navigation follows the Z order of siblings; put each parent's children in the
// resource's tab order, first on top.
void Win32Toolkit::OrderTabStops() {
  std::vector<const ControlResource*> order;
  for (std::size_t i = 0; i < form_->controlCount; ++i) order.push_back(&form_->controls[i]);
  std::stable_sort(order.begin(), order.end(),
                   [](const auto* a, const auto* b) { return a->tabOrder < b->tabOrder; });
  for (const ControlResource* control : order)
    SetWindowPos(Handle(control->id), HWND_BOTTOM, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void Win32Toolkit::MakeFont() {
  HFONT old = font_;
  font_ = CreateFormFont(*form_, dpi_, 0);
  for (HWND child : controls_)
    if (child) SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  if (old) DeleteObject(old);
}

// Places every control at the current DPI, and sizes the window's client area to its
// content (the form sizes itself).
void Win32Toolkit::Layout(bool placeWindow) {
  int contentWidth = 0, contentHeight = 0;
  for (std::size_t i = 0; i < form_->controlCount; ++i) {
    const ControlResource& c = form_->controls[i];
    HWND child = Handle(c.id);
    int left = Scale(c.left), top = Scale(c.top), width = Scale(c.width), height = Scale(c.height);
    if (c.kind == ControlKind::ComboBox) {
      // The window height of a drop-down combo box includes its open list.
      int itemHeight = Scale(c.itemHeight);
      SetWindowPos(child, nullptr, left, top, width, height + kComboDropItems * itemHeight + 2,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      SendMessageA(child, CB_SETMINVISIBLE, kComboDropItems, 0);
      FitComboHeight(child, height);
    } else {
      SetWindowPos(child, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    // The designed item height fitted the designed font; ours may be taller.
    if (c.kind == ControlKind::FileListBox && c.itemHeight > 0) {
      int itemHeight = std::max(Scale(c.itemHeight), FontCellHeight(child));
      SendMessageA(child, LB_SETITEMHEIGHT, 0, MAKELPARAM(itemHeight, 0));
    }
    if (c.parent == ControlId::Form) {
      contentWidth = std::max(contentWidth, left + width);
      contentHeight = std::max(contentHeight, top + height);
    }
  }
  if (!form_->autoSize || contentWidth == 0) {
    contentWidth = Scale(form_->width);
    contentHeight = Scale(form_->height);
  }
  RECT frame = {0, 0, contentWidth, contentHeight};
  const DWORD style = static_cast<DWORD>(GetWindowLongPtrA(window_, GWL_STYLE));
  AdjustWindowRectEx(&frame, style, FALSE, WS_EX_CONTROLPARENT);
  UINT flags = SWP_NOZORDER | SWP_NOACTIVATE | (placeWindow ? 0 : SWP_NOMOVE);
  SetWindowPos(window_, nullptr, Scale(form_->left), Scale(form_->top), frame.right - frame.left,
               frame.bottom - frame.top, flags);
  // The frame may differ from what the system predicts (per-monitor DPI, Wine's frames):
  // correct by what the client area actually got.
  RECT client, outer;
  GetClientRect(window_, &client);
  GetWindowRect(window_, &outer);
  int dx = contentWidth - client.right, dy = contentHeight - client.bottom;
  if (dx || dy)
    SetWindowPos(window_, nullptr, 0, 0, outer.right - outer.left + dx,
                 outer.bottom - outer.top + dy, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
  FitTexts();
}

int Win32Toolkit::FontCellHeight(HWND control) const {
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(dc, font_);
  TEXTMETRICA metrics = {};
  GetTextMetricsA(dc, &metrics);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return metrics.tmHeight;
}

// The closed height of a drop-down combo box follows the height asked for its selection
// field, by a margin that differs between systems: ask, measure, correct.
void Win32Toolkit::FitComboHeight(HWND combo, int height) {
  int request = static_cast<int>(SendMessageA(combo, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0));
  for (int pass = 0; pass < 3; ++pass) {
    RECT box;
    GetWindowRect(combo, &box);
    int error = height - (box.bottom - box.top);
    if (error == 0 || request + error <= 0) return;
    request += error;
    SendMessageA(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), request);
  }
}

void Win32Toolkit::OnDpiChanged(unsigned dpi, const void* suggestedRect) {
  dpi_ = dpi ? dpi : kDesignDpi;
  MakeFont();
  const RECT* suggested = static_cast<const RECT*>(suggestedRect);
  if (suggested)
    SetWindowPos(window_, nullptr, suggested->left, suggested->top, 0, 0,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOSIZE);
  Layout(false);
  RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}
