// The whole program on the Qt toolkit and the Linux platform layer, in this process. The
// program as built is a builder: it reads the catalogue beside its executable and lists
// the firmware files of the current directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <QtTest/QTest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QListWidget>
#include <QtWidgets/QPushButton>

#include "tests/qt/DialogUser.h"
#include "tests/qt/QtProgramFixture.h"

namespace fs = std::filesystem;

namespace {

class QtProgram : public QtProgramFixture {
 protected:
  void SetUp() override {
    PlaceProgram("kf_qt_program");
    for (const char* name : {"QF2A.BIN", "qf1z.bin", "other.txt"})
      std::ofstream(folder / name) << name;
    previousDirectory = fs::current_path();
    fs::current_path(folder);
  }
  void TearDown() override {
    QtProgramFixture::TearDown();
    fs::current_path(previousDirectory);
    fs::remove_all(folder);
  }
  void WriteCatalogue() {
    std::ofstream(folder / "korvel-flash.INI")
        << "[MODEL00]\nModel=KRW-52088S\nInquiry=KOR-VEL KRW-52088S\nFW-Range=QF01-QF2Z\n"
           "BINMask=QF*.BIN\nVendor=Korvel-XQ\nNote=Korvel\n";
  }

  fs::path previousDirectory;
};

TEST_F(QtProgram, ShowsTheBuilderWindowAndReturnsZeroWhenItIsClosed) {
  WriteCatalogue();
  DialogUser user;  // the builder asks nothing before its window
  std::string caption, label, button, combo;
  std::vector<std::string> files;
  bool buildEnabledAtStart = true, buildEnabledAfterClick = false;
  std::string chosen;
  int exitCode = RunProgram([&](QWidget& window) {
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
    caption = window.windowTitle().toStdString();
    label = toolkit.GetText(ControlId::SelectDriveLabel);
    auto* build = qobject_cast<QPushButton*>(toolkit.Widget(ControlId::FlashButton));
    button = build->text().toStdString();
    buildEnabledAtStart = build->isEnabled();
    combo =
        qobject_cast<QComboBox*>(toolkit.Widget(ControlId::ComboBox))->currentText().toStdString();
    auto* list = qobject_cast<QListWidget*>(toolkit.Widget(ControlId::FileListBox1));
    for (int i = 0; i < list->count(); ++i) files.push_back(list->item(i)->text().toStdString());
    if (list->count() > 0) {
      QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                        list->visualItemRect(list->item(0)).center());
      chosen = toolkit.FileListSelectedPath();
      buildEnabledAfterClick = build->isEnabled();
    }
    window.close();  // as the user does
  });

  EXPECT_EQ(exitCode, 0);
  EXPECT_TRUE(windowShown);
  EXPECT_FALSE(watchdogFired) << "the window's close must end the program";
  EXPECT_EQ(caption, " Flash Utility V1.048A QF01-QF2Z [Buiding]");
  EXPECT_EQ(label, "Select Model: ");
  EXPECT_EQ(button, "Build");
  EXPECT_EQ(combo, "QF01-QF2Z KOR-VEL KRW-52088S");
  EXPECT_EQ(files, (std::vector<std::string>{"qf1z.bin", "QF2A.BIN"}));
  EXPECT_FALSE(buildEnabledAtStart);
  EXPECT_EQ(chosen, (folder / "qf1z.bin").string());
  EXPECT_TRUE(buildEnabledAfterClick) << "a click on a file reaches the form's handler";
  EXPECT_EQ(user.unexpected, 0);
  EXPECT_EQ(ShownMainWindow(), nullptr);
}

TEST_F(QtProgram, WithoutCatalogueSaysSoAndEndsWithoutShowingTheWindow) {
  DialogUser user;
  user.Expect(DialogUser::Press(QMessageBox::Ok));
  int exitCode = RunProgram([](QWidget& window) { window.close(); });
  EXPECT_EQ(exitCode, 0);
  EXPECT_FALSE(windowShown);
  EXPECT_FALSE(watchdogFired);
  ASSERT_EQ(user.seen.size(), 1u);
  EXPECT_EQ(user.seen[0].title, "KORVEL Windows Flash utility");
  EXPECT_EQ(user.seen[0].text.toStdString(),
            "Can't load " + (folder / "korvel-flash.INI").string());
  EXPECT_EQ(user.seen[0].parent, toolkit.Widget(ControlId::Form)) << "owned by the hidden window";
  EXPECT_EQ(toolkit.GetText(ControlId::Form), " Flash Utility V1.048A ");
}

}  // namespace
