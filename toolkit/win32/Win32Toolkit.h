// The toolkit on native Win32 standard controls: a window of its own class holding a
// panel, a STATIC label, an editable COMBOBOX, a LISTBOX of files, a BS_GROUPBOX with a
// progress bar and a push button. Every control carries the dialog ID
// kControlIdBase + its ControlId, so automation can find it.
#pragma once

#include <string>
#include <vector>

#include "platform/Platform.h"
#include "toolkit/Toolkit.h"

// The handle types of <windows.h>, declared as it declares them (STRICT), so that this
// header does not pull the whole of it in.
struct HWND__;
struct HFONT__;
struct HINSTANCE__;

constexpr int kControlIdBase = 100;

class Win32Toolkit : public Toolkit, public WaitHook {
 public:
  explicit Win32Toolkit(HINSTANCE__* instance);
  ~Win32Toolkit() override;
  Win32Toolkit(const Win32Toolkit&) = delete;
  Win32Toolkit& operator=(const Win32Toolkit&) = delete;

  void SetApplicationTitle(const std::string& title) override { title_ = title; }
  const std::string& ApplicationTitle() const override { return title_; }
  void CreateWindowFrom(const FormResource& form, FormEventSink* sink) override;
  int RunMessageLoop() override;
  void PostQuit() override;
  void CloseMainWindow() override;
  void ShowException(const std::string& message) override;

  void SetText(ControlId control, const std::string& text) override;
  std::string GetText(ControlId control) override;
  void SetVisible(ControlId control, bool visible) override;
  void SetEnabled(ControlId control, bool enabled) override;
  void Repaint(ControlId control) override;

  void ComboAdd(const std::string& text) override;
  void ComboInsert(int index, const std::string& text) override;
  void ComboDelete(int index) override;
  int ComboCount() override;
  void ComboSetIndex(int index) override;
  int ComboIndex() override;

  void FileListSetDirectory(const std::string& directory) override;
  void FileListSetMask(const std::string& mask) override;
  void FileListUpdate() override;
  std::string FileListSelectedPath() override;

  void ProgressSetMin(int value) override;
  void ProgressSetMax(int value) override;
  void ProgressSetStep(int value) override;
  void ProgressSetPosition(int value) override;
  int ProgressPosition() override;
  void ProgressStepIt() override;

  ModalResult MessageDialog(const std::string& text, DialogKind kind,
                            DialogButtons buttons) override;
  void ShowMessage(const std::string& text) override;
  void SetBusyCursor(bool busy) override;

  // Installed as the platform's wait hook from construction on.
  void KeepAlive() override;

  // The native window of a control (ControlId::Form: the window), for tests.
  HWND__* Handle(ControlId control) const;

  // Window-procedure entry points; not for the program's code.
  bool OnCommand(unsigned code, int id);
  bool BusyCursorWanted() const { return busy_; }
  bool Running() const { return running_ > 0; }  // a handler runs
  void OnFormClose();
  void OnDpiChanged(unsigned dpi, const void* suggestedRect);
  void RememberFocus();
  void RestoreFocus();

 private:
  const ControlResource* Resource(ControlId control) const;
  void CreateControl(const ControlResource& control);
  void OrderTabStops();
  void MakeFont();
  void Layout(bool placeWindow);
  void FitComboHeight(HWND__* combo, int height);
  int FontCellHeight(HWND__* control) const;
  std::vector<std::string> OneLineTexts(ControlId control, int* room) const;
  bool ShowsOneLineText(ControlId control) const;
  void FitText(ControlId control);
  void FitTexts();
  int Scale(int value) const;
  void Deliver(ControlId control, ControlEvent event);
  void ForgetTypedSelection();
  void SetProgressRange();
  int Box(const std::string& text, const std::string& title, unsigned flags);
  void ForgetApplicationWindow();

  HINSTANCE__* instance_;
  std::string title_;
  const FormResource* form_ = nullptr;
  FormEventSink* sink_ = nullptr;
  HWND__* window_ = nullptr;
  HWND__* application_ = nullptr;  // until the window shows
  HWND__* controls_[kControlCount] = {};
  HWND__* focus_ = nullptr;
  HFONT__* font_ = nullptr;
  HFONT__* fittedFonts_[kControlCount] = {};  // condensed fonts of controls font_ overfills
  unsigned dpi_ = 96;
  int suppressEvents_ = 0;  // > 0 while the program itself changes a control
  bool quitPosted_ = false;
  bool closed_ = false;
  bool busy_ = false;
  int running_ = 0;
  bool closingByProgram_ = false;
  std::string fileDirectory_;
  std::string fileMask_;
  int progressMin_ = 0, progressMax_ = 100, progressStep_ = 10;
};
