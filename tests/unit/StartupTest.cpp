#include <string>

#include "drive/Cddrives.h"
#include "tests/fake/ProgramFixture.h"

namespace {

const char kId[] = "KOR-VEL KRW-52088S      ";  // vendor 8 + product 16

std::string WarningWithRange() {
  return "\nWARNING:\n\nThis flash utility only supports Korvel-XQ KRW-52088S drive with "
         "firmware:QF01-QF2Z\nWe recommend you close all applications in order to run this "
         "update! \nDon't turn off the system while the flash is in progress!\n\nDo you wish "
         "to continue?\n";
}

std::string ReportStartWithRange() {
  return "\nERROR:\n\nCan't found KRW-52088S firmware: QF01-QF2Z drive !\n\nThis flash utility "
         "only supports KRW-52088S firmware: QF01-QF2Z\n";
}

using Startup = ProgramTest;

TEST_F(Startup, WarningWithRangeThenTheWindowWithTheMatchingDrive) {
  fake.AddDrive(Drive('D'));
  tk.answers = {ModalResult::Yes};
  EXPECT_EQ(Run(), 0);
  ASSERT_EQ(tk.dialogs.size(), 1u);
  EXPECT_EQ(tk.dialogs[0].text, WarningWithRange());
  EXPECT_EQ(tk.dialogs[0].kind, DialogKind::Warning);
  EXPECT_EQ(tk.dialogs[0].buttons, DialogButtons::YesNo);
  EXPECT_TRUE(tk.windowShown);
  EXPECT_EQ(tk.Control(ControlId::Form).text, "Korvel-XQ Flash Utility V1.048A KRW-52088S");
  EXPECT_EQ(tk.Control(ControlId::SelectDriveLabel).text,
            "Select the Korvel-XQ drive you want to update:");
  EXPECT_FALSE(tk.Control(ControlId::FileListBox1).visible);
  ASSERT_EQ(tk.comboItems.size(), 1u);
  EXPECT_EQ(tk.comboItems[0], Description('D', std::string(kId) + "QF01"));
  EXPECT_EQ(tk.comboIndex, 0);
  EXPECT_EQ(tk.Control(ControlId::FlashButton).text, "FLASH");
  EXPECT_TRUE(tk.Control(ControlId::FlashButton).enabled);
}

TEST_F(Startup, WarningAndReportWithoutRange) {
  SetText(P().FirmwareRange, "----------");
  fake.AddDrive(Drive('D', "QF01", "OTHER"));
  tk.answers = {ModalResult::Yes};
  Run();
  ASSERT_EQ(tk.dialogs.size(), 2u);
  EXPECT_EQ(tk.dialogs[0].text,
            "\nWARNING:\n\nThis flash utility only supports Korvel-XQ KRW-52088S drive. \nWe "
            "recommend you close all applications in order to run this update!\nDon't turn off "
            "the system while flash is in progress! \n\nDo you wish to continue?\n");
  EXPECT_EQ(tk.dialogs[1].text,
            "\nERROR:\n\nCan't found KRW-52088S drive !\n\nThis flash utility only supports "
            "KRW-52088S\n\nDetected drives:\n" +
                std::string(59, '-') + "\n" + Description('D', "KOR-VEL OTHER           QF01") +
                "\n");
}

TEST_F(Startup, DeclinedWarningQuitsBeforeAnyDriveIsTouched) {
  fake.AddDrive(Drive('D'));
  tk.answers = {ModalResult::No};
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(tk.dialogs.size(), 1u);
  EXPECT_TRUE(tk.quitPosted);
  EXPECT_FALSE(tk.windowShown);
  EXPECT_TRUE(fake.bus.Trace().empty());
  EXPECT_TRUE(fake.opens.empty());
}

TEST_F(Startup, NoDriveAtAll) {
  tk.answers = {ModalResult::Yes};
  Run();
  ASSERT_EQ(tk.dialogs.size(), 2u);
  EXPECT_EQ(tk.dialogs[1].text, ReportStartWithRange() + "\nCan't find ATAPI Drive !\n");
  EXPECT_EQ(tk.dialogs[1].kind, DialogKind::Error);
  EXPECT_EQ(tk.dialogs[1].buttons, DialogButtons::Ok);
  EXPECT_TRUE(tk.quitPosted);
  EXPECT_FALSE(tk.windowShown);
}

TEST_F(Startup, NoneMatchingListsEveryDetectedDrive) {
  fake.AddDrive(Drive('D', "QF00"));                // below the range
  fake.AddDrive(Drive('E', "QF30"));                // above it
  fake.AddDrive(Drive('F', "QF01", "krw-52088s"));  // case differs
  tk.answers = {ModalResult::Yes};
  Run();
  ASSERT_EQ(tk.dialogs.size(), 2u);
  EXPECT_EQ(tk.dialogs[1].text, ReportStartWithRange() + "\nDetected drives:\n" +
                                    std::string(59, '-') + "\n" +
                                    Description('D', std::string(kId) + "QF00") + "\n" +
                                    Description('E', std::string(kId) + "QF30") + "\n" +
                                    Description('F', "KOR-VEL krw-52088s      QF01") + "\n");
  EXPECT_TRUE(tk.quitPosted);
  EXPECT_TRUE(tk.comboItems.empty());
}

TEST_F(Startup, SecondDriveMatchingAndTheFirstNot) {
  fake.AddDrive(Drive('D', "QF00"));
  fake.AddDrive(Drive('E', "QF2Z"));  // the upper end of the range
  fake.AddDrive(Drive('F', "QF01"));  // the lower end
  TFlashForm* form = nullptr;
  tk.answers = {ModalResult::Yes};
  tk.userActions = {[&] {
                      form = FlashForm;
                      EXPECT_EQ(form->MatchedDrives[0], 1);
                      EXPECT_EQ(form->MatchedDrives[1], 2);
                      EXPECT_EQ(form->CurrentDrive->DriveLetter, 'E');
                      EXPECT_EQ(form->CurrentDrive, form->Drives->SelectedDrive);
                      EXPECT_EQ(form->CurrentDrive->GetDataBuffer(), form->IoBuffer.get());
                      EXPECT_EQ(form->CurrentDrive->GetDataBufferLength(), 16384u);
                    },
                    [&] { tk.UserSelectsComboItem(1); },
                    [&] { EXPECT_EQ(FlashForm->CurrentDrive->DriveLetter, 'F'); },
                    [&] { tk.UserTypesIntoCombo("typed"); },
                    [&] { EXPECT_EQ(FlashForm->CurrentDrive->DriveLetter, 'F'); }};
  Run();
  EXPECT_EQ(tk.dialogs.size(), 1u);  // the non-matching drive appears nowhere
  ASSERT_EQ(tk.comboItems.size(), 2u);
  EXPECT_EQ(tk.comboItems[0], Description('E', std::string(kId) + "QF2Z"));
}

TEST_F(Startup, AnyDriveWhenTheIdentificationBeginsWithTwoDashes) {
  SetText(P().InquiryText, "--whatever");
  fake.AddDrive(Drive('D', "ZZZZ", "SOMETHING ELSE"));
  tk.answers = {ModalResult::Yes};
  Run();
  EXPECT_EQ(tk.comboItems.size(), 1u);
}

TEST_F(Startup, NoRangeAcceptsEveryRevisionOfTheRightDrive) {
  SetText(P().FirmwareRange, "-ABCD-EFG");
  fake.AddDrive(Drive('D', "ZZZZ"));
  fake.AddDrive(Drive('E', "0000", "OTHER"));
  tk.answers = {ModalResult::Yes};
  Run();
  ASSERT_EQ(tk.comboItems.size(), 1u);
  EXPECT_EQ(tk.comboItems[0].substr(0, 6), "0-0-0 ");
  EXPECT_EQ(tk.comboItems[0][6], 'D');
}

// A flash program whose image the flash would read past the firmware area for, or
// could not send in whole chunks, stops before the warning and sends nothing.
// A damaged image length, or a chip table whose profile lengths (0xFFFF, or one that runs
// past the profiles) would copy past the profiles and the 16 KiB work buffer.
TEST_F(Startup, DamagedPayloadStopsBeforeTheWarning) {
  struct Damage {
    std::uint32_t length;
    int entry;
    std::uint8_t high, low;
    const char* says;
  };
  const Damage cases[] = {
      {0u, -1, 0, 0, "image is 0 bytes"},
      {0x80000u + 0x4000u, -1, 0, 0, "image is 540672 bytes"},
      {0x4001u, -1, 0, 0, "image is 16385 bytes"},
      {0x80000u, 3, 0xFF, 0xFF,
       "entry 3 of its chip table gives a profile of 65535 bytes at offset 766"},
      {0x80000u, 6, 0x05, 0x01,
       "entry 6 of its chip table gives a profile of 1281 bytes at offset 4326"},
  };
  for (const Damage& d : cases) {
    SCOPED_TRACE(d.says);
    tk = HeadlessToolkit();
    cddrive::ResetModule();
    fake.bus.Reset();
    fake.rootLetters = std::string("CD");
    fake.AddDrive(Drive('D'));
    std::memcpy(P().ChipTable, FlashPayload.ChipTable, sizeof P().ChipTable);
    SetLength(d.length);
    if (d.entry >= 0) {
      P().ChipTable[d.entry].ProfileLengthBE[0] = d.high;
      P().ChipTable[d.entry].ProfileLengthBE[1] = d.low;
    }
    tk.answers = {ModalResult::Yes};
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(tk.dialogs.size(), 1u);
    EXPECT_EQ(tk.dialogs[0].kind, DialogKind::Error);
    EXPECT_NE(tk.dialogs[0].text.find(d.says), std::string::npos) << tk.dialogs[0].text;
    EXPECT_TRUE(tk.quitPosted);
    EXPECT_TRUE(fake.bus.Trace().empty());
    EXPECT_EQ(tk.answers.size(), 1u);  // the warning never came
  }
}

TEST_F(Startup, VariantRulesInTheirOrder) {
  struct Case {
    std::size_t marker;
    std::size_t nameAt;
    const char* name;
    bool result, cd, dvd;
  } cases[] = {
      {0x4000, 0x4010, "DVD-ROM QRV-310", true, false, true},
      {0x4000, 0x4010, "dvd-rom qrv-482", true, false, true},
      {0x4000, 0x4010, "DVD-ROM QRV-999", true, false, false},
      {0x4008, 0x4018, "DVD-ROM QRV-482", true, false, true},
      {0x1100, 0, nullptr, true, true, false},
  };
  TFlashForm form;
  for (const Case& c : cases) {
    MakeFlashProgram();
    P().FirmwareImage[c.marker] = 0x05;
    P().FirmwareImage[c.marker + 1] = 0x80;
    if (c.name) std::memcpy(P().FirmwareImage + c.nameAt, c.name, 15);
    // A CD marker as well: the first rule found decides.
    if (c.marker != 0x1100) {
      P().FirmwareImage[0x1100] = 0x05;
      P().FirmwareImage[0x1101] = 0x80;
    }
    SetLength(0x60000);
    form.CdProfileImage = form.DvdProfileImage = 0;
    EXPECT_EQ(form.CheckNewFormatBIN(), c.result) << c.marker;
    EXPECT_EQ(form.CdProfileImage, c.cd) << c.marker;
    EXPECT_EQ(form.DvdProfileImage, c.dvd) << c.marker;
    EXPECT_EQ(form.BinLength, 0x60000u);
  }
  MakeFlashProgram();
  form.CdProfileImage = form.DvdProfileImage = 1;
  EXPECT_FALSE(form.CheckNewFormatBIN());
  EXPECT_EQ(form.CdProfileImage + form.DvdProfileImage, 0);
}

}  // namespace
