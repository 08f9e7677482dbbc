// Our headers come first: <windows.h> defines macros that would rewrite their names.
#include "toolkit/win32/Win32Toolkit.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "toolkit/FileMask.h"

#include <windows.h>
#include <commctrl.h>

namespace {

const char kPanelClass[] = "TPanel";
const char kApplicationClass[] = "TApplication";
const char kFontFace[] = "Tahoma";  // the resource's "System"/Big5 font lacks a usable face
constexpr int kDesignDpi = 96;
constexpr int kComboDropItems = 8;
constexpr int kEditMargins = 4;       // a combo box's edit field keeps from its text
constexpr int kCaptionInset = 8;      // a group box's caption from its sides, and more
constexpr int kButtonMargin = 4;      // a push button's caption from its sides
constexpr UINT kDpiChanged = 0x02E0;  // WM_DPICHANGED, newer than the headers' target

// ICC_STANDARD_CLASSES, of comctl32 6 and newer than the headers' target.
constexpr DWORD kStandardClasses = 0x4000;

// The form's font at the DPI; an average character width other than 0 condenses it.
// The resource names a bitmap font whose 16 pixels are its whole cell, and the boxes are
// drawn round that cell (16-pixel list items, the progress bar 16 pixels below the
// caption's top): our font is asked for by its cell height too, so its descenders fit.
HFONT CreateFormFont(const FormResource& form, unsigned dpi, int averageWidth) {
  return CreateFontA(MulDiv(std::abs(form.fontHeight), static_cast<int>(dpi), form.pixelsPerInch),
                     averageWidth, 0, 0, form.fontBold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_SWISS, kFontFace);
}

// How wide the text is in the font, and the font's average character width.
SIZE TextExtent(HWND window, HFONT font, const std::string& text, int* averageWidth) {
  HDC dc = GetDC(window);
  HGDIOBJ old = SelectObject(dc, font);
  SIZE size = {};
  GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
  TEXTMETRICA metrics = {};
  GetTextMetricsA(dc, &metrics);
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  if (averageWidth) *averageWidth = metrics.tmAveCharWidth;
  return size;
}

struct SuppressEvents {
  explicit SuppressEvents(int& counter) : counter_(counter) { ++counter_; }
  ~SuppressEvents() { --counter_; }
  int& counter_;
};

// Functions of newer systems, looked up at run time so the program still starts on old ones.
template <class Fn>
Fn SystemFunction(const char* module, const char* name) {
  FARPROC proc = GetProcAddress(GetModuleHandleA(module), name);
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

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

std::string WindowText(HWND window) {
  int length = GetWindowTextLengthA(window);
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  int got = GetWindowTextA(window, &text[0], length + 1);
  text.resize(static_cast<std::size_t>(std::max(got, 0)));
  return text;
}

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

// The texts a control shows on one line, and the pixels it has for them.
std::vector<std::string> Win32Toolkit::OneLineTexts(ControlId control, int* room) const {
  HWND window = Handle(control);
  std::vector<std::string> texts = {WindowText(window)};
  RECT box = {};
  GetClientRect(window, &box);
  *room = static_cast<int>(box.right);
  const ControlKind kind = Resource(control)->kind;
  if (kind == ControlKind::GroupBox) *room -= 2 * Scale(kCaptionInset);
  if (kind == ControlKind::Button) *room -= 2 * Scale(kButtonMargin);
  if (kind == ControlKind::ComboBox) {
    COMBOBOXINFO info = {};
    info.cbSize = sizeof info;
    RECT format = {};
    if (GetComboBoxInfo(window, &info) && info.hwndItem) {
      // The edit field's formatting rectangle, less a pixel for the caret at the end.
      SendMessageA(info.hwndItem, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&format));
      *room = static_cast<int>(format.right - format.left) - 1;
    }
    int count = static_cast<int>(SendMessageA(window, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
      std::string item(static_cast<std::size_t>(SendMessageA(window, CB_GETLBTEXTLEN, i, 0)), '\0');
      SendMessageA(window, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(&item[0]));
      texts.push_back(item);
    }
  }
  return texts;
}

// Our font is wider than the one the window was designed with: a caption too wide for
// its label would wrap its last words out of the label's box, a combo box would scroll
// its entry's start out of sight, and a group box or button would cut its caption off.
// Such a control gets our font condensed.
void Win32Toolkit::FitText(ControlId control) {
  HWND window = Handle(control);
  int room = 0, average = 0;
  const std::vector<std::string> texts = OneLineTexts(control, &room);
  auto widest = [&](HFONT font, int* averageWidth) {
    int most = 0;
    for (const std::string& text : texts)
      most = std::max(most, static_cast<int>(TextExtent(window, font, text, averageWidth).cx));
    return most;
  };
  const int needed = widest(font_, &average);
  HFONT font = font_;
  if (needed > room && room > 0 && average > 1) {
    // Widths are whole pixels: a proportional guess, narrowed until the texts fit, but
    // never below three fifths of the font's own width.
    int narrowest = std::max(1, average * 3 / 5);
    for (int width = std::max(narrowest, average * room / needed); width >= narrowest; --width) {
      if (font != font_) DeleteObject(font);
      font = CreateFormFont(*form_, dpi_, width);
      if (widest(font, nullptr) <= room) break;
    }
  }
  HFONT& kept = fittedFonts_[static_cast<int>(control)];
  if (font == font_ && !kept) return;  // it has our font already
  SendMessageA(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  if (kept) DeleteObject(kept);
  kept = font == font_ ? nullptr : font;
}

bool Win32Toolkit::ShowsOneLineText(ControlId control) const {
  const ControlResource* resource = Resource(control);
  if (!resource) return false;
  switch (resource->kind) {
    case ControlKind::Label:
    case ControlKind::ComboBox:
    case ControlKind::GroupBox:
    case ControlKind::Button:
      return true;
    default:
      return false;
  }
}

void Win32Toolkit::FitTexts() {
  for (std::size_t i = 0; i < form_->controlCount; ++i)
    if (ShowsOneLineText(form_->controls[i].id)) FitText(form_->controls[i].id);
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

void Win32Toolkit::SetBusyCursor(bool busy) {
  busy_ = busy;
  SetCursor(LoadCursor(nullptr, busy ? IDC_WAIT : IDC_ARROW));
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
