// The flash program on the Qt toolkit and the Linux platform layer, in this process, with
// the emulated ASPI library beside the program: the start-up checks against several
// emulated drives, and the FLASH button to the committed image.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>

#include <QtTest/QTest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>

#include "drive/Cddrive.h"
#include "package/FlashPayload.h"
#include "tests/qt/DialogUser.h"
#include "tests/qt/QtProgramFixture.h"

namespace fs = std::filesystem;

namespace {

const char kWarning[] =
    "\nWARNING:\n\nThis flash utility only supports Korvel-XQ KRW-52088S drive with "
    "firmware:QF01-QF2Z\nWe recommend you close all applications in order to run this "
    "update! \nDon't turn off the system while the flash is in progress!\n\nDo you wish "
    "to continue?\n";
const char kReportStart[] =
    "\nERROR:\n\nCan't found KRW-52088S firmware: QF01-QF2Z drive !\n\nThis flash utility "
    "only supports KRW-52088S firmware: QF01-QF2Z\n";
const char kCaption[] = "Korvel-XQ Flash Utility V1.048A KRW-52088S";

// Drives found by the ASPI address scan carry a blank drive letter.
std::string Description(const char* address, const std::string& product,
                        const std::string& revision) {
  char id[29];
  std::snprintf(id, sizeof id, "%-8.8s%-16.16s%-4.4s", "KOR-VEL", product.c_str(),
                revision.c_str());
  return std::string(address) + "  : " + id;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void SetText(char* field, const char* text, std::size_t width) {
  std::memset(field, 0, width);
  std::memcpy(field, text, std::min(std::strlen(text), width));
}

// A flash program as the builder writes it: the build header and the image over the
// embedded record.
std::unique_ptr<FlashPayloadRecord> FlashProgramPayload() {
  auto p = std::make_unique<FlashPayloadRecord>(FlashPayload);
  SetText(p->ModelText, "KRW-52088S", kTextFieldSize);
  SetText(p->InquiryText, "KOR-VEL KRW-52088S", kTextFieldSize);
  SetText(p->FirmwareRange, "QF01-QF2Z", kTextFieldSize);
  SetText(p->VendorText, "Korvel-XQ", kTextFieldSize);
  SetText(p->NoteText, "Korvel", kTextFieldSize);
  std::memcpy(p->FirmwareName, "QF05.", 5);
  std::memset(p->Reserved, 0, sizeof p->Reserved);
  const std::uint32_t length = kFirmwareAreaSize;
  for (int i = 0; i < 4; ++i) p->FirmwareLength[i] = std::uint8_t(length >> (8 * i));
  for (std::size_t i = 0; i < kFirmwareAreaSize; ++i)
    p->FirmwareImage[i] = std::uint8_t(i * 11 + (i >> 10));
  p->FirmwareImage[0x4000] = 0x02;  // no profile variant
  p->FirmwareImage[0x1100] = 0x00;
  return p;
}

// The program's folder also holds a private copy of the emulated ASPI library: a copy
// is a library of its own for the loader, so each test's drives start afresh from its
// own configuration.
class QtFlashProgram : public QtProgramFixture {
 public:
  void SetUp() override {
    PlaceProgram(std::string("kf_qt_flash_") +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::copy_file(KF_WNASPI32_LIBRARY, folder / "libwnaspi32.so");
    payload = FlashProgramPayload();
    UsePayload(payload.get());
  }
  void TearDown() override {
    cddrive::ResetModule();
    QtProgramFixture::TearDown();
    UsePayload(nullptr);
    unsetenv("KORVEL_EMULATOR_CONFIG");
    if (!HasFailure()) fs::remove_all(folder);
  }
  // `drives`: the drive sections; the trace and the committed image go to the folder.
  void Configure(const std::string& drives) {
    fs::path config = folder / "emulator.txt";
    std::ofstream(config) << "trace " << (folder / "trace.txt").string() << "\ncompletion sync\n"
                          << drives;
    setenv("KORVEL_EMULATOR_CONFIG", config.c_str(), 1);
  }
  static std::string Drive(const char* address, const char* product, const char* revision,
                           const std::string& extra = "") {
    return std::string("drive\naddress ") + address + "\nproduct " + product + "\nrevision " +
           revision + "\n" + extra;
  }
  std::string Status() { return toolkit.GetText(ControlId::GroupBox2); }
  QComboBox& Combo() { return *qobject_cast<QComboBox*>(toolkit.Widget(ControlId::ComboBox)); }
  QProgressBar& Progress() {
    return *qobject_cast<QProgressBar*>(toolkit.Widget(ControlId::ProgressBar));
  }
  QStringList ComboItems() {
    QStringList items;
    for (int i = 0; i < Combo().count(); ++i) items << Combo().itemText(i);
    return items;
  }
  void ClickFlash() { QTest::mouseClick(toolkit.Widget(ControlId::FlashButton), Qt::LeftButton); }
  bool CommitInTrace() {
    return std::regex_search(
        ReadAll(folder / "trace.txt"),
        std::regex("^\\d+ 3B0501000000000000(80|A0)0000 .* GOOD", std::regex::multiline));
  }

  std::unique_ptr<FlashPayloadRecord> payload;
};

TEST_F(QtFlashProgram, OneMatchingDriveAmongOthersIsTheOnlyOneOffered) {
  Configure(Drive("0 0 0", "OTHER", "QF01") + Drive("0 1 0", "KRW-52088S", "QF01") +
            Drive("0 2 0", "KRW-52088S", "QF30"));
  DialogUser user;
  user.Expect(DialogUser::Press(QMessageBox::Yes));
  std::string caption, label, button;
  QStringList items;
  int current = -2;
  bool buttonEnabled = false;
  int exitCode = RunProgram([&](QWidget& window) {
    caption = window.windowTitle().toStdString();
    label = toolkit.GetText(ControlId::SelectDriveLabel);
    auto* flash = qobject_cast<QPushButton*>(toolkit.Widget(ControlId::FlashButton));
    button = flash->text().toStdString();
    buttonEnabled = flash->isEnabled();
    items = ComboItems();
    current = Combo().currentIndex();
    window.close();
  });

  EXPECT_EQ(exitCode, 0);
  EXPECT_TRUE(windowShown);
  EXPECT_FALSE(watchdogFired);
  ASSERT_EQ(user.seen.size(), 1u);
  EXPECT_EQ(user.seen[0].title, "Warning");
  EXPECT_EQ(user.seen[0].text.toStdString(), kWarning);
  EXPECT_EQ(user.seen[0].icon, QMessageBox::Warning);
  EXPECT_EQ(user.seen[0].buttons, (QStringList{"No", "Yes"}));
  EXPECT_TRUE(user.seen[0].modal);
  EXPECT_EQ(caption, kCaption);
  EXPECT_EQ(label, "Select the Korvel-XQ drive you want to update:");
  EXPECT_EQ(button, "FLASH");
  EXPECT_TRUE(buttonEnabled);
  EXPECT_EQ(items, QStringList{QString::fromStdString(Description("0-1-0", "KRW-52088S", "QF01"))});
  EXPECT_EQ(current, 0);
  EXPECT_EQ(user.unexpected, 0);
}

// A stop before the window: the warning, then the error report unless the warning is
// declined; no window, exit code 0.
void ExpectStopBeforeWindow(QtFlashProgram& t, bool answerYes, const std::string& report) {
  DialogUser user;
  user.Expect(DialogUser::Press(answerYes ? QMessageBox::Yes : QMessageBox::No));
  user.Expect(DialogUser::Press(QMessageBox::Ok));
  int exitCode = t.RunProgram([](QWidget& window) { window.close(); });

  EXPECT_EQ(exitCode, 0);
  EXPECT_FALSE(t.windowShown);
  EXPECT_FALSE(t.watchdogFired);
  ASSERT_EQ(user.seen.size(), report.empty() ? 1u : 2u);
  EXPECT_EQ(user.seen[0].text.toStdString(), kWarning);
  if (report.empty()) return;
  EXPECT_EQ(user.seen[1].title, "Error");
  EXPECT_EQ(user.seen[1].icon, QMessageBox::Critical);
  EXPECT_EQ(user.seen[1].buttons, QStringList{"OK"});
  EXPECT_EQ(user.seen[1].text.toStdString(), report);
}

TEST_F(QtFlashProgram, WithoutAnyDriveSaysSo) {
  Configure("adapters 1\n");
  ExpectStopBeforeWindow(*this, true, std::string(kReportStart) + "\nCan't find ATAPI Drive !\n");
}

TEST_F(QtFlashProgram, WithoutAMatchingDriveListsTheDetectedOnes) {
  // below the range; identification differing in case only
  Configure(Drive("0 0 0", "KRW-52088S", "QF00") + Drive("0 1 0", "krw-52088s", "QF01"));
  ExpectStopBeforeWindow(*this, true,
                         std::string(kReportStart) + "\nDetected drives:\n" + std::string(59, '-') +
                             "\n" + Description("0-0-0", "KRW-52088S", "QF00") + "\n" +
                             Description("0-1-0", "krw-52088s", "QF01") + "\n");
}

TEST_F(QtFlashProgram, DecliningTheWarningLooksForNoDrive) {
  Configure(Drive("0 0 0", "KRW-52088S", "QF01"));
  ExpectStopBeforeWindow(*this, false, "");
  EXPECT_FALSE(fs::exists(folder / "trace.txt")) << "the emulated layer was never called";
}

TEST_F(QtFlashProgram, FlashCommitsThePayloadImageAndShowsTheNewRevision) {
  Configure(
      Drive("0 0 0", "OTHER", "QF01") +
      Drive("0 1 0", "KRW-52088S", "QF01",
            "revision-after-commit QF05\nimage " + (folder / "committed.bin").string() + "\n"));
  DialogUser user;
  user.Expect(DialogUser::Press(QMessageBox::Yes));  // the warning
  user.Expect(DialogUser::Press(QMessageBox::Yes));  // the confirmation
  std::string statusAtQuestion;
  int positionAtQuestion = -1, maximumAtQuestion = -1;
  const std::string shot = std::string(KF_QT_SHOT_DIR) + "/qt-flash-completed.png";
  user.Expect([&](QMessageBox& box) {  // the restart question
    statusAtQuestion = Status();
    positionAtQuestion = Progress().value();
    maximumAtQuestion = Progress().maximum();
    fs::remove(shot);
    toolkit.Widget(ControlId::Form)->grab().save(QString::fromStdString(shot));
    DialogUser::Press(QMessageBox::No)(box);
  });
  std::string statusAfter;
  QStringList itemsAfter;
  int positionAfter = -1;
  int exitCode = RunProgram([&](QWidget& window) {
    ClickFlash();
    statusAfter = Status();
    itemsAfter = ComboItems();
    positionAfter = Progress().value();
    window.close();
  });

  EXPECT_EQ(exitCode, 0);
  EXPECT_FALSE(watchdogFired);
  ASSERT_EQ(user.seen.size(), 3u);
  EXPECT_EQ(user.seen[1].text.toStdString(), "\nUpdate Firmware QF01 to QF05 ?\n");
  EXPECT_EQ(user.seen[1].icon, QMessageBox::Question);
  EXPECT_EQ(user.seen[1].buttons, (QStringList{"No", "Yes"}));
  EXPECT_EQ(user.seen[2].text.toStdString(),
            "The system needs to be restarted for the changes to take effect ?");
  EXPECT_EQ(user.seen[2].icon, QMessageBox::Question);
  EXPECT_EQ(statusAtQuestion, "Flash Completed.");
  EXPECT_EQ(positionAtQuestion, 200);
  EXPECT_EQ(maximumAtQuestion, 200);
  EXPECT_EQ(statusAfter, "Flash Completed.");
  EXPECT_EQ(positionAfter, 0);
  EXPECT_EQ(itemsAfter,
            QStringList{QString::fromStdString(Description("0-1-0", "KRW-52088S", "QF05"))});
  EXPECT_EQ(platform->restarts, 0);
  EXPECT_EQ(user.unexpected, 0);
  EXPECT_TRUE(fs::exists(shot));

  const std::string committed = ReadAll(folder / "committed.bin");
  ASSERT_EQ(committed.size(), kFirmwareAreaSize);
  EXPECT_EQ(std::memcmp(committed.data(), payload->FirmwareImage, kFirmwareAreaSize), 0);
  EXPECT_FALSE(
      std::regex_search(ReadAll(folder / "trace.txt"), std::regex("^0 3B", std::regex::multiline)))
      << "nothing written to the other drive";
}

TEST_F(QtFlashProgram, FailingChunkWriteReportsAndNeverCommits) {
  Configure(Drive("0 0 0", "KRW-52088S", "QF01",
                  "image " + (folder / "committed.bin").string() +
                      "\nfault sense opcode=3B at=2 sense=03/0C/00\n"));
  DialogUser user;
  user.Expect(DialogUser::Press(QMessageBox::Yes));
  user.Expect(DialogUser::Press(QMessageBox::Yes));
  user.Expect(DialogUser::Press(QMessageBox::Ok));
  std::string statusAfter;
  int positionAfter = -1;
  int exitCode = RunProgram([&](QWidget& window) {
    ClickFlash();
    statusAfter = Status();
    positionAfter = Progress().value();
    window.close();
  });

  EXPECT_EQ(exitCode, 0);
  ASSERT_EQ(user.seen.size(), 3u);
  EXPECT_EQ(user.seen[2].title, "KORVEL Windows Flash utility");
  EXPECT_TRUE(std::regex_match(user.seen[2].text.toStdString(),
                               std::regex("Write Buffer> 03 0C 00\\. [0-9A-F]{2}, [0-9A-F]{4}")))
      << user.seen[2].text.toStdString();
  EXPECT_EQ(statusAfter, "Write BIN to drive's DRAM... , Fail! ");
  EXPECT_EQ(positionAfter, 0);
  EXPECT_FALSE(fs::exists(folder / "committed.bin"));
  EXPECT_FALSE(CommitInTrace());
  EXPECT_EQ(user.unexpected, 0);
}

// The commit pattern must recognise a commit, or the test above proves nothing.
TEST_F(QtFlashProgram, CommitPatternMatchesACommitLine) {
  std::ofstream(folder / "trace.txt")
      << "0 3B0501000000004000000000 O 00004000 00004000 15DA00B166572325 GOOD 00/00/00\n"
         "0 3B0501000000000000800000 I 00000010 00000010 0123456789ABCDEF GOOD 00/00/00\n";
  EXPECT_TRUE(CommitInTrace());
}

}  // namespace
