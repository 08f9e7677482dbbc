#include "app/FlashForm.h"

#include "app/FlashFormResource.h"
#include "drive/Cddrive.h"
#include "drive/Cddrives.h"

TFlashForm* FlashForm = nullptr;
const std::string VersionCaption = " Flash Utility V" KF_RELEASE " ";  // from CMake
const char* const ApplicationTitle = "KORVEL Windows Flash utility";

TFlashForm::TFlashForm() : TForm(kFlashFormResource) {
  OnCreate = [this](TObject* sender) { FormCreate(sender); };
  OnDestroy = [this](TObject* sender) { FormDestroy(sender); };
  Bind(ControlId::ComboBox, [this](TObject* sender) { ComboBoxChange(sender); });
  Bind(ControlId::FileListBox1, [this](TObject* sender) { FileListBox1Click(sender); });
  Bind(ControlId::FlashButton, [this](TObject* sender) { FlashButtonClick(sender); });
}

TFlashForm::~TFlashForm() {
  delete Drives;
}

void TFlashForm::FormDestroy(TObject*) {
  ModelList.reset();
  InquiryList.reset();
  FwRangeList.reset();
  BinMaskList.reset();
  VendorList.reset();
  NoteList.reset();
  delete Drives;
  Drives = nullptr;
  // A buffer an unfinished ASPI request may still write is kept for the rest of the run.
  if (cddrive::BufferHeld(IoBuffer.get())) static_cast<void>(IoBuffer.release());
  IoBuffer.reset();
  ChunkBuffer.reset();
  ProfileBuffer.reset();
}
