// The Windows toolkit's real window in this process: every text the program shows in it
// fits the control that shows it, whole and with its descenders, at 96 and 144 dpi; and
// what it lets through while a handler waits for a drive command. Windows need a display:
// only the CTest entry that starts one runs these.
#ifdef _WIN32

// Our headers come first: <windows.h> defines macros that would rewrite their names.
#include "toolkit/win32/Win32Toolkit.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "app/FlashFormResource.h"
#include "tests/unit/WindowTexts.h"

#include <windows.h>

namespace {

class CountingSink : public FormEventSink {
 public:
  void DispatchEvent(ControlId, ControlEvent) override {
    ++events;
    if (onEvent) onEvent();
  }
  int events = 0;
  std::function<void()> onEvent;
};

struct TextMetrics {
  int width;  // of the text
  int cell;   // ascent and descent of the font
};

// As the control draws it: in the font it was given last.
TextMetrics Measure(HWND control, const std::string& text) {
  HFONT font = reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0));
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(dc, font);
  SIZE size = {};
  GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
  TEXTMETRICA metrics = {};
  GetTextMetricsA(dc, &metrics);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return {static_cast<int>(size.cx), static_cast<int>(metrics.tmHeight)};
}

RECT Client(HWND window) {
  RECT box = {};
  GetClientRect(window, &box);
  return box;
}

class Win32Window : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("KF_WINDOW_TESTS")) GTEST_SKIP() << "needs the display of its CTest entry";
    tk_ = std::make_unique<Win32Toolkit>(GetModuleHandleA(nullptr));
    tk_->CreateWindowFrom(kFlashFormResource, &sink_);
  }
  HWND H(ControlId control) const { return tk_->Handle(control); }

  std::unique_ptr<Win32Toolkit> tk_;
  CountingSink sink_;
};

class Win32WindowFit : public Win32Window, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    Win32Window::SetUp();
    if (tk_) tk_->OnDpiChanged(static_cast<unsigned>(Dpi()), nullptr);
  }
  int Dpi() const { return GetParam(); }
  int Scale(int value) const { return MulDiv(value, Dpi(), 96); }
};

TEST_P(Win32WindowFit, EveryTextShowsWholeInItsControl) {
  // The status line: the caption is drawn from 7 pixels in on either side, on the frame
  // line above the progress bar.
  HWND group = H(ControlId::GroupBox2);
  RECT bar = {};
  GetWindowRect(H(ControlId::ProgressBar), &bar);
  MapWindowPoints(nullptr, group, reinterpret_cast<POINT*>(&bar), 2);
  const int captionRoom = Client(group).right - 2 * Scale(7);
  HWND files = H(ControlId::FileListBox1);
  const int listRoom = Client(files).right - GetSystemMetrics(SM_CXVSCROLL) - Scale(2);
  const std::string name = window_texts::LongestListedName(
      [&](const std::string& text) { return Measure(files, text).width; }, listRoom);
  for (const std::string& text : window_texts::StatusTexts(name)) {
    SCOPED_TRACE(text);
    tk_->SetText(ControlId::GroupBox2, text);
    const TextMetrics m = Measure(group, text);
    EXPECT_LE(m.width, captionRoom);
    EXPECT_LE(m.cell, bar.top) << "descenders under the progress bar";
  }

  HWND label = H(ControlId::SelectDriveLabel);
  for (const std::string& text : window_texts::LabelTexts()) {
    SCOPED_TRACE(text);
    tk_->SetText(ControlId::SelectDriveLabel, text);
    const TextMetrics m = Measure(label, text);
    EXPECT_LE(m.width, Client(label).right);
    EXPECT_LE(m.cell, Client(label).bottom);
  }

  HWND combo = H(ControlId::ComboBox);
  HWND edit = FindWindowExA(combo, nullptr, "Edit", nullptr);
  ASSERT_NE(edit, nullptr);
  RECT field = {};
  SendMessageA(edit, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&field));
  for (const std::string& text : window_texts::ComboTexts()) tk_->ComboAdd(text);
  for (const std::string& text : window_texts::ComboTexts()) {
    SCOPED_TRACE(text);
    const TextMetrics m = Measure(combo, text);
    EXPECT_LE(m.width, field.right - field.left - 1) << "the entry's start scrolls away";
    EXPECT_LE(m.cell, Client(edit).bottom);
  }

  HWND button = H(ControlId::FlashButton);
  for (const char* text : {"FLASH", "Build"}) {
    SCOPED_TRACE(text);
    tk_->SetText(ControlId::FlashButton, text);
    const TextMetrics m = Measure(button, text);
    EXPECT_LE(m.width, Client(button).right - 2 * Scale(3));
    EXPECT_LE(m.cell, Client(button).bottom);
  }

  // The file list shows two files as designed, each with its descenders.
  const int item = static_cast<int>(SendMessageA(files, LB_GETITEMHEIGHT, 0, 0));
  EXPECT_GE(item, Measure(files, name).cell);
  EXPECT_LE(2 * item, Client(files).bottom);
}

INSTANTIATE_TEST_SUITE_P(Dpi, Win32WindowFit, ::testing::Values(96, 144));

// While a handler waits for a drive command the window paints, but the user's clicks and
// keys are dropped (not left for after the run), close and log-off are refused, and no
// second handler starts.
TEST_F(Win32Window, AWaitInAHandlerPaintsButDropsInputAndRefusesToClose) {
  HWND window = H(ControlId::Form), button = H(ControlId::FlashButton);
  HWND group = H(ControlId::GroupBox2);
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);
  bool painted = false, inputLeft = true, closeLeft = true, openDuringTheRun = false;
  LRESULT endSession = TRUE;
  sink_.onEvent = [&] {
    if (sink_.events > 1) return;
    InvalidateRect(group, nullptr, TRUE);
    PostMessageA(button, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    PostMessageA(button, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    PostMessageA(button, WM_KEYDOWN, VK_SPACE, 0);
    PostMessageA(window, WM_CLOSE, 0, 0);
    PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    tk_->KeepAlive();
    RECT dirty;
    painted = !GetUpdateRect(group, &dirty, FALSE);
    MSG message;
    inputLeft = PeekMessageA(&message, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_NOREMOVE) ||
                PeekMessageA(&message, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_NOREMOVE);
    closeLeft = PeekMessageA(&message, nullptr, WM_CLOSE, WM_CLOSE, PM_NOREMOVE) ||
                PeekMessageA(&message, nullptr, WM_SYSCOMMAND, WM_SYSCOMMAND, PM_NOREMOVE);
    SendMessageA(window, WM_CLOSE, 0, 0);
    endSession = SendMessageA(window, WM_QUERYENDSESSION, 0, 0);
    openDuringTheRun = IsWindowVisible(window);
  };
  SendMessageA(button, BM_CLICK, 0, 0);
  MSG message;
  for (DWORD start = GetTickCount(); GetTickCount() - start < 300; Sleep(10))
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  EXPECT_TRUE(painted);
  EXPECT_FALSE(inputLeft);
  EXPECT_FALSE(closeLeft);
  EXPECT_EQ(endSession, FALSE);
  EXPECT_TRUE(openDuringTheRun);
  EXPECT_EQ(sink_.events, 1);
  EXPECT_TRUE(IsWindowVisible(window)) << "a close request of the run was kept for after it";
}

}  // namespace

#endif  // _WIN32
