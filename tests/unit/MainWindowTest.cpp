#include <gtest/gtest.h>

#include <stdexcept>

#include "app/FlashForm.h"
#include "app/FlashFormResource.h"
#include "app/Program.h"
#include "tests/fake/ProgramFixture.h"
#include "toolkit/headless/HeadlessToolkit.h"

namespace {

// The program as shipped: a builder, with a catalogue beside it.
class MainWindow : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    UsePayload(nullptr);
    std::string dir = TempDir();
    fake.modulePath = dir + "/korvel-flash.exe";
    fake.currentDirectory = dir;
    WriteFile(dir + "/korvel-flash.INI",
              "[MODEL00]\nModel=KRW-52088S\nInquiry=KOR-VEL KRW-52088S\nFW-Range=QF01-QF2Z\n"
              "BINMask=*.BIN\nVendor=Korvel-XQ\nNote=Korvel\n");
  }
};

TEST_F(MainWindow, ProgramRunsTitleWindowLoopAndEndsWithZero) {
  EXPECT_EQ(ProgramMain(), 0);
  EXPECT_EQ(tk.ApplicationTitle(), "KORVEL Windows Flash utility");
  EXPECT_TRUE(tk.windowCreated);
  EXPECT_TRUE(tk.windowShown);
  EXPECT_EQ(tk.Control(ControlId::Form).text, " Flash Utility V1.048A QF01-QF2Z [Buiding]");
  EXPECT_EQ(FlashForm, nullptr);  // released with the window
}

TEST_F(MainWindow, CaptionBeforeCreationCompletesIsTheVersionCaptionAlone) {
  ProgramMain();
  ASSERT_FALSE(tk.log.empty());
  EXPECT_EQ(tk.log.front(), "SetText Form  Flash Utility V1.048A ");
}

TEST_F(MainWindow, ControlsAreBuiltAsTheFormResourceGives) {
  const FormResource& form = kFlashFormResource;
  EXPECT_EQ(form.left, 192);
  EXPECT_EQ(form.top, 128);
  EXPECT_EQ(form.width, 433);
  EXPECT_EQ(form.height, 235);
  struct Expected {
    ControlId id;
    ControlId parent;
    int left, top, width, height, tab;
  } expected[] = {
      {ControlId::Panel1, ControlId::Form, 0, 0, 425, 201, 0},
      {ControlId::SelectDriveLabel, ControlId::Panel1, 16, 16, 369, 25, 0},
      {ControlId::ComboBox, ControlId::Panel1, 16, 40, 385, 24, 0},
      {ControlId::FileListBox1, ControlId::Panel1, 16, 72, 385, 41, 1},
      {ControlId::GroupBox2, ControlId::Panel1, 16, 128, 385, 49, 2},
      {ControlId::ProgressBar, ControlId::GroupBox2, 8, 16, 305, 25, 0},
      {ControlId::FlashButton, ControlId::GroupBox2, 320, 16, 57, 25, 1},
  };
  ASSERT_EQ(form.controlCount, 7u);
  for (const Expected& e : expected) {
    const ControlResource* c = FindControl(form, e.id);
    ASSERT_NE(c, nullptr);
    SCOPED_TRACE(c->name);
    EXPECT_EQ(c->parent, e.parent);
    EXPECT_EQ(c->left, e.left);
    EXPECT_EQ(c->top, e.top);
    EXPECT_EQ(c->width, e.width);
    EXPECT_EQ(c->height, e.height);
    EXPECT_EQ(c->tabOrder, e.tab);
  }
  EXPECT_STREQ(FindControl(form, ControlId::FlashButton)->caption, "FLASH");
  EXPECT_EQ(FindControl(form, ControlId::ComboBox)->event, ControlEvent::Change);
  EXPECT_EQ(FindControl(form, ControlId::FileListBox1)->event, ControlEvent::Click);
  EXPECT_EQ(FindControl(form, ControlId::FlashButton)->event, ControlEvent::Click);
  const ControlResource* bar = FindControl(form, ControlId::ProgressBar);
  EXPECT_EQ(bar->minimum, 0);
  EXPECT_EQ(bar->maximum, 100);
  EXPECT_TRUE(bar->smooth);
  EXPECT_EQ(FindControl(form, ControlId::ComboBox)->itemHeight, 16);
  EXPECT_EQ(FindControl(form, ControlId::FileListBox1)->itemHeight, 16);
}

TEST_F(MainWindow, FormDestroyWithNothingCreatedDoesNotFail) {
  TFlashForm form;
  form.FormDestroy(&form);
  form.FormDestroy(&form);
  EXPECT_EQ(form.Drives, nullptr);
  EXPECT_EQ(form.IoBuffer, nullptr);
}

// A form whose handlers throw, as toolkit code inside a handler may.
struct ThrowingForm : TForm {
  ThrowingForm() : TForm(kFlashFormResource) {
    OnCreate = [](TObject*) { throw std::runtime_error("creation failed"); };
    Bind(ControlId::FlashButton, [this](TObject*) {
      ++clicks;
      throw std::runtime_error("Access violation at address 0");
    });
  }
  int clicks = 0;
};

TEST_F(MainWindow, AnExceptionInAHandlerIsShownAndTheProgramGoesOn) {
  ThrowingForm* form = nullptr;
  tk.userActions = {[&] { tk.UserClicksFlashButton(); }, [&] { tk.UserClicksFlashButton(); }};
  Application.CreateForm(form);
  int clicks = 0;
  tk.userActions.push_back([&] { clicks = form->clicks; });
  Application.Run();
  EXPECT_TRUE(tk.windowShown);  // creation completed although its handler threw
  EXPECT_EQ(clicks, 2);
  ASSERT_EQ(tk.dialogs.size(), 3u);
  for (const DialogRecord& d : tk.dialogs) {
    EXPECT_EQ(d.type, DialogRecord::Type::Exception);
    EXPECT_EQ(d.title, tk.ApplicationTitle());
  }
  EXPECT_EQ(tk.dialogs[0].text, "creation failed");
  EXPECT_EQ(tk.dialogs[2].text, "Access violation at address 0");
}

}  // namespace
