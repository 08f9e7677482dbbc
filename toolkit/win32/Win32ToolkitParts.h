// What the Win32 toolkit's own files share: the form's font, window texts, the DPI the
// window was designed at, and the lookup of newer systems' functions. Not for the
// program's code.
#pragma once

// Our headers come first: <windows.h> defines macros that would rewrite their names.
#include "toolkit/win32/Win32Toolkit.h"

#include <string>

#include <windows.h>

namespace win32tk {

constexpr int kDesignDpi = 96;
constexpr int kCaptionInset = 8;  // a group box's caption from its sides, and more
constexpr int kButtonMargin = 4;  // a push button's caption from its sides

// The form's font at the DPI; an average character width other than 0 condenses it.
// The resource names a bitmap font whose 16 pixels are its whole cell, and the boxes are
// drawn round that cell (16-pixel list items, the progress bar 16 pixels below the
// caption's top): our font is asked for by its cell height too, so its descenders fit.
HFONT CreateFormFont(const FormResource& form, unsigned dpi, int averageWidth);

std::string WindowText(HWND window);

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

}  // namespace win32tk
