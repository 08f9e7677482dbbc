// Fitting texts into the controls sized for the resource's font.
#include "toolkit/win32/Win32ToolkitParts.h"

#include <algorithm>
#include <vector>

using win32tk::CreateFormFont;
using win32tk::kButtonMargin;
using win32tk::kCaptionInset;
using win32tk::WindowText;

namespace {

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

}  // namespace

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
