#include <string>

#include "tests/fake/ProgramFixture.h"

namespace {

class Builder : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    dir_ = PlaceBuilder();
    ini_ = dir_ + "/KFLASH.INI";
  }
  static std::string Entry(int n, const std::string& model, const std::string& extra = "") {
    char name[16];
    std::snprintf(name, sizeof name, "[MODEL%02d]\n", n);
    return name +
           ("Model=" + model + "\nInquiry=KOR-VEL " + model +
            "\nFW-Range=QF01-QF2Z\nBINMask=QF*.BIN\nVendor=Korvel-XQ\nNote=Korvel\n") +
           extra;
  }
  std::string dir_, ini_;
};

TEST_F(Builder, ListsTheModelsAndTheFirstModelsFiles) {
  WriteFile(ini_, Entry(0, "KRW-52088S") +
                      "[model01]\nMODEL=KRW-40X\nInquiry=\"KOR-VEL KRW-40X\"\n"
                      "fw-range=QG01-QG09\nBINMask=QG*.BIN\nVendor=Korvel\nNote=FLASH-ALL\n");
  WriteFile(dir_ + "/qf05.bin", "x");
  WriteFile(dir_ + "/QG01.BIN", "x");
  WriteFile(dir_ + "/readme.txt", "x");
  std::vector<std::string> filesOfSecondModel;
  tk.userActions = {
      [&] { tk.UserClicksFile("qf05.bin"); },
      [&] {
        EXPECT_EQ(FlashForm->BinFileName, "qf05.bin");
        EXPECT_TRUE(tk.Control(ControlId::FlashButton).enabled);
        tk.UserSelectsComboItem(1);
        filesOfSecondModel = tk.files;
        EXPECT_FALSE(tk.Control(ControlId::FlashButton).enabled);
        EXPECT_EQ(tk.Control(ControlId::Form).text, " Flash Utility V1.048A QG01-QG09 [Buiding]");
        tk.UserTypesIntoCombo("KRW");
        EXPECT_EQ(tk.fileMask, "QG*.BIN");
        EXPECT_EQ(tk.Control(ControlId::Form).text, " Flash Utility V1.048A QG01-QG09 [Buiding]");
      }};
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(tk.dialogs.empty());
  ASSERT_EQ(tk.comboItems.size(), 2u);
  EXPECT_EQ(tk.comboItems[0], "QF01-QF2Z KOR-VEL KRW-52088S");
  EXPECT_EQ(tk.comboItems[1], "QG01-QG09 KOR-VEL KRW-40X");
  EXPECT_EQ(tk.fileDirectory, dir_);
  EXPECT_EQ(tk.Control(ControlId::SelectDriveLabel).text, "Select Model: ");
  EXPECT_EQ(tk.Control(ControlId::FlashButton).text, "Build");
  EXPECT_TRUE(tk.Control(ControlId::FileListBox1).visible);
  EXPECT_EQ(filesOfSecondModel, std::vector<std::string>{"QG01.BIN"});
  EXPECT_TRUE(fake.bus.Trace().empty());
}

TEST_F(Builder, StoredValuesAreCutAndPaddedWhileTheComboShowsThemAsRead) {
  std::string longModel(30, 'M');
  WriteFile(ini_, "[MODEL00]\nModel=" + longModel +
                      "\nInquiry=KOR-VEL KRW-52088S\nFW-Range=QF01-QF2Z\nBINMask=*.BIN\n"
                      "Vendor=Korvel-XQ\nNote=\n");
  TFlashForm* form = nullptr;
  tk.userActions = {[&] {
    form = FlashForm;
    EXPECT_EQ((*form->ModelList)[0], std::string(24, 'M'));
    EXPECT_EQ((*form->InquiryList)[0], "KOR-VEL KRW-52088S      ");
    EXPECT_EQ((*form->NoteList)[0], "");  // empty is not missing
    EXPECT_EQ((*form->BinMaskList)[0], "*.BIN");
  }};
  Run();
  EXPECT_TRUE(tk.dialogs.empty());
  EXPECT_EQ(tk.comboItems[0], "QF01-QF2Z KOR-VEL KRW-52088S");
}

TEST_F(Builder, MissingCatalogue) {
  EXPECT_EQ(Run(), 0);
  ASSERT_EQ(tk.dialogs.size(), 1u);
  EXPECT_EQ(tk.dialogs[0].type, DialogRecord::Type::Plain);
  EXPECT_EQ(tk.dialogs[0].text, "Can't load " + ini_);
  EXPECT_TRUE(tk.quitPosted);
  EXPECT_EQ(tk.Control(ControlId::Form).text, " Flash Utility V1.048A ");
  EXPECT_EQ(tk.Control(ControlId::FlashButton).text, "FLASH");
}

TEST_F(Builder, CatalogueStopsAtTheFirstSectionWithoutModelAndFaultsOnAnIncompleteOne) {
  struct Case {
    std::string text;
    std::string error;  // empty: good
    std::size_t models;
  } cases[] = {
      {Entry(0, "A") + Entry(2, "C"), "", 1},
      {Entry(0, "A") + Entry(1, "B") + Entry(2, "C") +
           "[MODEL03]\nModel=D\nInquiry=x\n"
           "FW-Range=x\nBINMask=x\nVendor=x\n",
       "MODEL03", 0},
      {"[MODEL01]\nModel=B\n", "MODEL00", 0},
      {Entry(0, "A") + "[MODEL01]\nModel=FAIL\n", "", 1},
      {"[MODEL00]\nModel=A\nInquiry=FAIL\nFW-Range=x\nBINMask=x\nVendor=x\nNote=x\n", "MODEL00", 0},
      {"[MODEL00]\nModel=A\nInquiry=fail\nFW-Range=x\nBINMask=x\nVendor=x\nNote=x\n", "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    tk = HeadlessToolkit();
    WriteFile(ini_, c.text);
    Run();
    if (c.error.empty()) {
      EXPECT_TRUE(tk.dialogs.empty());
      EXPECT_EQ(tk.comboItems.size(), c.models);
    } else {
      ASSERT_EQ(tk.dialogs.size(), 1u);
      EXPECT_EQ(tk.dialogs[0].text, ini_ + " > Session " + c.error + " error!");
      EXPECT_TRUE(tk.quitPosted);
    }
  }
}

TEST_F(Builder, AHundredModelsAreReadAndNoMore) {
  std::string text;
  for (int n = 0; n < 101; ++n) text += Entry(n, "M" + std::to_string(n));
  WriteFile(ini_, text);
  Run();
  EXPECT_TRUE(tk.dialogs.empty());
  EXPECT_EQ(tk.comboItems.size(), 100u);
}

TEST_F(Builder, ALongCurrentDirectoryIsKeptWhole) {
  std::string deep = dir_;
  while (deep.size() < 300) deep += "/a-rather-long-folder-name";
  fake.currentDirectory = deep;
  WriteFile(ini_, Entry(0, "A"));
#ifndef _WIN32
  std::filesystem::create_directories(deep);
  WriteFile(deep + "/QF05.BIN", "x");
#endif
  Run();
  EXPECT_EQ(tk.fileDirectory, deep);
#ifndef _WIN32
  // Windows without long-path support cannot list the folder; the program's part, the
  // directory handed over whole, is checked above.
  EXPECT_EQ(tk.files, std::vector<std::string>{"QF05.BIN"});
#endif
}

TEST_F(Builder, WorkDirOfAWindowsCurrentDirectory) {
  WriteFile(ini_, Entry(0, "A"));
  for (auto c : {std::pair<std::string, std::string>{"C:\\", "C:\\"},
                 {"D:\\FIRMWARE\\KRW", "D:\\FIRMWARE\\KRW"}}) {
    tk = HeadlessToolkit();
    fake.currentDirectory = c.first;
    tk.userActions = {[&] { EXPECT_EQ(FlashForm->WorkDir, c.second); }};
    Run();
  }
}

}  // namespace
