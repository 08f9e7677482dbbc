// CDDrive on the pass-through back end (NT family), against the fake platform and the
// in-process emulated drive.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drive/Cddrive.h"
#include "platform/WinConstants.h"
#include "tests/fake/FakePlatform.h"
#include "toolkit/headless/HeadlessToolkit.h"

namespace {

const std::string kIdentification = "KOR-VEL KRW-52088S      QF01";

emu::DriveConfig Drive(char letter) {
  emu::DriveConfig config;
  config.letter = letter;
  return config;
}

emu::Fault SenseFault(int opcode, emu::Sense sense, int occurrence = 0) {
  emu::Fault fault;
  fault.kind = emu::FaultKind::Sense;
  fault.opcode = opcode;
  fault.occurrence = occurrence;
  fault.sense = sense;
  return fault;
}

emu::Fault KindFault(emu::FaultKind kind, int opcode, int occurrence = 0) {
  emu::Fault fault;
  fault.kind = kind;
  fault.opcode = opcode;
  fault.occurrence = occurrence;
  return fault;
}

SCSI_PASS_THROUGH_DIRECT Sptd(const FakePlatform::IoctlRecord& record) {
  SCSI_PASS_THROUGH_DIRECT sptd;
  std::memcpy(&sptd, record.request.data(), sizeof sptd);
  return sptd;
}

class PassThrough : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallPlatform(&os);
    InstallToolkit(&tk);
    cddrive::ResetModule();
    os.UseNt();
  }
  void TearDown() override { cddrive::ResetModule(); }

  // Test unit ready: no data phase.
  std::uint32_t Tur(CDDrive& drive) {
    return drive.ExecuteCommand(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0);
  }

  FakePlatform os;
  HeadlessToolkit tk;
};

// The published 32-bit layout; the 64-bit one is asserted in the header.
static_assert(sizeof(void*) != 4 || sizeof(SCSI_PASS_THROUGH_DIRECT) == 44, "44 bytes");
static_assert(sizeof(void*) != 4 || offsetof(PassThroughRequest, Sense) == 48, "sense at 48");
static_assert(sizeof(void*) != 4 || sizeof(PassThroughRequest) == 80, "80 bytes");

TEST_F(PassThrough, ConstructionOpensTheDriveLetterDeviceAndIdentifies) {
  os.AddDrive(Drive('D'));
  CDDrive drive('D', 0, 0, 0);

  EXPECT_EQ(drive.OpenStatus(), kOpenOk);
  EXPECT_EQ(cddrive::OpenCount(), 1);
  EXPECT_TRUE(cddrive::PassThroughBackEnd());
  ASSERT_EQ(os.versionSizes, std::vector<win::DWORD>{148});
  ASSERT_EQ(os.opens.size(), 1u);
  EXPECT_EQ(os.opens[0].path, "\\\\.\\D:");
  EXPECT_EQ(os.opens[0].access, 0xC0000000u);
  EXPECT_EQ(os.opens[0].share, 1u);
  EXPECT_EQ(os.opens[0].disposition, win::OPEN_EXISTING);
  EXPECT_EQ(os.opens[0].flags, 0u);
  EXPECT_FALSE(os.opens[0].security);
  EXPECT_FALSE(os.opens[0].templateFile);
  EXPECT_EQ(drive.Description, "0-0-0 D: " + kIdentification);
  EXPECT_NE(drive.GetDataBuffer(), nullptr);
  EXPECT_EQ(drive.GetDataBufferLength(), kInternalDataBufferSize);
  EXPECT_EQ(os.libraryNames.size(), 0u);
  EXPECT_TRUE(tk.dialogs.empty());
}

TEST_F(PassThrough, RequestRecordIsFilledFieldByField) {
  os.AddDrive(Drive('D'));
  CDDrive drive('D', 2, 1, 3);
  ASSERT_EQ(drive.OpenStatus(), kOpenOk);
  std::vector<std::uint8_t> buffer(16384, 0xAA);
  drive.SetDataBuffer(buffer.data(), 16384);
  drive.SetTimeout(180);

  drive.ExecuteCommand(0x3B, 0x05, 0x01, 0x04, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0,
                       16384);

  ASSERT_EQ(os.ioctls.size(), 2u);  // INQUIRY, then this one
  const FakePlatform::IoctlRecord& call = os.ioctls[1];
  EXPECT_EQ(call.code, 0x4D014u);
  EXPECT_EQ(call.inSize, sizeof(PassThroughRequest));
  EXPECT_EQ(call.outSize, sizeof(PassThroughRequest));
  EXPECT_TRUE(call.sameBuffer);
  EXPECT_TRUE(call.returnedGiven);
  EXPECT_FALSE(call.overlapped);
  EXPECT_EQ(call.device, drive.DeviceHandle);

  SCSI_PASS_THROUGH_DIRECT sptd = Sptd(call);
  EXPECT_EQ(sptd.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
  EXPECT_EQ(sptd.ScsiStatus, 0);
  EXPECT_EQ(sptd.PathId, 2);
  EXPECT_EQ(sptd.TargetId, 1);
  EXPECT_EQ(sptd.Lun, 3);
  EXPECT_EQ(sptd.CdbLength, 12);
  EXPECT_EQ(sptd.SenseInfoLength, 24);
  EXPECT_EQ(sptd.DataIn, win::SCSI_IOCTL_DATA_OUT);
  EXPECT_EQ(sptd.DataTransferLength, 16384u);
  EXPECT_EQ(sptd.TimeOutValue, 180u);
  EXPECT_EQ(sptd.DataBuffer, buffer.data());
  EXPECT_EQ(sptd.SenseInfoOffset, offsetof(PassThroughRequest, Sense));
  const std::uint8_t cdb[16] = {0x3B, 0x05, 0x01, 0x04, 0, 0, 0, 0x40};
  EXPECT_EQ(std::memcmp(sptd.Cdb, cdb, 16), 0);
  // Filler and sense area start zero: nothing of the previous command survives.
  for (std::size_t i = sizeof(SCSI_PASS_THROUGH_DIRECT); i < call.request.size(); ++i) {
    EXPECT_EQ(call.request[i], 0) << "byte " << i;
  }
}

TEST_F(PassThrough, IdentificationUsesItsOwnBufferAndDataInFlag) {
  os.AddDrive(Drive('D'));
  CDDrive drive('D', 0, 0, 0);

  ASSERT_EQ(os.ioctls.size(), 1u);
  SCSI_PASS_THROUGH_DIRECT sptd = Sptd(os.ioctls[0]);
  EXPECT_EQ(sptd.DataIn, win::SCSI_IOCTL_DATA_IN);
  EXPECT_EQ(sptd.DataTransferLength, 128u);
  EXPECT_EQ(sptd.TimeOutValue, 60u);
  EXPECT_EQ(sptd.DataBuffer, cddrive::IdentificationBuffer());
  const std::uint8_t inquiry[12] = {0x12, 0, 0, 0, 0x80};
  EXPECT_EQ(std::memcmp(sptd.Cdb, inquiry, 12), 0);

  // Afterwards the data phase is the module's data buffer again.
  drive.ExecuteCommand(0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 128);
  EXPECT_EQ(Sptd(os.ioctls[1]).DataBuffer, drive.GetDataBuffer());
  EXPECT_EQ(Sptd(os.ioctls[1]).DataIn, win::SCSI_IOCTL_DATA_IN);
  // Any dataIn other than 1 sends data.
  drive.ExecuteCommand(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0);
  EXPECT_EQ(Sptd(os.ioctls[2]).DataIn, win::SCSI_IOCTL_DATA_OUT);
}

TEST_F(PassThrough, ResultsAndStatusTexts) {
  int d = os.AddDrive(Drive('D'));
  CDDrive drive('D', 0, 0, 0);

  EXPECT_EQ(Tur(drive), 1u);
  EXPECT_TRUE(drive.IoctlOk);
  EXPECT_TRUE(drive.SenseEquals(0, 0, 0));
  EXPECT_TRUE(drive.LastCommandCompleted(0));
  EXPECT_EQ(drive.GetStatusText(), "00 00 00. 00, 0000");

  os.bus.AddFault(d, SenseFault(0x00, {0x02, 0x04, 0x01}, 1));
  EXPECT_EQ(Tur(drive), 0u);
  EXPECT_EQ(drive.StatusByte, 0x02);  // CHECK CONDITION
  EXPECT_TRUE(drive.SenseEquals(0x02, 0x04, 0x01));
  EXPECT_FALSE(drive.LastCommandCompleted(0));
  EXPECT_EQ(drive.GetStatusText(), "02 04 01. 02, 0000");
  EXPECT_TRUE(tk.dialogs.empty());  // error display is off

  // The next good command clears every field again.
  EXPECT_EQ(Tur(drive), 1u);
  EXPECT_EQ(drive.GetStatusText(), "00 00 00. 00, 0000");
}

TEST_F(PassThrough, OnlyTheWholeSenseByteTwoDecidesTheResult) {
  int d = os.AddDrive(Drive('D'));
  CDDrive drive('D', 0, 0, 0);

  // Key 0 with an ASC: still CHECK CONDITION, no success whatever byte 2 says.
  os.bus.AddFault(d, SenseFault(0x00, {0x00, 0x5D, 0x00}, 0));
  EXPECT_EQ(Tur(drive), 0u);
  EXPECT_FALSE(drive.SenseEquals(0, 0, 0));
  EXPECT_FALSE(drive.LastCommandCompleted(0));

  // Key 2 with a flag bit of byte 2 set is not key 2.
  os.bus.AddFault(d, SenseFault(0x00, {0x22, 0x04, 0x01}, 1));
  EXPECT_EQ(Tur(drive), 0u);
  EXPECT_FALSE(drive.SenseEquals(0x02, 0x04, 0x01));
  EXPECT_TRUE(drive.SenseEquals(0x22, 0x04, 0x01));
}

TEST_F(PassThrough, FailedTransportLooksDoneBySenseButIsNotCompleted) {
  int d = os.AddDrive(Drive('D'));
  CDDrive drive('D', 0, 0, 0);
  os.bus.AddFault(d, KindFault(emu::FaultKind::TransportFailure, 0x3B));
  os.bus.AddFault(d, KindFault(emu::FaultKind::NeverCompletes, 0x3C));

  EXPECT_EQ(drive.ExecuteCommand(0x3B, 5, 1, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 16), 0u);
  EXPECT_FALSE(drive.IoctlOk);
  EXPECT_TRUE(drive.SenseEquals(0, 0, 0));
  EXPECT_FALSE(drive.LastCommandCompleted(0));
  EXPECT_EQ(drive.LastOsError, 1117u);
  EXPECT_EQ(drive.GetStatusText(), "00 00 00. 00, 045D");

  EXPECT_EQ(drive.ExecuteCommand(0x3C, 1, 1, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 1, 16), 0u);
  EXPECT_FALSE(drive.LastCommandCompleted(0));
  EXPECT_EQ(drive.LastOsError, 121u);
  EXPECT_EQ(os.clockMs, 60000u);  // the system waited TimeOutValue
}

TEST_F(PassThrough, TransferLongerThanTheBufferIsNotSent) {
  os.AddDrive(Drive('D'));
  CDDrive drive('D', 0, 0, 0);
  std::vector<std::uint8_t> buffer(16, 0);
  drive.SetDataBuffer(buffer.data(), 16);
  std::size_t sent = os.ioctls.size();
  os.lastError = 87;

  EXPECT_EQ(drive.ExecuteCommand(0x3C, 1, 1, 0, 0, 0, 0, 0, 17, 0, 0, 0, 1, 17), 0u);
  EXPECT_EQ(os.ioctls.size(), sent);
  EXPECT_FALSE(drive.LastCommandCompleted(0));
  EXPECT_FALSE(drive.IoctlOk);
  EXPECT_EQ(drive.StatusByte, kStatusBufferTooBig);
  EXPECT_EQ(drive.GetStatusText(), "00 00 00. E6, 0000");

  EXPECT_EQ(drive.ExecuteCommand(0x3C, 1, 1, 0, 0, 0, 0, 0, 16, 0, 0, 0, 1, 16), 1u);
  EXPECT_EQ(os.ioctls.size(), sent + 1);
  EXPECT_TRUE(drive.LastCommandCompleted(0));
}

TEST_F(PassThrough, FailedOpenShowsTwoMessagesAndTurnsOnErrorDisplay) {
  os.AddDrive(Drive('D'));
  os.AddDrive(Drive('E'));
  os.openErrors['D'] = 5;

  CDDrive failed('D', 0, 0, 0);
  EXPECT_EQ(failed.OpenStatus(), kOpenFailed);
  EXPECT_EQ(failed.DeviceHandle, nullptr);
  EXPECT_EQ(cddrive::OpenCount(), 0);
  EXPECT_TRUE(cddrive::ErrorDisplay());
  ASSERT_EQ(tk.dialogs.size(), 2u);
  EXPECT_EQ(tk.dialogs[0].type, DialogRecord::Type::Plain);
  EXPECT_EQ(tk.dialogs[0].text, "Error opening: 5, Drive: \\\\.\\D:");
  EXPECT_EQ(tk.dialogs[1].type, DialogRecord::Type::Plain);
  EXPECT_EQ(tk.dialogs[1].text, "SenseCode: 00 00 00, 00, Error: 5, Access is denied.\r\n");
  ASSERT_EQ(os.formats.size(), 1u);
  EXPECT_EQ(os.formats[0].flags, 0x1200u);  // from the system, inserts ignored
  EXPECT_EQ(os.formats[0].id, 5u);
  EXPECT_EQ(os.formats[0].language, 0u);
  EXPECT_EQ(os.formats[0].size, 80u);
  EXPECT_FALSE(os.formats[0].source);
  EXPECT_FALSE(os.formats[0].arguments);

  // From now on every failed command of every drive shows its sense message.
  int e = os.bus.FindByLetter('E');
  CDDrive other('E', 0, 0, 0);
  ASSERT_EQ(other.OpenStatus(), kOpenOk);
  os.bus.AddFault(e, SenseFault(0x00, {0x02, 0x3A, 0x00}));
  os.lastError = 4242;  // stale: the pass-through call itself succeeds
  EXPECT_EQ(Tur(other), 0u);
  ASSERT_EQ(tk.dialogs.size(), 3u);
  EXPECT_EQ(tk.dialogs[2].text,
            "SenseCode: 02 3A 00, 02, Error: 0, The operation completed successfully.\r\n");
  EXPECT_EQ(other.GetStatusText(), "02 3A 00. 02, 0000");
  // A call that fails brings its own error.
  os.bus.AddFault(e, emu::Fault{emu::FaultKind::TransportFailure, 0x00, 1});
  os.messages.erase(FakePlatform::kErrorIoDevice);
  EXPECT_EQ(Tur(other), 0u);
  EXPECT_EQ(tk.dialogs.back().text, "SenseCode: 00 00 00, 00, Error: 1117, Format message failed.");
  EXPECT_EQ(other.GetStatusText(), "00 00 00. 00, 045D");
}

TEST_F(PassThrough, FailedIdentificationClosesTheDevice) {
  int d = os.AddDrive(Drive('D'));
  os.bus.AddFault(d, SenseFault(0x12, {0x05, 0x24, 0x00}));

  CDDrive drive('D', 0, 0, 0);
  EXPECT_EQ(drive.OpenStatus(), kOpenFailed);
  EXPECT_EQ(drive.DeviceHandle, nullptr);
  EXPECT_EQ(os.handlesOpened, 1);
  EXPECT_EQ(os.handlesClosed, 1);
  EXPECT_EQ(cddrive::OpenCount(), 0);
  EXPECT_TRUE(drive.Description.empty());
  EXPECT_TRUE(tk.dialogs.empty());

  // An answer shorter than the standard data identifies nothing; one of 36 bytes does.
  for (std::uint32_t moved : {35u, 36u}) {
    emu::Fault cut;
    cut.kind = emu::FaultKind::ShortTransfer;
    cut.opcode = 0x12;
    cut.occurrence = moved == 35 ? 1 : 2;
    cut.moved = moved;
    os.bus.AddFault(d, cut);
    CDDrive again('D', 0, 0, 0);
    EXPECT_EQ(again.OpenStatus(), moved == 35 ? kOpenFailed : kOpenOk) << moved;
  }
}

TEST_F(PassThrough, ReleaseClosesTheDeviceAndLeavesTheOpenCount) {
  os.AddDrive(Drive('D'));
  auto first = std::make_unique<CDDrive>('D', 0, 0, 0);
  auto second = std::make_unique<CDDrive>('D', 0, 0, 0);
  EXPECT_EQ(cddrive::OpenCount(), 2);
  win::HANDLE handle = first->DeviceHandle;
  first.reset();
  EXPECT_EQ(cddrive::OpenCount(), 1);
  ASSERT_EQ(os.closedDevices.size(), 1u);
  EXPECT_EQ(os.closedDevices[0], handle);
  second.reset();
  EXPECT_EQ(cddrive::OpenCount(), 0);
  EXPECT_EQ(os.handlesClosed, 2);
}

TEST_F(PassThrough, BackEndAndBufferAreDecidedAtOpenCountZeroOnly) {
  os.AddDrive(Drive('D'));
  std::vector<std::uint8_t> mine(16384);
  {
    CDDrive first('D', 0, 0, 0);
    first.SetDataBuffer(mine.data(), 16384);
    os.UseWin98();  // would change the back end if asked again
    CDDrive second('D', 0, 0, 0);
    EXPECT_EQ(second.OpenStatus(), kOpenOk);
    EXPECT_TRUE(cddrive::PassThroughBackEnd());
    EXPECT_EQ(second.GetDataBuffer(), mine.data());
    EXPECT_EQ(second.GetDataBufferLength(), 16384u);
    EXPECT_EQ(os.versionSizes.size(), 1u);
  }
  os.UseNt();
  CDDrive third('D', 0, 0, 0);
  EXPECT_EQ(os.versionSizes.size(), 2u);
  EXPECT_NE(third.GetDataBuffer(), mine.data());
  EXPECT_EQ(third.GetDataBufferLength(), kInternalDataBufferSize);

  third.SetDataBuffer(mine.data(), 16384);
  third.SetDataBuffer(nullptr, 99);
  EXPECT_NE(third.GetDataBuffer(), nullptr);
  EXPECT_NE(third.GetDataBuffer(), mine.data());
  EXPECT_EQ(third.GetDataBufferLength(), kInternalDataBufferSize);
}

TEST_F(PassThrough, IdentificationBufferIsClearedBeforeEachInquiry) {
  int d = os.AddDrive(Drive('D'));
  CDDrive drive('D', 0, 0, 0);
  ASSERT_EQ(cddrive::IdentificationBuffer()[8], 'K');
  os.bus.AddFault(d, KindFault(emu::FaultKind::TransportFailure, 0x12, 1));

  EXPECT_EQ(drive.GetDescription(), "");
  for (std::uint32_t i = 0; i < kIdentificationBufferSize; ++i) {
    ASSERT_EQ(cddrive::IdentificationBuffer()[i], kNoIdentification) << "byte " << i;
  }
  EXPECT_EQ(drive.GetVendorProduct(), std::string(24, ' '));
  EXPECT_EQ(drive.GetRevision(), "    ");
  // The next INQUIRY works again.
  EXPECT_EQ(drive.GetDescription(), "0-0-0 D: " + kIdentification);
}

TEST_F(PassThrough, DescriptionTakesVendorProductAndRevision) {
  emu::DriveConfig config = Drive('D');
  config.vendor = "ACME";
  config.product = "CD-RW 9";
  config.revision = "1.0Z";
  os.AddDrive(config);
  CDDrive drive('D', 0, 0, 0);

  EXPECT_EQ(drive.GetDescription(), "0-0-0 D: ACME    CD-RW 9         1.0Z");
  EXPECT_EQ(drive.GetVendorProduct(), "ACME    CD-RW 9         ");
  EXPECT_EQ(drive.GetRevision(), "1.0Z");
  EXPECT_EQ(os.ioctls.size(), 2u);  // GetDescription asks the drive again
}

TEST_F(PassThrough, ZeroByteInsideIdentificationPadsOnTheLeft) {
  emu::DriveConfig config = Drive('D');
  config.product = std::string(
      "KRW\0"
      "52088S",
      10);
  os.AddDrive(config);
  CDDrive drive('D', 0, 0, 0);

  // "KOR-VEL KRW" is 11 characters; "%28.28s" puts 17 blanks before it.
  EXPECT_EQ(drive.Description, "0-0-0 D: " + std::string(17, ' ') + "KOR-VEL KRW");
  EXPECT_EQ(drive.GetVendorProduct(), std::string(17, ' ') + "KOR-VEL");
  EXPECT_EQ(drive.GetRevision(), " KRW");
}

}  // namespace
