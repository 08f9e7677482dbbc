// The drive list on both families, against the fake platform and the emulated bus.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drive/Cddrive.h"
#include "drive/Cddrives.h"
#include "platform/WinConstants.h"
#include "tests/fake/FakePlatform.h"
#include "toolkit/headless/HeadlessToolkit.h"

namespace {

emu::DriveConfig Lettered(char letter, const std::string& product = "KRW-52088S") {
  emu::DriveConfig config;
  config.letter = letter;
  config.product = product;
  return config;
}

emu::DriveConfig Addressed(std::uint8_t adapter, std::uint8_t target) {
  emu::DriveConfig config;
  config.adapter = adapter;
  config.target = target;
  return config;
}

class DriveList : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallPlatform(&os);
    InstallToolkit(&tk);
    cddrive::ResetModule();
  }
  void TearDown() override { cddrive::ResetModule(); }

  std::vector<std::string> Descriptions(const CDDrives& list) {
    std::vector<std::string> found;
    for (int i = 0; i < list.DriveCount; ++i) found.push_back(list.DriveSlots[i]->Description);
    return found;
  }

  FakePlatform os;
  HeadlessToolkit tk;
};

TEST_F(DriveList, NtTakesTheCdRomLettersThatOpen) {
  os.UseNt();
  os.AddDrive(Lettered('D'));
  os.AddDrive(Lettered('E'));
  os.rootLetters = "CDE";
  os.openErrors['D'] = 5;

  CDDrives list;

  ASSERT_EQ(list.GetCount(), 1);
  EXPECT_EQ(list.CurrentIndex, 0);
  EXPECT_EQ(list.SelectedDrive, list.DriveSlots[0]);
  EXPECT_EQ(list.SelectedDrive->DriveLetter, 'E');
  EXPECT_EQ(os.rootBufferLengths, std::vector<win::DWORD>{80});
  ASSERT_EQ(tk.dialogs.size(), 2u);
  EXPECT_EQ(tk.dialogs[0].text, "Error opening: 5, Drive: \\\\.\\D:");
  EXPECT_EQ(tk.dialogs[1].text, "SenseCode: 00 00 00, 00, Error: 5, Access is denied.\r\n");
  // C is a fixed disk: never opened.
  ASSERT_EQ(os.opens.size(), 2u);
  EXPECT_EQ(os.opens[0].path, "\\\\.\\D:");
  EXPECT_EQ(os.opens[1].path, "\\\\.\\E:");
}

TEST_F(DriveList, NtFollowsTheSystemsRootOrder) {
  os.UseNt();
  os.AddDrive(Lettered('D', "FIRST"));
  os.AddDrive(Lettered('E', "SECOND"));
  os.AddDrive(Lettered('F', "THIRD"));
  os.rootLetters = "FCED";

  CDDrives list;

  ASSERT_EQ(list.GetCount(), 3);
  EXPECT_EQ(list.DriveSlots[0]->DriveLetter, 'F');
  EXPECT_EQ(list.DriveSlots[1]->DriveLetter, 'E');
  EXPECT_EQ(list.DriveSlots[2]->DriveLetter, 'D');
  EXPECT_EQ(list.DriveSlots[0]->GetVendorProduct(), "KOR-VEL THIRD           ");
}

TEST_F(DriveList, NtWithoutCdRomIsEmptyAndSilent) {
  os.UseNt();
  os.rootLetters = "ACD";
  os.driveTypes['A'] = 2;  // removable
  os.driveTypes['D'] = 4;  // remote

  CDDrives list;

  EXPECT_EQ(list.GetCount(), 0);
  EXPECT_EQ(list.CurrentIndex, 0);
  EXPECT_EQ(list.SelectedDrive, nullptr);
  EXPECT_FALSE(list.SelectDrive(0));
  EXPECT_TRUE(tk.dialogs.empty());
  EXPECT_TRUE(os.opens.empty());
}

TEST_F(DriveList, AspiScanOrderIsAdapterThenTarget) {
  os.UseWin98();
  os.AddDrive(Addressed(1, 0));
  os.AddDrive(Addressed(0, 1));

  CDDrives list;

  ASSERT_EQ(list.GetCount(), 2);
  EXPECT_EQ(Descriptions(list),
            (std::vector<std::string>{"0-1-0  : KOR-VEL KRW-52088S      QF01",
                                      "1-0-0  : KOR-VEL KRW-52088S      QF01"}));
  EXPECT_EQ(list.DriveSlots[0]->DriveLetter, ' ');
  EXPECT_EQ(list.DriveSlots[1]->DriveLetter, ' ');
  EXPECT_EQ(list.SelectedDrive, list.DriveSlots[0]);
  // 40 addresses, one INQUIRY each.
  EXPECT_EQ(os.aspiRequests.size(), 40u);
  aspi::SRB_ExecSCSICmd last;
  std::memcpy(&last, os.aspiRequests.back().data(), sizeof last);
  EXPECT_EQ(last.SRB_HaId, 19);
  EXPECT_EQ(last.SRB_Target, 1);
  // Probes before the first open repeat the platform test and the load.
  EXPECT_EQ(os.libraryNames.size(), 2u);
  EXPECT_EQ(os.versionSizes.size(), 3u);
  EXPECT_TRUE(tk.dialogs.empty());
}

TEST_F(DriveList, AspiTakesAnyDeviceTypeInDiscoveryOrder) {
  os.UseWin98();
  emu::DriveConfig disk = Addressed(0, 0);
  disk.peripheralType = 0;
  disk.product = "HARD DISK";
  os.AddDrive(Addressed(1, 0));
  os.AddDrive(Addressed(0, 1));
  os.AddDrive(disk);

  CDDrives list;

  ASSERT_EQ(list.GetCount(), 3);
  EXPECT_EQ(list.DriveSlots[0]->GetVendorProduct(), "KOR-VEL HARD DISK       ");
  EXPECT_EQ(list.DriveSlots[1]->TargetId, 1);
  EXPECT_EQ(list.DriveSlots[2]->HostAdapter, 1);
}

TEST_F(DriveList, AspiWithoutLibraryTriesEveryAddressAndSaysSoOnce) {
  os.UseWin98();
  os.AddDrive(Addressed(0, 0));
  os.libraryMissing = true;

  CDDrives list;

  EXPECT_EQ(list.GetCount(), 0);
  EXPECT_EQ(tk.dialogs.size(), 1u);
  EXPECT_EQ(os.libraryNames.size(), 40u);
}

TEST_F(DriveList, SelectDriveChecksItsBounds) {
  os.UseWin98();
  os.AddDrive(Addressed(0, 0));
  os.AddDrive(Addressed(0, 1));
  os.AddDrive(Addressed(1, 0));
  CDDrives list;
  ASSERT_EQ(list.GetCount(), 3);

  EXPECT_TRUE(list.SelectDrive(2));
  EXPECT_EQ(list.CurrentIndex, 2);
  EXPECT_EQ(list.SelectedDrive, list.DriveSlots[2]);
  EXPECT_FALSE(list.SelectDrive(-1));
  EXPECT_FALSE(list.SelectDrive(3));
  EXPECT_EQ(list.CurrentIndex, 2);
  EXPECT_EQ(list.SelectedDrive, list.DriveSlots[2]);
  EXPECT_TRUE(list.SelectDrive(0));
  EXPECT_EQ(list.SelectedDrive, list.DriveSlots[0]);
}

TEST_F(DriveList, ReleaseGoesFromTheLastSlotDown) {
  os.UseNt();
  os.AddDrive(Lettered('D'));
  os.AddDrive(Lettered('E'));
  os.AddDrive(Lettered('F'));
  auto list = std::make_unique<CDDrives>();
  ASSERT_EQ(list->GetCount(), 3);
  std::vector<win::HANDLE> handles = {list->DriveSlots[2]->DeviceHandle,
                                      list->DriveSlots[1]->DeviceHandle,
                                      list->DriveSlots[0]->DeviceHandle};
  EXPECT_EQ(cddrive::OpenCount(), 3);

  list.reset();

  EXPECT_EQ(os.closedDevices, handles);
  EXPECT_EQ(cddrive::OpenCount(), 0);
}

TEST_F(DriveList, KeepsAtMost24DrivesAndReleasesTheRest) {
  os.UseWin98();
  for (int i = 0; i < 26; ++i) {
    os.AddDrive(Addressed(static_cast<std::uint8_t>(i / 2), static_cast<std::uint8_t>(i % 2)));
  }

  auto list = std::make_unique<CDDrives>();

  ASSERT_EQ(list->GetCount(), 24);
  EXPECT_EQ(list->DriveSlots[23]->HostAdapter, 11);
  EXPECT_EQ(list->DriveSlots[23]->TargetId, 1);
  // The 25th and 26th drives opened, were released and gave their count back; the
  // library stays loaded for the kept ones.
  EXPECT_EQ(cddrive::OpenCount(), 24);
  EXPECT_EQ(cddrive::AspiLibrary(), FakePlatform::LibraryHandle());
  EXPECT_EQ(os.librariesLoaded - os.librariesFreed, 1);
  list.reset();
  EXPECT_EQ(cddrive::OpenCount(), 0);
}

TEST_F(DriveList, LongRootListIsReadAgainWithTheSizeAsked) {
  os.UseNt();
  std::string letters;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    os.AddDrive(Lettered(letter));
    if (letter != 'Q') letters += letter;
  }
  os.rootLetters = letters;  // 25 roots: 101 characters
  // The unfilled first buffer holds Q, a CD-ROM drive the system does not list.
  os.scribbleTooSmallBuffer = true;

  auto list = std::make_unique<CDDrives>();

  EXPECT_EQ(os.rootBufferLengths, (std::vector<win::DWORD>{80, 101}));
  ASSERT_EQ(list->GetCount(), 24);
  EXPECT_EQ(list->DriveSlots[0]->DriveLetter, 'A');
  EXPECT_EQ(list->DriveSlots[23]->DriveLetter, 'Y');
  for (const FakePlatform::OpenRecord& open : os.opens) EXPECT_NE(open.path, "\\\\.\\Q:");
  // Z, the 25th, was opened, released and closed.
  EXPECT_EQ(os.opens.size(), 25u);
  EXPECT_EQ(os.handlesClosed, 1);
  EXPECT_EQ(cddrive::OpenCount(), 24);
}

TEST_F(DriveList, RootsThatFitExactlyAreReadOnce) {
  os.UseNt();
  std::string letters;
  for (char letter = 'D'; letter <= 'V'; ++letter) letters += letter;  // 19 roots: 77
  os.rootLetters = letters;
  os.AddDrive(Lettered('V'));

  CDDrives list;

  EXPECT_EQ(os.rootBufferLengths, std::vector<win::DWORD>{80});
  ASSERT_EQ(list.GetCount(), 1);
  EXPECT_EQ(list.DriveSlots[0]->DriveLetter, 'V');
}

}  // namespace
