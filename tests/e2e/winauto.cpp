// A small automation client for Windows programs under test: finds their top-level
// windows (main windows and dialog boxes), reads what they show and acts on them the way
// a user would, so that the program's own handlers run.
//
// Commands come one per line on standard input (or one per command-line argument); each
// answers with one line of JSON on standard output, {"ok":true,...} or
// {"ok":false,"error":"..."}. Arguments are separated by blanks; an argument with blanks
// is written as a JSON string ("a b"). Texts are bytes of the ANSI code page; bytes above
// 0x7F come out as \u00XX.
//
//   list                                  the visible and hidden top-level windows
//   wait SEL [MS]                         until a visible window matches; its tree
//   gone SEL [MS]                         until no visible window matches
//   dump SEL                              the window and all its controls
//   click SEL CTRL                        presses a button (refused when disabled)
//   select SEL CTRL INDEX                 picks an item of a combo box or list box
//   type SEL CTRL TEXT                    replaces the text of an edit or combo box by typing
//   key SEL tab|enter|escape|space        a key press to the window's focused control
//   focus SEL                             which control has the keyboard focus
//   close SEL                             asks the window to close (WM_CLOSE)
//   sysclose SEL                          the close a window manager or task bar asks for
//                                         (WM_SYSCOMMAND SC_CLOSE)
//   probe SEL [MS]                        whether the window answers a message within MS
//                                         (1000): {"answered":...,"ms":...}
//   cover SEL MS                          a window of this client's over it for MS, gone
//   sleep MS
//   quit
//
// SEL: dialog (a dialog box, class #32770), class:NAME, title:TEXT or hwnd:NUMBER; the
// topmost visible match wins. CTRL: id:NUMBER or text:TEXT (the text without '&',
// letters without regard to case).
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kDefaultWaitMs = 10000;
constexpr UINT kSendTimeoutMs = 2000;

// ---- JSON output -------------------------------------------------------------------

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c > 0x7E) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// An object written field by field.
class Object {
 public:
  Object& Add(const char* key, const std::string& rawJson) {
    body_ += (body_.empty() ? "" : ",") + Quote(key) + ":" + rawJson;
    return *this;
  }
  Object& Text(const char* key, const std::string& value) { return Add(key, Quote(value)); }
  Object& Int(const char* key, long long value) { return Add(key, std::to_string(value)); }
  Object& Bool(const char* key, bool value) { return Add(key, value ? "true" : "false"); }
  std::string Str() const { return "{" + body_ + "}"; }

 private:
  std::string body_;
};

std::string Array(const std::vector<std::string>& rawItems) {
  std::string out = "[";
  for (std::size_t i = 0; i < rawItems.size(); ++i) out += (i ? "," : "") + rawItems[i];
  return out + "]";
}

std::string TextArray(const std::vector<std::string>& texts) {
  std::vector<std::string> quoted;
  for (const auto& t : texts) quoted.push_back(Quote(t));
  return Array(quoted);
}

struct Failure {
  std::string message;
};

// ---- Command lines ------------------------------------------------------------------

std::vector<std::string> SplitArguments(const std::string& line) {
  std::vector<std::string> args;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    if (i >= line.size()) break;
    std::string arg;
    if (line[i] != '"') {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
        arg += line[i++];
      args.push_back(arg);
      continue;
    }
    for (++i; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] != '\\' || i + 1 >= line.size()) {
        arg += line[i];
        continue;
      }
      char e = line[++i];
      if (e == 'n')
        arg += '\n';
      else if (e == 't')
        arg += '\t';
      else if (e == 'r')
        arg += '\r';
      else if (e == 'u' && i + 4 < line.size()) {
        arg += static_cast<char>(std::strtol(line.substr(i + 1, 4).c_str(), nullptr, 16));
        i += 4;
      } else
        arg += e;
    }
    if (i >= line.size()) throw Failure{"unterminated string"};
    ++i;
    args.push_back(arg);
  }
  return args;
}

DWORD Number(const std::string& text) {
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end) throw Failure{"not a number: " + text};
  return static_cast<DWORD>(value);
}

// ---- Reading windows ------------------------------------------------------------------

std::string ClassOf(HWND window) {
  char name[256] = "";
  GetClassNameA(window, name, sizeof name);
  return name;
}

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                           &result))
    throw Failure{"window does not answer"};
  return static_cast<LRESULT>(result);
}

// Texts travel as UTF-16 between processes: the system converts them reliably only that
// way. They are given back in the ANSI code page.
std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return "";
  int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string text(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), &text[0], n, nullptr,
                      nullptr);
  return text;
}

std::string TextOf(HWND window) {
  DWORD_PTR length = 0;
  if (SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                          &length)) {
    std::wstring text(length + 1, L'\0');
    DWORD_PTR got = 0;
    if (SendMessageTimeoutW(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(&text[0]),
                            SMTO_ABORTIFHUNG, kSendTimeoutMs, &got)) {
      text.resize(got);
      return Narrow(text);
    }
  }
  // A program busy in a handler still has its windows' stored captions.
  WCHAR wide[1024] = L"";
  int n = InternalGetWindowText(window, wide, 1024);
  return Narrow(std::wstring(wide, static_cast<std::size_t>(std::max(n, 0))));
}

LRESULT SendWide(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                           &result))
    throw Failure{"window does not answer"};
  return static_cast<LRESULT>(result);
}

std::vector<std::string> Items(HWND window, UINT countMessage, UINT lengthMessage,
                               UINT textMessage) {
  std::vector<std::string> items;
  LRESULT count = SendWide(window, countMessage, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    LRESULT length = SendWide(window, lengthMessage, static_cast<WPARAM>(i), 0);
    if (length < 0) length = 0;
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    LRESULT got =
        SendWide(window, textMessage, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&text[0]));
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    items.push_back(Narrow(text));
  }
  return items;
}

unsigned DpiOf(HWND window) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  FARPROC proc = GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow");
  auto getDpi = reinterpret_cast<GetDpiForWindowFn>(reinterpret_cast<void (*)()>(proc));
  if (getDpi && getDpi(window)) return getDpi(window);
  HDC screen = GetDC(nullptr);
  int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return static_cast<unsigned>(dpi);
}

const char* IconName(HWND iconStatic) {
  HICON icon = reinterpret_cast<HICON>(Send(iconStatic, STM_GETICON, 0, 0));
  if (!icon) return "";
  struct Known {
    LPCSTR id;
    const char* name;
  };
  static const Known known[] = {{IDI_WARNING, "warning"},
                                {IDI_ERROR, "error"},
                                {IDI_QUESTION, "question"},
                                {IDI_INFORMATION, "information"}};
  for (const Known& k : known)
    if (LoadIconA(nullptr, k.id) == icon) return k.name;
  return "other";
}

void AddKindDetails(HWND window, const std::string& windowClass, Object& out) {
  if (!lstrcmpiA(windowClass.c_str(), "ComboBox")) {
    out.Add("items", TextArray(Items(window, CB_GETCOUNT, CB_GETLBTEXTLEN, CB_GETLBTEXT)));
    out.Int("index", Send(window, CB_GETCURSEL, 0, 0));
    out.Bool("dropped", Send(window, CB_GETDROPPEDSTATE, 0, 0) != 0);
  } else if (!lstrcmpiA(windowClass.c_str(), "ListBox")) {
    out.Add("items", TextArray(Items(window, LB_GETCOUNT, LB_GETTEXTLEN, LB_GETTEXT)));
    out.Int("index", Send(window, LB_GETCURSEL, 0, 0));
    out.Int("item_height", Send(window, LB_GETITEMHEIGHT, 0, 0));
  } else if (!lstrcmpiA(windowClass.c_str(), PROGRESS_CLASSA)) {
    out.Int("pos", static_cast<int>(Send(window, PBM_GETPOS, 0, 0)));
    out.Int("min", static_cast<int>(Send(window, PBM_GETRANGE, TRUE, 0)));
    out.Int("max", static_cast<int>(Send(window, PBM_GETRANGE, FALSE, 0)));
  } else if (!lstrcmpiA(windowClass.c_str(), "Edit")) {
    // For a one-line field: the first character in sight (text scrolled out of view).
    out.Int("first_visible", static_cast<int>(Send(window, EM_GETFIRSTVISIBLELINE, 0, 0)));
  } else if (!lstrcmpiA(windowClass.c_str(), "Static") &&
             (GetWindowLongA(window, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
    out.Text("icon", IconName(window));
  }
}

std::string Describe(HWND window, bool withChildren);

std::string Children(HWND parent) {
  std::vector<std::string> children;
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    children.push_back(Describe(child, true));
  return Array(children);
}

// Children give their place in the parent's client area, top-level windows on the screen.
std::string Describe(HWND window, bool withChildren) {
  const std::string windowClass = ClassOf(window);
  const LONG style = GetWindowLongA(window, GWL_STYLE);
  const bool child = (style & WS_CHILD) != 0;
  RECT box, client;
  GetWindowRect(window, &box);
  GetClientRect(window, &client);
  if (child) MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&box), 2);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  Object out;
  out.Int("hwnd", reinterpret_cast<INT_PTR>(window))
      .Text("class", windowClass)
      .Text("text", TextOf(window))
      .Int("id", child ? GetDlgCtrlID(window) : 0)
      .Bool("visible", IsWindowVisible(window) != 0)
      .Bool("enabled", IsWindowEnabled(window) != 0)
      .Int("style", static_cast<DWORD>(style))
      .Int("x", box.left)
      .Int("y", box.top)
      .Int("w", box.right - box.left)
      .Int("h", box.bottom - box.top)
      .Int("client_w", client.right)
      .Int("client_h", client.bottom);
  if (!child) {
    POINT origin = {0, 0};
    ClientToScreen(window, &origin);
    out.Int("client_x", origin.x).Int("client_y", origin.y).Int("dpi", DpiOf(window));
    out.Int("pid", process);
    HWND owner = GetWindow(window, GW_OWNER);
    out.Int("owner", reinterpret_cast<INT_PTR>(owner));
    out.Int("exstyle", static_cast<DWORD>(GetWindowLongA(window, GWL_EXSTYLE)));
  }
  AddKindDetails(window, windowClass, out);
  if (withChildren) out.Add("children", Children(window));
  return out.Str();
}

// ---- Finding windows ------------------------------------------------------------------

struct Selector {
  std::string windowClass, title;
  HWND handle = nullptr;
};

Selector ParseSelector(const std::string& text) {
  Selector s;
  if (text == "dialog")
    s.windowClass = "#32770";
  else if (text.rfind("class:", 0) == 0)
    s.windowClass = text.substr(6);
  else if (text.rfind("title:", 0) == 0)
    s.title = text.substr(6);
  else if (text.rfind("hwnd:", 0) == 0)
    s.handle = reinterpret_cast<HWND>(static_cast<INT_PTR>(Number(text.substr(5))));
  else
    throw Failure{"bad selector: " + text};
  return s;
}

bool Matches(HWND window, const Selector& s) {
  if (s.handle) return window == s.handle;
  if (!s.windowClass.empty() && ClassOf(window) != s.windowClass) return false;
  if (!s.title.empty() && TextOf(window) != s.title) return false;
  return true;
}

BOOL CALLBACK CollectForeign(HWND window, LPARAM list) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != GetCurrentProcessId())
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  return TRUE;
}

std::vector<HWND> TopLevelWindows() {
  std::vector<HWND> windows;
  EnumWindows(CollectForeign, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

HWND FindVisible(const Selector& s) {
  if (s.handle) return IsWindow(s.handle) && IsWindowVisible(s.handle) ? s.handle : nullptr;
  for (HWND window : TopLevelWindows())
    if (IsWindowVisible(window) && Matches(window, s)) return window;
  return nullptr;
}

HWND Need(const std::string& selector) {
  HWND window = FindVisible(ParseSelector(selector));
  if (!window) throw Failure{"no visible window " + selector};
  return window;
}

std::string Plain(const std::string& caption) {
  std::string out;
  for (char c : caption)
    if (c != '&') out += c;
  return out;
}

HWND FindControl(HWND parent, const std::string& selector) {
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (selector.rfind("id:", 0) == 0 &&
        GetDlgCtrlID(child) == static_cast<int>(Number(selector.substr(3))))
      return child;
    if (selector.rfind("text:", 0) == 0 &&
        !lstrcmpiA(Plain(TextOf(child)).c_str(), selector.substr(5).c_str()))
      return child;
    if (HWND inner = FindControl(child, selector)) return inner;
  }
  return nullptr;
}

HWND NeedControl(HWND window, const std::string& selector) {
  if (selector.rfind("id:", 0) != 0 && selector.rfind("text:", 0) != 0)
    throw Failure{"bad control: " + selector};
  HWND control = FindControl(window, selector);
  if (!control) throw Failure{"no control " + selector};
  return control;
}

// ---- Acting ---------------------------------------------------------------------------

void RequireUsable(HWND control) {
  if (!IsWindowVisible(control)) throw Failure{"control is hidden"};
  if (!IsWindowEnabled(control)) throw Failure{"control is disabled"};
}

// The notification a control sends its parent when the user changes it.
void Notify(HWND control, WORD code) {
  PostMessageA(GetParent(control), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), code),
               reinterpret_cast<LPARAM>(control));
}

void Select(HWND control, int index) {
  RequireUsable(control);
  const std::string windowClass = ClassOf(control);
  if (!lstrcmpiA(windowClass.c_str(), "ComboBox")) {
    if (Send(control, CB_SETCURSEL, static_cast<WPARAM>(index), 0) == CB_ERR && index >= 0)
      throw Failure{"no such item"};
    Notify(control, CBN_SELCHANGE);
  } else if (!lstrcmpiA(windowClass.c_str(), "ListBox")) {
    if (Send(control, LB_SETCURSEL, static_cast<WPARAM>(index), 0) == LB_ERR && index >= 0)
      throw Failure{"no such item"};
    Notify(control, LBN_SELCHANGE);
  } else {
    throw Failure{"not a combo box or list box"};
  }
}

void Type(HWND control, const std::string& text) {
  RequireUsable(control);
  HWND edit = control;
  if (!lstrcmpiA(ClassOf(control).c_str(), "ComboBox"))
    edit = FindWindowExA(control, nullptr, "Edit", nullptr);
  if (!edit) throw Failure{"no edit field"};
  Send(edit, EM_SETSEL, 0, -1);
  if (text.empty()) PostMessageA(edit, WM_CHAR, VK_BACK, 1);
  for (unsigned char c : text) PostMessageA(edit, WM_CHAR, c, 1);
}

HWND FocusOf(HWND window) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return nullptr;
  return info.hwndFocus;
}

void Key(HWND window, const std::string& name) {
  struct Named {
    const char* name;
    WPARAM key;
  };
  static const Named keys[] = {
      {"tab", VK_TAB}, {"enter", VK_RETURN}, {"escape", VK_ESCAPE}, {"space", VK_SPACE}};
  for (const Named& k : keys) {
    if (name != k.name) continue;
    HWND target = FocusOf(window);
    if (!target) target = window;
    UINT scan = MapVirtualKeyA(static_cast<UINT>(k.key), 0);
    PostMessageA(target, WM_KEYDOWN, k.key, 1 | (scan << 16));
    PostMessageA(target, WM_KEYUP, k.key, 1 | (scan << 16) | 0xC0000000u);
    return;
  }
  throw Failure{"unknown key " + name};
}

// As the system judges a hung window: no answer within the limit, or marked hung already.
std::string Probe(HWND window, DWORD limitMs) {
  const DWORD start = GetTickCount();
  DWORD_PTR result = 0;
  bool answered = SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, limitMs,
                                      &result) != 0;
  return Object().Bool("answered", answered).Int("ms", GetTickCount() - start).Str();
}

// A plain window of ours over the other one's place on the screen, shown for a while and
// destroyed: what lay under it must be painted again by its owner.
void Cover(HWND window, DWORD ms) {
  static const char kClass[] = "WinautoCover";
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = DefWindowProcA;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  windowClass.lpszClassName = kClass;
  RegisterClassA(&windowClass);
  RECT box;
  GetWindowRect(window, &box);
  const DWORD exStyle = WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE;
  HWND cover = CreateWindowExA(exStyle, kClass, "", WS_POPUP | WS_VISIBLE, box.left, box.top,
                               box.right - box.left, box.bottom - box.top, nullptr, nullptr,
                               GetModuleHandleA(nullptr), nullptr);
  if (!cover) throw Failure{"cannot create a covering window"};
  const DWORD start = GetTickCount();
  MSG message;
  while (GetTickCount() - start < ms) {
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    Sleep(10);
  }
  DestroyWindow(cover);
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
}

// ---- Commands ---------------------------------------------------------------------------

void NeedArgs(const std::vector<std::string>& args, std::size_t count) {
  if (args.size() < count) throw Failure{"missing arguments to " + args[0]};
}

std::string Run(const std::vector<std::string>& args, bool& quit) {
  const std::string& command = args[0];
  Object ok;
  ok.Bool("ok", true);
  if (command == "quit") {
    quit = true;
  } else if (command == "sleep") {
    NeedArgs(args, 2);
    Sleep(Number(args[1]));
  } else if (command == "list") {
    std::vector<std::string> windows;
    for (HWND window : TopLevelWindows()) windows.push_back(Describe(window, false));
    ok.Add("windows", Array(windows));
  } else if (command == "wait" || command == "gone") {
    NeedArgs(args, 2);
    Selector selector = ParseSelector(args[1]);
    DWORD timeout = args.size() > 2 ? Number(args[2]) : kDefaultWaitMs;
    const DWORD start = GetTickCount();
    HWND found = FindVisible(selector);
    while ((command == "wait") != (found != nullptr)) {
      if (GetTickCount() - start >= timeout) throw Failure{"timed out waiting: " + args[1]};
      Sleep(50);
      found = FindVisible(selector);
    }
    if (found) ok.Add("window", Describe(found, true));
  } else if (command == "dump") {
    NeedArgs(args, 2);
    ok.Add("window", Describe(Need(args[1]), true));
  } else if (command == "click") {
    NeedArgs(args, 3);
    HWND button = NeedControl(Need(args[1]), args[2]);
    RequireUsable(button);
    PostMessageA(button, BM_CLICK, 0, 0);
  } else if (command == "select") {
    NeedArgs(args, 4);
    Select(NeedControl(Need(args[1]), args[2]),
           static_cast<int>(std::strtol(args[3].c_str(), nullptr, 0)));
  } else if (command == "type") {
    NeedArgs(args, 4);
    Type(NeedControl(Need(args[1]), args[2]), args[3]);
  } else if (command == "key") {
    NeedArgs(args, 3);
    Key(Need(args[1]), args[2]);
  } else if (command == "focus") {
    NeedArgs(args, 2);
    HWND focus = FocusOf(Need(args[1]));
    ok.Add("focus", focus ? Describe(focus, false) : "null");
  } else if (command == "close") {
    NeedArgs(args, 2);
    PostMessageA(Need(args[1]), WM_CLOSE, 0, 0);
  } else if (command == "sysclose") {
    NeedArgs(args, 2);
    PostMessageA(Need(args[1]), WM_SYSCOMMAND, SC_CLOSE, 0);
  } else if (command == "probe") {
    NeedArgs(args, 2);
    ok.Add("probe", Probe(Need(args[1]), args.size() > 2 ? Number(args[2]) : 1000));
  } else if (command == "cover") {
    NeedArgs(args, 3);
    Cover(Need(args[1]), Number(args[2]));
  } else {
    throw Failure{"unknown command " + command};
  }
  return ok.Str();
}

// Returns false once "quit" was given.
bool Answer(const std::string& line) {
  bool quit = false;
  std::string reply;
  try {
    std::vector<std::string> args = SplitArguments(line);
    if (args.empty()) return true;
    reply = Run(args, quit);
  } catch (const Failure& failure) {
    reply = Object().Bool("ok", false).Text("error", failure.message).Str();
  }
  std::fputs((reply + "\n").c_str(), stdout);
  std::fflush(stdout);
  return !quit;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    for (int i = 1; i < argc; ++i)
      if (!Answer(argv[i])) break;
    return 0;
  }
  char buffer[8192];
  while (std::fgets(buffer, sizeof buffer, stdin)) {
    std::string line = buffer;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (!Answer(line)) break;
  }
  return 0;
}
