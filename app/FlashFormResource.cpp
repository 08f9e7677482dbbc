// The main window as designed (96 pixels per inch).
#include "app/FlashFormResource.h"

namespace {

constexpr int kCharsetChineseBig5 = 136;

// clang-format off
const ControlResource kControls[] = {
  // id                          name                kind                      parent               left top  w    h   tab caption  visible enabled autoSize item min max  smooth event
  {ControlId::Panel1,           "Panel1",           ControlKind::Panel,       ControlId::Form,      0,   0, 425, 201, 0, "",      true, true,  false, 0,  0, 0,   false, ControlEvent::None},
  {ControlId::SelectDriveLabel, "SelectDriveLabel", ControlKind::Label,       ControlId::Panel1,   16,  16, 369,  25, 0, "",      true, true,  false, 0,  0, 0,   false, ControlEvent::None},
  {ControlId::ComboBox,         "ComboBox",         ControlKind::ComboBox,    ControlId::Panel1,   16,  40, 385,  24, 0, "",      true, true,  false, 16, 0, 0,   false, ControlEvent::Change},
  {ControlId::FileListBox1,     "FileListBox1",     ControlKind::FileListBox, ControlId::Panel1,   16,  72, 385,  41, 1, "",      true, true,  false, 16, 0, 0,   false, ControlEvent::Click},
  {ControlId::GroupBox2,        "GroupBox2",        ControlKind::GroupBox,    ControlId::Panel1,   16, 128, 385,  49, 2, "",      true, true,  false, 0,  0, 0,   false, ControlEvent::None},
  {ControlId::ProgressBar,      "ProgressBar",      ControlKind::ProgressBar, ControlId::GroupBox2, 8,  16, 305,  25, 0, "",      true, true,  false, 0,  0, 100, true,  ControlEvent::None},
  {ControlId::FlashButton,      "FlashButton",      ControlKind::Button,      ControlId::GroupBox2, 320, 16, 57,  25, 1, "FLASH", true, true,  false, 0,  0, 0,   false, ControlEvent::Click},
};
// clang-format on

}  // namespace

const FormResource kFlashFormResource = {
    "FlashForm",
    192,
    128,
    433,
    235,
    /*autoSize=*/true,
    /*pixelsPerInch=*/96,
    "System",
    -16,
    /*fontBold=*/true,
    kCharsetChineseBig5,
    kControls,
    sizeof kControls / sizeof kControls[0],
};
