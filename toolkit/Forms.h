// The toolkit's form classes, as the program's own code sees them: an application
// object with its message loop and default exception handler, a form class whose
// handlers are bound to control events, and thin control objects that forward to the
// installed toolkit.
#pragma once

#include <functional>
#include <string>

#include "toolkit/Toolkit.h"

class TObject {
 public:
  virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* sender)>;

class TControl : public TObject {
 public:
  explicit TControl(ControlId id) : id_(id) {}
  ControlId Id() const { return id_; }
  void SetCaption(const std::string& text) { Tk().SetText(id_, text); }
  std::string Caption() const { return Tk().GetText(id_); }
  void SetVisible(bool visible) { Tk().SetVisible(id_, visible); }
  void Show() { SetVisible(true); }
  void Hide() { SetVisible(false); }
  void SetEnabled(bool enabled) { Tk().SetEnabled(id_, enabled); }
  void Repaint() { Tk().Repaint(id_); }

 private:
  ControlId id_;
};

class TPanel : public TControl {
 public:
  using TControl::TControl;
};
class TLabel : public TControl {
 public:
  using TControl::TControl;
};
class TGroupBox : public TControl {
 public:
  using TControl::TControl;
};
class TButton : public TControl {
 public:
  using TControl::TControl;
};

class TComboBox : public TControl {
 public:
  using TControl::TControl;
  void Add(const std::string& text) { Tk().ComboAdd(text); }
  void Insert(int index, const std::string& text) { Tk().ComboInsert(index, text); }
  void Delete(int index) { Tk().ComboDelete(index); }
  int Count() const { return Tk().ComboCount(); }
  int ItemIndex() const { return Tk().ComboIndex(); }
  void SetItemIndex(int index) { Tk().ComboSetIndex(index); }
};

class TFileListBox : public TControl {
 public:
  using TControl::TControl;
  void SetDirectory(const std::string& directory) { Tk().FileListSetDirectory(directory); }
  void SetMask(const std::string& mask) { Tk().FileListSetMask(mask); }
  void Update() { Tk().FileListUpdate(); }
  std::string FileName() const { return Tk().FileListSelectedPath(); }
};

class TProgressBar : public TControl {
 public:
  using TControl::TControl;
  void SetMin(int value) { Tk().ProgressSetMin(value); }
  void SetMax(int value) { Tk().ProgressSetMax(value); }
  void SetStep(int value) { Tk().ProgressSetStep(value); }
  void SetPosition(int value) { Tk().ProgressSetPosition(value); }
  int Position() const { return Tk().ProgressPosition(); }
  void StepIt() { Tk().ProgressStepIt(); }
};

class TForm : public TObject, public FormEventSink {
 public:
  explicit TForm(const FormResource& resource) : resource_(resource) {}
  const FormResource& Resource() const { return resource_; }

  void SetCaption(const std::string& text) { Tk().SetText(ControlId::Form, text); }
  std::string Caption() const { return Tk().GetText(ControlId::Form); }
  void Close() { Tk().CloseMainWindow(); }

  // Builds the native window and runs the creation handler.
  void CreateWindowAndRunOnCreate();
  // Runs the destruction handler; the toolkit keeps the controls until the process ends.
  void RunOnDestroy();

  void DispatchEvent(ControlId control, ControlEvent event) override;

 protected:
  TNotifyEvent OnCreate;
  TNotifyEvent OnDestroy;
  void Bind(ControlId control, TNotifyEvent handler);

 private:
  const FormResource& resource_;
  TNotifyEvent handlers_[kControlCount];
};

class TApplication {
 public:
  void Initialize() {}
  void SetTitle(const std::string& title) { Tk().SetApplicationTitle(title); }
  // Creates a form: the reference is set as soon as the object exists, before its
  // creation handler runs, and the first form created becomes the main form.
  template <class TFormClass>
  void CreateForm(TFormClass*& reference) {
    auto* form = new TFormClass();
    reference = form;
    form->CreateWindowAndRunOnCreate();
    if (!mainForm_) mainForm_ = form;
  }
  // Runs the message loop, then destroys the main form.
  void Run();
  // The default handler: the message in a modal error box; the program goes on.
  void HandleException(const char* message);
  // Runs a handler under the default handler.
  void Guard(const std::function<void()>& body);
  void Terminate() { Tk().PostQuit(); }
  // Sets aside the main form of a run whose window went away, and `form`, which may not
  // have become the main form yet: they are kept as they are, since destroying them would
  // talk to that window, and the next run starts without them.
  void Abandon(TForm* form = nullptr);

 private:
  TForm* mainForm_ = nullptr;
};

extern TApplication Application;

enum TCursor { crDefault, crHourGlass };
class TScreen {
 public:
  void SetCursor(TCursor cursor) { Tk().SetBusyCursor(cursor == crHourGlass); }
};
extern TScreen Screen;

ModalResult MessageDlg(const std::string& text, DialogKind kind, DialogButtons buttons);
void ShowMessage(const std::string& text);
