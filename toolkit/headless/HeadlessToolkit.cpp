#include "toolkit/headless/HeadlessToolkit.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <stdexcept>

#include "toolkit/FileMask.h"

namespace {

const char* Name(ControlId id) {
  static const char* const names[kControlCount] = {
      "Form",         "Panel1",    "SelectDriveLabel", "ComboBox",
      "FileListBox1", "GroupBox2", "ProgressBar",      "FlashButton"};
  return names[static_cast<int>(id)];
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  char last = directory.back();
  return (last == '/' || last == '\\') ? directory + name : directory + "/" + name;
}

}  // namespace

void HeadlessToolkit::SetApplicationTitle(const std::string& title) {
  title_ = title;
}

void HeadlessToolkit::CreateWindowFrom(const FormResource& resource, FormEventSink* sink) {
  form = &resource;
  sink_ = sink;
  windowCreated = true;
  for (std::size_t i = 0; i < resource.controlCount; ++i) {
    const ControlResource& c = resource.controls[i];
    HeadlessControl& state = Control(c.id);
    state.text = c.caption;
    state.visible = c.visible;
    state.enabled = c.enabled;
    if (c.kind == ControlKind::ProgressBar) {
      progressMin = c.minimum;
      progressMax = c.maximum;
    }
  }
}

int HeadlessToolkit::RunMessageLoop() {
  if (quitPosted || windowClosed) return 0;
  windowShown = true;
  for (auto& action : userActions) {
    if (quitPosted || windowClosed) break;
    action();
  }
  windowClosed = true;
  return 0;
}

void HeadlessToolkit::PostQuit() {
  quitPosted = true;
  log.push_back("PostQuit");
}

void HeadlessToolkit::CloseMainWindow() {
  windowClosed = true;
  log.push_back("Close");
}

void HeadlessToolkit::Record(DialogRecord record) {
  if (onDialog) onDialog(record);
  log.push_back("Dialog " + record.text);
  dialogs.push_back(std::move(record));
}

void HeadlessToolkit::ShowException(const std::string& message) {
  Record({DialogRecord::Type::Exception, DialogKind::Error, DialogButtons::Ok, title_, message,
          ModalResult::Ok});
}

void HeadlessToolkit::SetText(ControlId control, const std::string& text) {
  Control(control).text = text;
  log.push_back(std::string("SetText ") + Name(control) + " " + text);
}

std::string HeadlessToolkit::GetText(ControlId control) {
  return Control(control).text;
}

void HeadlessToolkit::SetVisible(ControlId control, bool visible) {
  Control(control).visible = visible;
  log.push_back(std::string(visible ? "Show " : "Hide ") + Name(control));
}

void HeadlessToolkit::SetEnabled(ControlId control, bool enabled) {
  Control(control).enabled = enabled;
  log.push_back(std::string(enabled ? "Enable " : "Disable ") + Name(control));
}

void HeadlessToolkit::Repaint(ControlId control) {
  ++Control(control).repaints;
  log.push_back(std::string("Repaint ") + Name(control) + " " + Control(control).text);
}

void HeadlessToolkit::ComboAdd(const std::string& text) {
  comboItems.push_back(text);
  log.push_back("ComboAdd " + text);
}

void HeadlessToolkit::ComboInsert(int index, const std::string& text) {
  if (index < 0 || index > ComboCount()) throw std::out_of_range("List index out of bounds");
  comboItems.insert(comboItems.begin() + index, text);
  log.push_back("ComboInsert " + std::to_string(index) + " " + text);
}

void HeadlessToolkit::ComboDelete(int index) {
  if (index < 0 || index >= ComboCount()) throw std::out_of_range("List index out of bounds");
  comboItems.erase(comboItems.begin() + index);
  if (comboIndex >= ComboCount()) comboIndex = -1;
  log.push_back("ComboDelete " + std::to_string(index));
}

void HeadlessToolkit::ComboSetIndex(int index) {
  comboIndex = (index >= 0 && index < ComboCount()) ? index : -1;
  log.push_back("ComboSetIndex " + std::to_string(index));
}

void HeadlessToolkit::FileListSetDirectory(const std::string& directory) {
  fileDirectory = directory;
  log.push_back("FileListSetDirectory " + directory);
  FileListUpdate();
}

void HeadlessToolkit::FileListSetMask(const std::string& mask) {
  fileMask = mask;
  log.push_back("FileListSetMask " + mask);
}

void HeadlessToolkit::FileListUpdate() {
  files.clear();
  fileIndex = -1;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(fileDirectory, ec)) {
    std::string name = entry.path().filename().string();
    if (entry.is_regular_file(ec) && MatchesFileMask(name, fileMask.empty() ? "*.*" : fileMask))
      files.push_back(name);
  }
  // As a sorted Windows list box orders them: without regard to case.
  std::sort(files.begin(), files.end(), [](const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return std::tolower(static_cast<unsigned char>(x)) <
             std::tolower(static_cast<unsigned char>(y));
    });
  });
}

std::string HeadlessToolkit::FileListSelectedPath() {
  if (fileIndex < 0 || fileIndex >= static_cast<int>(files.size())) return "";
  return JoinPath(fileDirectory, files[static_cast<std::size_t>(fileIndex)]);
}

void HeadlessToolkit::ProgressSetMin(int value) {
  progressMin = value;
}
void HeadlessToolkit::ProgressSetMax(int value) {
  progressMax = value;
}
void HeadlessToolkit::ProgressSetStep(int value) {
  progressStep = value;
}

void HeadlessToolkit::ProgressSetPosition(int value) {
  progressPosition = std::clamp(value, progressMin, std::max(progressMin, progressMax));
  progressTrace.push_back(progressPosition);
}

void HeadlessToolkit::ProgressStepIt() {
  ProgressSetPosition(progressPosition + progressStep);
}

ModalResult HeadlessToolkit::MessageDialog(const std::string& text, DialogKind kind,
                                           DialogButtons buttons) {
  static const char* const titles[] = {"Warning", "Error", "Confirm"};
  ModalResult answer = ModalResult::Ok;
  if (buttons == DialogButtons::YesNo) {
    if (answers.empty()) {
      ++unscriptedDialogs;
      answer = ModalResult::No;
    } else {
      answer = answers.front();
      answers.pop_front();
    }
  }
  Record(
      {DialogRecord::Type::Message, kind, buttons, titles[static_cast<int>(kind)], text, answer});
  return answer;
}

void HeadlessToolkit::ShowMessage(const std::string& text) {
  Record({DialogRecord::Type::Plain, DialogKind::Error, DialogButtons::Ok, title_, text,
          ModalResult::Ok});
}

void HeadlessToolkit::SetBusyCursor(bool busy) {
  busyCursor = busy;
  log.push_back(busy ? "Cursor busy" : "Cursor default");
}

void HeadlessToolkit::Deliver(ControlId control, ControlEvent event) {
  if (sink_) sink_->DispatchEvent(control, event);
}

void HeadlessToolkit::UserSelectsComboItem(int index) {
  comboIndex = index;
  Deliver(ControlId::ComboBox, ControlEvent::Change);
}

void HeadlessToolkit::UserTypesIntoCombo(const std::string& text) {
  comboIndex = -1;
  Control(ControlId::ComboBox).text = text;
  Deliver(ControlId::ComboBox, ControlEvent::Change);
}

void HeadlessToolkit::UserClicksFile(const std::string& name) {
  auto it = std::find(files.begin(), files.end(), name);
  fileIndex = it == files.end() ? -1 : static_cast<int>(it - files.begin());
  Deliver(ControlId::FileListBox1, ControlEvent::Click);
}

void HeadlessToolkit::UserClicksFlashButton() {
  if (Control(ControlId::FlashButton).enabled) Deliver(ControlId::FlashButton, ControlEvent::Click);
}
