// The main window: its controls, its state, its handlers, the vendor commands and the
// start-up checks.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "drive/TransferBuffer.h"
#include "toolkit/Forms.h"

class CDDrive;
class CDDrives;

// A string list: an ordered list of texts indexed from 0.
class TStringList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  void Add(const std::string& text) { items_.push_back(text); }
  std::string& operator[](int index) { return items_.at(static_cast<std::size_t>(index)); }
  const std::string& operator[](int index) const {
    return items_.at(static_cast<std::size_t>(index));
  }

 private:
  std::vector<std::string> items_;
};

constexpr int kMatchedDriveSlots = 24;  // as many as the drive list holds
constexpr std::uint32_t kIoBufferSize = 16384;

class TFlashForm : public TForm {
 public:
  TFlashForm();
  ~TFlashForm() override;

  // Controls, bound by name from the form resource.
  TPanel Panel1{ControlId::Panel1};
  TLabel SelectDriveLabel{ControlId::SelectDriveLabel};
  TComboBox ComboBox{ControlId::ComboBox};
  TFileListBox FileListBox1{ControlId::FileListBox1};
  TGroupBox GroupBox2{ControlId::GroupBox2};
  TProgressBar ProgressBar{ControlId::ProgressBar};
  TButton FlashButton{ControlId::FlashButton};

  // Catalogue lists (builder mode).
  std::unique_ptr<TStringList> ModelList;
  std::unique_ptr<TStringList> InquiryList;
  std::unique_ptr<TStringList> FwRangeList;
  std::unique_ptr<TStringList> BinMaskList;
  std::unique_ptr<TStringList> VendorList;
  std::unique_ptr<TStringList> NoteList;
  // Profile texts (flash mode).
  std::string VendorName;
  std::string ModelName;
  std::string FwRange;
  std::string FwLow;
  std::string FwHigh;
  std::string InquiryId;
  std::string BinFileName;
  std::uint8_t BuilderMode = 0;
  std::uint8_t CdProfileImage = 0;
  std::uint8_t DvdProfileImage = 0;
  std::uint8_t ProfileMatched = 0;
  std::uint8_t FlashAllMode = 0;
  std::uint32_t BinLength = 0;
  std::int32_t ProfileLength = 0;
  std::int32_t ProfileDataOffset = 0;
  std::int32_t ProfileHeaderLength = 0;
  std::int32_t MatchedDrives[kMatchedDriveSlots] = {};
  // Any length: a current directory longer than 255 characters must still work.
  std::string WorkDir;
  CDDrive* CurrentDrive = nullptr;  // not owned
  std::uint8_t Cdb[12] = {};
  CDDrives* Drives = nullptr;  // owned
  TransferBuffer IoBuffer;     // the drive's data buffer
  std::unique_ptr<std::uint8_t[]> ProfileBuffer;
  std::unique_ptr<std::uint8_t[]> ChunkBuffer;

  void FormCreate(TObject* Sender);
  void FormDestroy(TObject* Sender);
  bool WriteE2(const std::uint8_t* data, std::uint16_t address, std::uint8_t count);
  bool WriteBuffer(std::uint32_t offset, const std::uint8_t* data, std::uint32_t length,
                   std::uint8_t control);
  // `expected`: the bytes the drive should return, whose complement the read starts from.
  bool ReadBuffer(std::uint32_t offset, std::uint8_t* destination, std::uint32_t length,
                  const std::uint8_t* expected);
  bool SetupFlashProfile(std::uint8_t* work);
  bool ReadVerifyProfile(const std::uint8_t* block);
  bool EntryCritical();
  bool CheckDisc();
  bool RetriveINI();
  bool NewBuildFlashProgram();
  void FileListBox1Click(TObject* Sender);
  void FlashButtonClick(TObject* Sender);
  void ComboBoxChange(TObject* Sender);
  bool CheckNewFormatBIN();
  bool CheckCondition();

 private:
  // Vendor command frame.
  void SetCdb(std::initializer_list<std::uint8_t> bytes);
  void SetBufferCdb(std::uint8_t opcode, std::uint8_t mode, std::uint32_t offset,
                    std::uint32_t length, std::uint8_t control);
  bool SendCdb(const char* failurePrefix, std::uint8_t dataIn, std::uint32_t transferLength,
               std::uint32_t needed = UINT32_MAX);
  void StageOut(const std::uint8_t* data, std::uint32_t length);
  void StageIn(const std::uint8_t* expected, std::uint32_t length);
  std::uint8_t UnlistedChipByte() const;
  int LookUpChip();
  // Flash sequence steps.
  void RunFlash();
  bool ConfirmFlash();
  bool PrepareDrive();
  bool WriteProfileAndImage();
  bool VerifyDram();
  void Commit(int rememberedIndex);
  void SetStatus(const std::string& text);
  void AppendStatus(const char* suffix);
  // Start-up.
  void StartBuilder();
  void StartFlashProgram();
  bool PayloadIsSound();
  void StopStartUp(const std::string& report);
  std::string WarningText(bool withRange) const;
  std::string ErrorReportStart(bool withRange) const;
};

extern TFlashForm* FlashForm;
extern const std::string VersionCaption;
extern const char* const ApplicationTitle;
