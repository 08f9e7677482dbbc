// Start-up: the mode decision, the builder's file list and catalogue, and in flash mode
// the warning, the drive search and the match against the payload's profile.
#include <cstring>

#include "app/FlashForm.h"
#include "app/Text.h"
#include "drive/Cddrive.h"
#include "drive/Cddrives.h"
#include "package/FlashPayload.h"
#include "platform/Platform.h"

namespace {

bool NoRange(const char* range) {
  return range[0] == '-' && range[5] == '-';
}

// "X:\" and the rest of the current directory; a directory without a drive prefix (a
// POSIX one) stays as the platform gives it. Any length.
std::string CurrentWorkDir() {
  std::string dir = CurrentDirectory();
  if (dir.size() >= 2 && dir[1] == ':') {
    std::size_t rest = dir.size() > 2 && dir[2] == '\\' ? 3 : 2;
    return dir.substr(0, 1) + ":\\" + dir.substr(rest);
  }
  return dir;
}

}  // namespace

void TFlashForm::FormCreate(TObject*) {
  CdProfileImage = 0;
  DvdProfileImage = 0;
  ProfileMatched = 0;
  FlashAllMode = 0;
  IoBuffer.reset();
  ProfileBuffer.reset();
  ChunkBuffer.reset();
  FlashForm->SetCaption(VersionCaption);
  BuilderMode = IsBuilderPayload(Payload()) ? 1 : 0;
  if (BuilderMode)
    StartBuilder();
  else
    StartFlashProgram();
}

void TFlashForm::StartBuilder() {
  WorkDir = CurrentWorkDir();
  FileListBox1.SetDirectory(WorkDir);
  if (!RetriveINI()) return;
  FileListBox1.Show();
  SelectDriveLabel.SetCaption("Select Model: ");
  FlashButton.SetCaption("Build");
  FlashButton.SetEnabled(false);
}

// A flash program whose image length the flash cannot send in whole chunks, that would
// read past the firmware area, or whose chip table would copy a profile past its data or
// its work buffer, must never reach a drive.
bool TFlashForm::PayloadIsSound() {
  std::string report = PayloadDamageReport(Payload());
  if (report.empty()) return true;
  MessageDlg(report, DialogKind::Error, DialogButtons::Ok);
  Application.Terminate();
  Close();
  return false;
}

std::string TFlashForm::WarningText(bool withRange) const {
  std::string text = "\nWARNING:\n";
  text += "\nThis flash utility only supports ";
  text += VendorName + " " + ModelName;
  if (withRange) {
    text += " drive with firmware:" + FwRange;
    text += "\nWe recommend you close all applications in order to run this update! ";
    text += "\nDon't turn off the system while the flash is in progress!";
  } else {
    text += " drive. ";
    text += "\nWe recommend you close all applications in order to run this update!";
    text += "\nDon't turn off the system while flash is in progress! ";
  }
  text += "\n\nDo you wish to continue?\n";
  return text;
}

std::string TFlashForm::ErrorReportStart(bool withRange) const {
  std::string range = withRange ? " firmware: " + FwRange : "";
  return "\nERROR:\n" + ("\nCan't found " + ModelName + range + " drive !\n") +
         ("\nThis flash utility only supports " + ModelName + range + "\n");
}

void TFlashForm::StopStartUp(const std::string& report) {
  MessageDlg(report, DialogKind::Error, DialogButtons::Ok);
  Application.Terminate();
  Close();
}

void TFlashForm::StartFlashProgram() {
  if (!PayloadIsSound()) return;
  const FlashPayloadRecord& p = Payload();
  VendorName = FieldText(p.VendorText, kTextFieldSize);
  ModelName = FieldText(p.ModelText, kTextFieldSize);
  std::string range = FieldText(p.FirmwareRange, kTextFieldSize);
  InquiryId = Format("%-24.24s", FieldText(p.InquiryText, kTextFieldSize).c_str());
  FwRange = Format("%9.9s", range.c_str());
  FwLow = Format("%4.4s", range.c_str());
  FwHigh = Format("%4.4s", FieldText(p.FirmwareRange + 5, kTextFieldSize - 5).c_str());
  SelectDriveLabel.SetCaption("Select the " + VendorName + " drive you want to update:");

  bool withRange = !NoRange(p.FirmwareRange);
  if (MessageDlg(WarningText(withRange), DialogKind::Warning, DialogButtons::YesNo) !=
      ModalResult::Yes) {
    Application.Terminate();
    Close();
    return;
  }
  FileListBox1.Hide();
  FlashForm->SetCaption(VendorName + VersionCaption + ModelName);

  std::string report = ErrorReportStart(withRange);
  Drives = new CDDrives();
  if (Drives->GetCount() == 0) {
    report += "\nCan't find ATAPI Drive !\n";
    ComboBox.SetItemIndex(-1);
    StopStartUp(report);
    return;
  }
  report += "\nDetected drives:\n" + std::string(59, '-') + "\n";
  int matched = 0;
  for (int i = 0; i < Drives->GetCount(); ++i) {
    Drives->SelectDrive(static_cast<std::int16_t>(i));
    if (CheckCondition() && matched < kMatchedDriveSlots) {
      ComboBox.Add(Drives->SelectedDrive->GetDescription());
      MatchedDrives[matched++] = i;
    } else {
      report += Drives->SelectedDrive->GetDescription() + "\n";
    }
  }
  if (ComboBox.Count() == 0) {
    StopStartUp(report);
    return;
  }
  ComboBox.SetItemIndex(0);
  Drives->SelectDrive(static_cast<std::int16_t>(MatchedDrives[0]));
  IoBuffer = NewTransferBuffer(kIoBufferSize);
  Drives->SelectedDrive->SetDataBuffer(IoBuffer.get(), kIoBufferSize);
  CheckNewFormatBIN();
  ComboBoxChange(this);
}

bool TFlashForm::CheckCondition() {
  const FlashPayloadRecord& p = Payload();
  if (p.InquiryText[0] == '-' && p.InquiryText[1] == '-') return true;
  CDDrive* drive = Drives->SelectedDrive;
  if (drive->GetVendorProduct() != InquiryId) return false;
  if (NoRange(p.FirmwareRange)) return true;
  std::string revision = drive->GetRevision();
  return !(revision < FwLow || revision > FwHigh);
}

void TFlashForm::ComboBoxChange(TObject*) {
  int i = ComboBox.ItemIndex();
  if (i < 0) return;  // the user typed into the edit field
  if (BuilderMode == 0) {
    if (i >= kMatchedDriveSlots) return;
    Drives->SelectDrive(static_cast<std::int16_t>(MatchedDrives[i]));
    CurrentDrive = Drives->SelectedDrive;
    return;
  }
  if (i >= BinMaskList->Count()) return;
  FileListBox1.SetMask((*BinMaskList)[i]);
  FileListBox1.Update();
  FlashForm->SetCaption(VendorName + VersionCaption + (*FwRangeList)[i] + " [Buiding]");
  FlashButton.SetEnabled(false);
}

void TFlashForm::FileListBox1Click(TObject*) {
  BinFileName = BaseName(FileListBox1.FileName());
  FlashButton.SetEnabled(true);
}
