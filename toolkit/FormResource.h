// A form resource: the window and its controls as designed, independent of any toolkit.
// Each toolkit builds its native window from it.
#pragma once

#include <cstddef>

enum class ControlId {
  Form,
  Panel1,
  SelectDriveLabel,
  ComboBox,
  FileListBox1,
  GroupBox2,
  ProgressBar,
  FlashButton,
};
constexpr int kControlCount = 8;

enum class ControlKind { Form, Panel, Label, ComboBox, FileListBox, GroupBox, ProgressBar, Button };

// Events a control delivers to the form's handlers.
enum class ControlEvent { None, Change, Click };

struct ControlResource {
  ControlId id;
  const char* name;
  ControlKind kind;
  ControlId parent;
  int left, top, width, height;
  int tabOrder;
  const char* caption;
  bool visible;
  bool enabled;
  bool autoSize;
  int itemHeight;        // combo box and file list box
  int minimum, maximum;  // progress bar
  bool smooth;           // progress bar
  ControlEvent event;
};

struct FormResource {
  const char* name;
  int left, top, width, height;
  bool autoSize;
  int pixelsPerInch;
  const char* fontName;
  int fontHeight;  // negative: character height in pixels
  bool fontBold;
  int fontCharset;                  // Windows character-set number
  const ControlResource* controls;  // children, parents before their children
  std::size_t controlCount;
};

const ControlResource* FindControl(const FormResource& form, ControlId id);
