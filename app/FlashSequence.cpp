// The FLASH button: confirmation, preparation, profile and image into the drive's DRAM,
// read-back and compare, commit, restart question. Runs inside the handler from the
// first box to the last.
#include <cstring>

#include "app/FlashForm.h"
#include "app/Text.h"
#include "drive/Cddrive.h"
#include "package/FlashPayload.h"
#include "platform/Platform.h"
#include "platform/WinConstants.h"

namespace {

constexpr int kReadinessPasses = 100;
constexpr win::DWORD kReadinessSleepMs = 30;

}  // namespace

void TFlashForm::FlashButtonClick(TObject*) {
  if (BuilderMode) {
    Screen.SetCursor(crHourGlass);
    NewBuildFlashProgram();
    Screen.SetCursor(crDefault);
    return;
  }
  RunFlash();
}

void TFlashForm::SetStatus(const std::string& text) {
  GroupBox2.SetCaption(text);
  GroupBox2.Repaint();
}

void TFlashForm::AppendStatus(const char* suffix) {
  SetStatus(GroupBox2.Caption() + suffix);
}

bool TFlashForm::ConfirmFlash() {
  std::string r = CurrentDrive->GetRevision();
  std::string t = Format("%4.4s", FieldText(Payload().FirmwareName, 5).c_str());
  const char* range = Payload().FirmwareRange;
  std::string question;
  if (range[0] == '-' && range[5] == '-')
    question = "\nUpdate Firmware : " + r + " to " + t + " ?\n";
  else if (r >= t)
    question = "\nWARNING !!!" +
               ("\n\nYour drive Firmware : " + r + " is aready the most updated !") +
               ("\n\nUpdate Firmware : " + r + " to " + t + " ?\n");
  else
    question = "\nUpdate Firmware " + r + " to " + t + " ?\n";
  DialogKind kind = r > t ? DialogKind::Warning : DialogKind::Confirmation;
  return MessageDlg(question, kind, DialogButtons::YesNo) == ModalResult::Yes;
}

// Load, wait while the drive reports "becoming ready", then stop it. Only the
// becoming-ready test judges these commands.
bool TFlashForm::PrepareDrive() {
  CDDrive* d = CurrentDrive;
  d->ExecuteCommand(0x1B, 0, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0, 1, 0);
  bool becomingReady = true;
  for (int pass = 0; pass < kReadinessPasses && becomingReady; ++pass) {
    Os().Sleep(kReadinessSleepMs);
    d->ExecuteCommand(0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0);
    d->ExecuteCommand(0x4E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0);
    becomingReady = d->SenseEquals(0x02, 0x04, 0x01);
  }
  if (becomingReady) {
    ShowMessage("Drive can't ready !!!");
    return false;
  }
  d->ExecuteCommand(0x4E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0);
  d->ExecuteCommand(0x1B, 0, 0, 0, 0x00, 0, 0, 0, 0, 0, 0, 0, 1, 0);
  return true;
}

bool TFlashForm::WriteProfileAndImage() {
  if (CdProfileImage || DvdProfileImage) {
    SetStatus("Write profile to drive's DRAM... ");
    if (!SetupFlashProfile(ChunkBuffer.get())) {
      AppendStatus(", Fail! ");
      return false;
    }
    if (!ProfileBuffer) ProfileBuffer.reset(new std::uint8_t[kIoBufferSize]());
    std::memcpy(ProfileBuffer.get(), ChunkBuffer.get(), static_cast<std::size_t>(ProfileLength));
  }
  SetStatus("Write BIN to drive's DRAM... ");
  ProgressBar.SetPosition(0);
  const std::uint8_t* image = Payload().FirmwareImage;
  for (std::uint32_t position = 0; position < BinLength; position += kIoBufferSize) {
    std::memcpy(ChunkBuffer.get(), image + position, kIoBufferSize);
    if (!WriteBuffer(position, ChunkBuffer.get(), kIoBufferSize, 0x00)) {
      AppendStatus(", Fail! ");
      return false;
    }
    ProgressBar.SetPosition(static_cast<int>(position + kIoBufferSize));
  }
  if (CdProfileImage) {
    SetStatus("Drive entry critical... ");
    if (!EntryCritical()) {
      AppendStatus(", Fail! ");
      return false;
    }
  }
  return true;
}

bool TFlashForm::VerifyDram() {
  SetStatus("Read back and Verify drive's DRAM... ");
  if (ProfileMatched && !ReadVerifyProfile(ProfileBuffer.get())) {
    AppendStatus(", Valid Profile Fail!");
    return false;
  }
  ProgressBar.SetPosition(0);
  const std::uint8_t* image = Payload().FirmwareImage;
  for (std::uint32_t position = 0; position < BinLength; position += kIoBufferSize) {
    if (!ReadBuffer(position, ChunkBuffer.get(), kIoBufferSize, image + position)) {
      AppendStatus(", Read Fail! ");
      return false;
    }
    if (std::memcmp(image + position, ChunkBuffer.get(), kIoBufferSize) != 0) {
      AppendStatus(", Compare BIN and DRAM Fail! ");
      ShowMessage("Compare BIN and DRAM fail!");
      return false;
    }
    ProgressBar.SetPosition(static_cast<int>(position + kIoBufferSize));
  }
  return true;
}

void TFlashForm::Commit(int rememberedIndex) {
  SetStatus("Don't turn off the system, Flash is in progress...");
  ProgressBar.SetMax(200);
  ProgressBar.SetPosition(198);
  ProgressBar.SetStep(0);
  CurrentDrive->SetTimeout(180);
  if (!WriteBuffer(0, ProfileBuffer.get(), 0, FlashAllMode ? 0xA0 : 0x80)) {
    SetStatus("Flash Fail.");
    return;
  }
  CurrentDrive->SetTimeout(60);
  ProgressBar.SetPosition(200);
  SetStatus("Flash Completed.");
  // With no entry selected (the user typed into the box) there is no entry to refresh.
  if (rememberedIndex >= 0) {
    ComboBox.Insert(rememberedIndex, CurrentDrive->GetDescription());
    ComboBox.Delete(rememberedIndex + 1);
    ComboBox.SetItemIndex(rememberedIndex);
    ComboBox.Repaint();
  }
  if (MessageDlg("The system needs to be restarted for the changes to take effect ?",
                 DialogKind::Confirmation, DialogButtons::YesNo) != ModalResult::Yes)
    return;
  Screen.SetCursor(crDefault);
  win::OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  Os().GetVersionExA(&version);
  if (version.dwPlatformId == win::VER_PLATFORM_WIN32_NT) Os().EnableShutdownPrivilege();
  Os().ExitWindowsEx(win::EWX_REBOOT | win::EWX_FORCE, 0);
}

void TFlashForm::RunFlash() {
  ProfileMatched = 0;
  ProfileLength = 0;
  int remembered = ComboBox.ItemIndex();
  if (!ConfirmFlash()) return;
  FlashAllMode = std::memcmp(Payload().NoteText, "FLASH-ALL", 9) == 0 ? 1 : 0;
  if (!PrepareDrive()) return;
  ProgressBar.SetMin(0);
  ProgressBar.SetMax(static_cast<int>(BinLength));
  ProgressBar.SetStep(static_cast<int>(kIoBufferSize));
  if (!ChunkBuffer) ChunkBuffer.reset(new std::uint8_t[kIoBufferSize]());
  Screen.SetCursor(crHourGlass);
  if (WriteProfileAndImage() && VerifyDram()) Commit(remembered);
  Screen.SetCursor(crDefault);
  ProgressBar.SetPosition(0);
}
