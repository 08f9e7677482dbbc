#include <algorithm>
#include <string>
#include <vector>

#include "tests/fake/ProgramFixture.h"

namespace {

std::vector<std::uint8_t> Cdb(std::initializer_list<int> bytes) {
  std::vector<std::uint8_t> v(12, 0);
  std::size_t i = 0;
  for (int b : bytes) v[i++] = static_cast<std::uint8_t>(b);
  return v;
}

std::vector<std::uint8_t> CdbOf(const emu::TraceEntry& e) {
  return {e.cdb, e.cdb + 12};
}

class Flash : public ProgramTest {
 protected:
  // A flash program, one matching drive, the warning and the question answered Yes, the
  // restart question No; then FLASH pressed once.
  void FlashOnce(int presses = 1) {
    fake.AddDrive(drive_);
    tk.answers = {ModalResult::Yes};
    for (int i = 0; i < presses; ++i) {
      tk.userActions.push_back([this] {
        tk.answers.push_back(ModalResult::Yes);
        tk.answers.push_back(ModalResult::No);
        fake.bus.ClearTrace();
        tk.UserClicksFlashButton();
      });
    }
    EXPECT_EQ(Run(), 0);
  }
  // The commands FLASH sent, from the first after the readiness wait's stop.
  std::vector<emu::TraceEntry> FlashCommands() {
    std::vector<emu::TraceEntry> all = fake.bus.Trace(), out;
    for (const emu::TraceEntry& e : all)
      if (e.cdb[0] == 0x3B || e.cdb[0] == 0x3C || e.cdb[0] == 0xDF) out.push_back(e);
    return out;
  }
  std::string Status() { return tk.Control(ControlId::GroupBox2).text; }
  std::vector<std::string> Boxes() {
    std::vector<std::string> texts;
    for (const DialogRecord& d : tk.dialogs) texts.push_back(d.text);
    return texts;
  }
  bool Committed() { return fake.bus.State(0).commits > 0; }
  void UseCdImage() {
    P().FirmwareImage[0x1100] = 0x05;
    P().FirmwareImage[0x1101] = 0x80;
  }
  void UseDvdImage() {
    P().FirmwareImage[0x4000] = 0x05;
    P().FirmwareImage[0x4001] = 0x80;
    std::memcpy(P().FirmwareImage + 0x4010, "DVD-ROM QRV-310", 15);
  }
  void FlashId(int a, int b, int c, int d) {
    drive_.flashId[0] = static_cast<std::uint8_t>(a);
    drive_.flashId[1] = static_cast<std::uint8_t>(b);
    drive_.flashId[2] = static_cast<std::uint8_t>(c);
    drive_.flashId[3] = static_cast<std::uint8_t>(d);
  }
  emu::DriveConfig drive_ = Drive('D');
};

TEST_F(Flash, ImageWithoutProfileVariant) {
  FlashOnce();
  std::vector<emu::TraceEntry> trace = fake.bus.Trace();
  // Preparation: load, one readiness pass, stop play, stop.
  ASSERT_GE(trace.size(), 5u);
  EXPECT_EQ(CdbOf(trace[0]), Cdb({0x1B, 0, 0, 0, 0x03}));
  EXPECT_EQ(CdbOf(trace[1]), Cdb({0x00}));
  EXPECT_EQ(CdbOf(trace[2]), Cdb({0x4E}));
  EXPECT_EQ(CdbOf(trace[3]), Cdb({0x4E}));
  EXPECT_EQ(CdbOf(trace[4]), Cdb({0x1B, 0, 0, 0, 0x00}));
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(trace[i].dataIn && trace[i].transferLength == 0);
  EXPECT_EQ(fake.sleeps, std::vector<win::DWORD>{30});

  std::vector<emu::TraceEntry> flash = FlashCommands();
  ASSERT_EQ(flash.size(), 65u);  // 32 writes, 32 reads, the commit
  for (int k = 0; k < 32; ++k) {
    std::uint32_t off = static_cast<std::uint32_t>(k) * 0x4000;
    EXPECT_EQ(CdbOf(flash[k]), Cdb({0x3B, 0x05, 0x01, int(off >> 16), int(off >> 8 & 0xFF), 0, 0x00,
                                    0x40, 0x00, 0x00}));
    EXPECT_FALSE(flash[k].dataIn);
    EXPECT_EQ(flash[k].transferLength, 16384u);
    EXPECT_EQ(flash[k].digest, emu::Fnv1a(P().FirmwareImage + off, 16384));
    EXPECT_EQ(CdbOf(flash[32 + k]),
              Cdb({0x3C, 0x01, 0x01, int(off >> 16), int(off >> 8 & 0xFF), 0, 0x00, 0x40, 0x00}));
    EXPECT_TRUE(flash[32 + k].dataIn);
  }
  EXPECT_EQ(CdbOf(flash[64]), Cdb({0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0x80}));
  EXPECT_TRUE(flash[64].dataIn);
  EXPECT_EQ(flash[64].transferLength, 16u);

  EXPECT_EQ(Status(), "Flash Completed.");
  emu::DriveState state = fake.bus.State(0);
  ASSERT_EQ(state.committed.size(), kFirmwareAreaSize);
  EXPECT_TRUE(std::equal(state.committed.begin(), state.committed.end(), P().FirmwareImage));
  ASSERT_EQ(tk.comboItems.size(), 1u);
  EXPECT_EQ(tk.comboItems[0], Description('D', "KOR-VEL KRW-52088S      QF05"));
  EXPECT_EQ(tk.comboIndex, 0);
  EXPECT_EQ(Boxes().back(), "The system needs to be restarted for the changes to take effect ?");
  EXPECT_TRUE(fake.exitRequests.empty());
  EXPECT_EQ(tk.progressPosition, 0);
  EXPECT_FALSE(tk.busyCursor);
  // 0 to 524288 in 32 steps, back to 0, the same again, 198 and 200 of 200, then 0.
  std::vector<int> expected{0};
  for (int k = 1; k <= 32; ++k) expected.push_back(k * 16384);
  expected.push_back(0);
  for (int k = 1; k <= 32; ++k) expected.push_back(k * 16384);
  expected.insert(expected.end(), {198, 200, 0});
  EXPECT_EQ(tk.progressTrace, expected);
}

TEST_F(Flash, CdProfileImageWithChipEntryZero) {
  UseCdImage();
  FlashId(0xDA, 0xC8, 0x99, 0x99);
  FlashOnce();
  std::vector<emu::TraceEntry> flash = FlashCommands();
  ASSERT_EQ(flash.size(), 69u);
  EXPECT_EQ(CdbOf(flash[0]), Cdb({0xDF, 0x11}));
  EXPECT_EQ(flash[0].transferLength, 128u);
  EXPECT_EQ(CdbOf(flash[1]), Cdb({0x3B, 0x05, 0x01, 0x08, 0, 0, 0, 0x01, 0x3E, 0x7F}));
  EXPECT_EQ(flash[1].transferLength, 318u);
  std::vector<std::uint8_t> block{0xDA, 0xC8, 0x01, 0x3A};
  block.insert(block.end(), P().ChipProfiles, P().ChipProfiles + 314);
  EXPECT_EQ(flash[1].digest, emu::Fnv1a(block.data(), 318));
  EXPECT_EQ(CdbOf(flash[34]), Cdb({0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0x7F}));  // entry critical
  EXPECT_EQ(CdbOf(flash[35]), Cdb({0x3C, 0x01, 0x01, 0x08, 0, 0, 0, 0x01, 0x3E}));
  EXPECT_EQ(flash[35].transferLength, 318u);
  EXPECT_EQ(Status(), "Flash Completed.");
  EXPECT_EQ(fake.bus.State(0).profileOffset, 0x80000u);
}

TEST_F(Flash, DvdProfileImageSendsTheHeaderButCountsOnlyTheProfile) {
  UseDvdImage();
  FlashId(0x37, 0x8C, 0x00, 0x01);  // entry 4
  FlashOnce();
  std::vector<emu::TraceEntry> flash = FlashCommands();
  ASSERT_EQ(flash.size(), 2u + 32 + 32 + 1);  // no entry critical, no profile read
  EXPECT_EQ(CdbOf(flash[1]), Cdb({0x3B, 0x05, 0x01, 0x00, 0, 0, 0, 0x05, 0x00, 0x7F}));
  EXPECT_EQ(flash[1].transferLength, 1280u);
  std::vector<std::uint8_t> block{0x37, 0x8C, 0x00, 0x01, 0x05, 0x00};
  block.insert(block.end(), P().ChipProfiles + 2046, P().ChipProfiles + 2046 + 1274);
  EXPECT_EQ(flash[1].digest, emu::Fnv1a(block.data(), 1280));
  EXPECT_EQ(Status(), "Flash Completed.");
}

TEST_F(Flash, DvdMatchingNeedsTheExtendedIdToo) {
  UseDvdImage();
  FlashId(0x37, 0x8C, 0x00, 0x00);
  FlashOnce();
  std::vector<emu::TraceEntry> flash = FlashCommands();
  EXPECT_EQ(CdbOf(flash[1]), Cdb({0x3B, 0x05, 0x01, 0x00, 0, 0, 0, 0, 0, 0x7F}));
  EXPECT_EQ(flash[1].transferLength, 0u);  // an empty write
  EXPECT_EQ(Status(), "Flash Completed.");
}

TEST_F(Flash, ChipNotInTheTableGetsTheEmptyBlockAndNoProfileCheck) {
  UseCdImage();
  FlashId(0x12, 0x34, 0, 0);
  FlashOnce();
  std::vector<emu::TraceEntry> flash = FlashCommands();
  ASSERT_EQ(flash.size(), 2u + 32 + 1 + 32 + 1);
  EXPECT_EQ(CdbOf(flash[1]), Cdb({0x3B, 0x05, 0x01, 0x08, 0, 0, 0, 0, 0x04, 0x7F}));
  const std::uint8_t none[4] = {0xFF, 0xFF, 0x00, 0x00};
  EXPECT_EQ(flash[1].digest, emu::Fnv1a(none, 4));
  EXPECT_EQ(flash[35].cdb[0], 0x3C);
  EXPECT_EQ(flash[35].cdb[3], 0x00);  // straight to the image read-back
  EXPECT_EQ(Status(), "Flash Completed.");
}

TEST_F(Flash, ChipEntriesTwoAndThreeShareOneProfile) {
  UseCdImage();
  std::uint64_t digests[2];
  int i = 0;
  for (int device : {0xD6, 0xB6}) {
    tk = HeadlessToolkit();
    cddrive::ResetModule();
    fake.bus.Reset();
    fake.rootLetters = std::string("CD");
    FlashId(0xBF, device, 0, 1);
    FlashOnce();
    std::vector<emu::TraceEntry> flash = FlashCommands();
    ASSERT_GT(flash.size(), 1u);
    EXPECT_EQ(flash[1].transferLength, 1284u);
    // The same 1280 profile bytes behind different chip ids.
    std::vector<std::uint8_t> block{0xBF, static_cast<std::uint8_t>(device), 0x05, 0x00};
    block.insert(block.end(), P().ChipProfiles + 766, P().ChipProfiles + 766 + 1280);
    EXPECT_EQ(flash[1].digest, emu::Fnv1a(block.data(), 1284));
    digests[i++] = flash[1].digest;
  }
  EXPECT_NE(digests[0], digests[1]);  // the headers differ
}

TEST_F(Flash, FlashAllCommitsWithControlA0) {
  SetText(P().NoteText, "FLASH-ALL please");
  FlashOnce();
  EXPECT_EQ(FlashCommands().back().cdb[9], 0xA0);
  EXPECT_EQ(fake.bus.State(0).commitControl, 0xA0);
}

TEST_F(Flash, FlashAllInLowerCaseDoesNotCount) {
  SetText(P().NoteText, "flash-all");
  FlashOnce();
  EXPECT_EQ(FlashCommands().back().cdb[9], 0x80);
}

TEST_F(Flash, TheThreeQuestionsAndTheirIcons) {
  struct Case {
    const char* drive;
    const char* range;
    std::string text;
    DialogKind kind;
  } cases[] = {
      {"QF01", "QF01-QF2Z", "\nUpdate Firmware QF01 to QF05 ?\n", DialogKind::Confirmation},
      {"QF05", "QF01-QF2Z",
       "\nWARNING !!!\n\nYour drive Firmware : QF05 is aready the most updated !\n\nUpdate "
       "Firmware : QF05 to QF05 ?\n",
       DialogKind::Confirmation},
      {"QF09", "QF01-QF2Z",
       "\nWARNING !!!\n\nYour drive Firmware : QF09 is aready the most updated !\n\nUpdate "
       "Firmware : QF09 to QF05 ?\n",
       DialogKind::Warning},
      {"QF09", "-QF01-QF2", "\nUpdate Firmware : QF09 to QF05 ?\n", DialogKind::Warning},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    tk = HeadlessToolkit();
    cddrive::ResetModule();
    fake.bus.Reset();
    fake.rootLetters = std::string("CD");
    SetText(P().FirmwareRange, c.range);
    drive_.revision = c.drive;
    fake.AddDrive(drive_);
    tk.answers = {ModalResult::Yes};
    tk.userActions = {[&] { tk.UserClicksFlashButton(); }};  // answered No
    Run();
    ASSERT_EQ(tk.dialogs.size(), 2u);
    EXPECT_EQ(tk.dialogs[1].text, c.text);
    EXPECT_EQ(tk.dialogs[1].kind, c.kind);
    EXPECT_EQ(tk.dialogs[1].buttons, DialogButtons::YesNo);
    EXPECT_TRUE(FlashCommands().empty());
    EXPECT_EQ(fake.bus.State(0).commandCount, 2);  // the probe and the listing
  }
}

TEST_F(Flash, DriveThatNeverBecomesReadyGetsNoFlashCommand) {
  drive_.becomingReadyPasses = -1;
  FlashOnce();
  EXPECT_EQ(Boxes().back(), "Drive can't ready !!!");
  EXPECT_EQ(fake.sleeps.size(), 100u);
  EXPECT_EQ(fake.sleptMs, 3000u);
  EXPECT_TRUE(FlashCommands().empty());
  std::vector<emu::TraceEntry> trace = fake.bus.Trace();
  EXPECT_EQ(trace.size(), 1u + 200u);  // the load and 100 passes
  EXPECT_FALSE(tk.busyCursor);
}

TEST_F(Flash, DriveReadyAfterSomePasses) {
  drive_.becomingReadyPasses = 99;
  FlashOnce();
  EXPECT_EQ(fake.sleeps.size(), 100u);
  EXPECT_EQ(Status(), "Flash Completed.");
}

TEST_F(Flash, RestartAnsweredYesAsksForTheRightAndTheRestart) {
  fake.AddDrive(drive_);
  tk.answers = {ModalResult::Yes};
  tk.userActions = {[&] {
    tk.answers = {ModalResult::Yes, ModalResult::Yes};
    tk.UserClicksFlashButton();
  }};
  Run();
  ASSERT_EQ(fake.exitRequests.size(), 1u);
  EXPECT_EQ(fake.exitRequests[0].first, 6u);
  EXPECT_EQ(fake.exitRequests[0].second, 0u);
  EXPECT_EQ(fake.privilegeRequests, 1);
}

TEST_F(Flash, SecondRunStartsAgainFromTheQuestion) {
  FlashOnce(2);
  EXPECT_EQ(Status(), "Flash Completed.");
  EXPECT_EQ(fake.bus.State(0).commits, 2);
  EXPECT_EQ(FlashCommands().size(), 65u);
}

}  // namespace
