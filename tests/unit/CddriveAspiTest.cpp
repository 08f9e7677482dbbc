// CDDrive on the ASPI back end (outside the NT family), against the fake platform and
// the in-process emulated ASPI layer.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "drive/Cddrive.h"
#include "platform/WinConstants.h"
#include "tests/fake/FakePlatform.h"
#include "toolkit/headless/HeadlessToolkit.h"

namespace {

const std::string kMissingLibrary =
    "Unable to load WNASPI32.DLL !\nYou can down the DLL from http://www.adaptec.com\n and copy "
    "the DLL to system directory.\n\n";

emu::DriveConfig Drive(std::uint8_t adapter, std::uint8_t target) {
  emu::DriveConfig config;
  config.adapter = adapter;
  config.target = target;
  return config;
}

emu::Fault Fault(emu::FaultKind kind, int opcode, int occurrence, emu::Sense sense = {}) {
  emu::Fault fault;
  fault.kind = kind;
  fault.opcode = opcode;
  fault.occurrence = occurrence;
  fault.sense = sense;
  return fault;
}

// The records are packed: their fields are compared as copies, never bound by reference.
template <class T>
T Val(T value) {
  return value;
}

aspi::SRB_ExecSCSICmd Srb(const std::vector<std::uint8_t>& bytes) {
  aspi::SRB_ExecSCSICmd srb;
  std::memcpy(&srb, bytes.data(), sizeof srb);
  return srb;
}

class Aspi : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallPlatform(&os);
    InstallToolkit(&tk);
    cddrive::ResetModule();
    os.UseWin98();
  }
  void TearDown() override { cddrive::ResetModule(); }

  std::uint32_t Tur(CDDrive& drive) {
    return drive.ExecuteCommand(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0);
  }

  FakePlatform os;
  HeadlessToolkit tk;
};

static_assert(sizeof(void*) != 4 || sizeof(aspi::SRB_ExecSCSICmd) == 80, "80 bytes");
static_assert(sizeof(void*) != 4 || offsetof(aspi::SRB_ExecSCSICmd, SenseArea) == 64, "sense");

TEST_F(Aspi, ConstructionLoadsTheLayerAndIdentifies) {
  os.AddDrive(Drive(1, 0));
  CDDrive drive(' ', 1, 0, 0);

  EXPECT_EQ(drive.OpenStatus(), kOpenOk);
  EXPECT_FALSE(cddrive::PassThroughBackEnd());
  EXPECT_EQ(os.libraryNames, std::vector<std::string>{"WNASPI32.DLL"});
  EXPECT_EQ(os.supportInfoCalls, 1);
  EXPECT_EQ(cddrive::AspiLibrary(), FakePlatform::LibraryHandle());
  EXPECT_EQ(cddrive::OpenCount(), 1);
  EXPECT_TRUE(os.opens.empty());
  EXPECT_EQ(drive.DeviceHandle, nullptr);
  EXPECT_EQ(drive.Description, "1-0-0  : KOR-VEL KRW-52088S      QF01");
  EXPECT_EQ(drive.GetDataBufferLength(), kInternalDataBufferSize);
  EXPECT_TRUE(tk.dialogs.empty());
}

// A layer may report a drive's normal, shorter INQUIRY answer as an underrun, with no
// count: the identification bytes that arrived decide.
TEST_F(Aspi, InquiryReportedAsAnUnderrunIsJudgedByItsData) {
  for (std::uint32_t moved : {96u, 36u, 35u, 4u}) {
    SCOPED_TRACE(moved);
    cddrive::ResetModule();
    FakePlatform fake;
    InstallPlatform(&fake);
    fake.UseWin98();
    emu::DriveConfig config = Drive(0, 0);
    config.underrunAlways = true;
    int d = fake.AddDrive(config);
    emu::Fault cut = Fault(emu::FaultKind::ShortTransfer, 0x12, 0);
    cut.moved = moved;
    fake.bus.AddFault(d, cut);
    CDDrive drive(' ', 0, 0, 0);
    EXPECT_EQ(Val(drive.AspiRequest.SRB_HaStat), 0x12);
    EXPECT_EQ(drive.OpenStatus(), moved >= 36 ? kOpenOk : kOpenFailed);
    EXPECT_EQ(drive.Description, moved >= 36 ? "0-0-0  : KOR-VEL KRW-52088S      QF01" : "");
    // Unfaulted, the drive's own 96 bytes come back as an underrun too.
    EXPECT_EQ(drive.GetDescription(), "0-0-0  : KOR-VEL KRW-52088S      QF01");
    EXPECT_EQ(Val(drive.AspiRequest.SRB_HaStat), 0x12);
    cddrive::ResetModule();
    InstallPlatform(&os);
  }
}

TEST_F(Aspi, RequestRecordIsFilledFieldByField) {
  os.AddDrive(Drive(3, 1));
  CDDrive drive(' ', 3, 1, 2);  // the LUN is not sent
  ASSERT_EQ(drive.OpenStatus(), kOpenOk);
  std::vector<std::uint8_t> buffer(16384);
  drive.SetDataBuffer(buffer.data(), 16384);

  drive.ExecuteCommand(0x3B, 0x05, 0x01, 0x00, 0x40, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0,
                       16384);

  ASSERT_EQ(os.aspiRequests.size(), 2u);  // INQUIRY, then this one
  aspi::SRB_ExecSCSICmd srb = Srb(os.aspiRequests[1]);
  EXPECT_EQ(srb.SRB_Cmd, aspi::SC_EXEC_SCSI_CMD);
  EXPECT_EQ(srb.SRB_Status, aspi::SS_PENDING);
  EXPECT_EQ(srb.SRB_HaId, 3);
  EXPECT_EQ(srb.SRB_Flags, aspi::SRB_DIR_OUT | aspi::SRB_EVENT_NOTIFY);
  EXPECT_EQ(Val(srb.SRB_Hdr_Rsvd), 0u);
  EXPECT_EQ(srb.SRB_Target, 1);
  EXPECT_EQ(srb.SRB_Lun, 0);
  EXPECT_EQ(Val(srb.SRB_Rsvd1), 0);
  EXPECT_EQ(Val(srb.SRB_BufLen), 16384u);
  EXPECT_EQ(Val(srb.SRB_BufPointer), buffer.data());
  EXPECT_EQ(srb.SRB_SenseLen, 14);
  EXPECT_EQ(srb.SRB_CDBLen, 12);
  EXPECT_EQ(srb.SRB_HaStat, 0);
  EXPECT_EQ(srb.SRB_TargStat, 0);
  EXPECT_NE(Val(srb.SRB_PostProc), nullptr);
  const std::uint8_t zero[20] = {};
  EXPECT_EQ(std::memcmp(srb.SRB_Rsvd2, zero, sizeof srb.SRB_Rsvd2), 0);
  const std::uint8_t cdb[16] = {0x3B, 0x05, 0x01, 0x00, 0x40, 0, 0, 0x40};
  EXPECT_EQ(std::memcmp(srb.CDBByte, cdb, 16), 0);
  EXPECT_EQ(std::memcmp(srb.SenseArea, zero, sizeof srb.SenseArea), 0);

  // The identification went in with data in and the identification buffer.
  aspi::SRB_ExecSCSICmd inquiry = Srb(os.aspiRequests[0]);
  EXPECT_EQ(inquiry.SRB_Flags, aspi::SRB_DIR_IN | aspi::SRB_EVENT_NOTIFY);
  EXPECT_EQ(Val(inquiry.SRB_BufPointer), cddrive::IdentificationBuffer());
  EXPECT_EQ(Val(inquiry.SRB_BufLen), 128u);
  EXPECT_NE(Val(inquiry.SRB_PostProc), Val(srb.SRB_PostProc));  // one event per command
}

TEST_F(Aspi, ResultsAndStatusTexts) {
  int d = os.AddDrive(Drive(0, 0));
  os.bus.AddFault(d, Fault(emu::FaultKind::Sense, 0x00, 1, {0x02, 0x04, 0x01}));
  os.bus.AddFault(d, Fault(emu::FaultKind::TransportFailure, 0x00, 2));
  CDDrive drive(' ', 0, 0, 0);

  // Success without data returns 0 like a failure; only the status tells them apart.
  EXPECT_EQ(Tur(drive), 0u);
  EXPECT_EQ(drive.StatusByte, aspi::SS_COMP);
  EXPECT_TRUE(drive.SenseEquals(0, 0, 0));
  EXPECT_TRUE(drive.LastCommandCompleted(0));
  EXPECT_EQ(drive.GetStatusText(), "00 00 00. 01, 0000");

  EXPECT_EQ(Tur(drive), 0u);
  EXPECT_EQ(drive.StatusByte, aspi::SS_ERR);
  EXPECT_TRUE(drive.SenseEquals(0x02, 0x04, 0x01));
  EXPECT_FALSE(drive.LastCommandCompleted(0));
  EXPECT_EQ(drive.GetStatusText(), "02 04 01. 04, 0000");

  // A failed transport leaves zero sense behind: done by the sense bytes, not completed.
  EXPECT_EQ(Tur(drive), 0u);
  EXPECT_EQ(drive.StatusByte, aspi::SS_ERR);
  EXPECT_TRUE(drive.SenseEquals(0, 0, 0));
  EXPECT_FALSE(drive.LastCommandCompleted(0));

  // A data phase returns its length.
  EXPECT_EQ(drive.ExecuteCommand(0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 128), 128u);
  EXPECT_EQ(drive.GetDataBuffer()[0], 0xBF);
  EXPECT_EQ(drive.GetDataBuffer()[1], 0xB6);
  EXPECT_TRUE(drive.LastCommandCompleted(128));

  // An underrun report: done for a caller that needs no data, failed for one that does.
  emu::Fault underrun = Fault(emu::FaultKind::ShortTransfer, 0xDF, 1);
  underrun.moved = 2;
  os.bus.AddFault(d, underrun);
  drive.GetDataBuffer()[0] = 0x5A;
  drive.ExecuteCommand(0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 128);
  EXPECT_TRUE(drive.LastCommandCompleted(0));
  EXPECT_FALSE(drive.LastCommandCompleted(128));
  EXPECT_EQ(drive.GetStatusText(), "00 00 00. 04, 0000");
  // Not when the target did not answer GOOD, nor with sense.
  for (int answer = 0; answer < 2; ++answer) {
    os.rewriteAnswer = [answer](aspi::SRB_ExecSCSICmd& srb) {
      srb.SRB_Status = aspi::SS_ERR;
      srb.SRB_HaStat = 0x12;
      if (answer == 0) srb.SRB_TargStat = 0x08;
      if (answer == 1) srb.SenseArea[12] = 0x5D;
    };
    Tur(drive);
    EXPECT_FALSE(drive.LastCommandCompleted(0)) << answer;
  }
  os.rewriteAnswer = nullptr;

  // A status other than GOOD without sense.
  emu::Fault busy = Fault(emu::FaultKind::Status, 0x00, 5);  // after the two above
  os.bus.AddFault(d, busy);
  EXPECT_EQ(Tur(drive), 0u);
  EXPECT_TRUE(drive.SenseEquals(0, 0, 0));
  EXPECT_FALSE(drive.LastCommandCompleted(0));
  EXPECT_EQ(drive.GetStatusText(), "00 00 00. 04, 0000");
  EXPECT_TRUE(tk.dialogs.empty());
}

TEST_F(Aspi, EachCommandHasItsOwnEventClosedBeforeReturning) {
  emu::DriveConfig config = Drive(0, 0);
  config.completionDelayMs = 20;
  os.AddDrive(config);
  os.SetAsynchronousAspi(true);
  CDDrive drive(' ', 0, 0, 0);
  ASSERT_EQ(drive.OpenStatus(), kOpenOk);
  os.callLog.clear();

  EXPECT_EQ(drive.ExecuteCommand(0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 128), 128u);
  EXPECT_TRUE(drive.LastCommandCompleted(0));
  EXPECT_EQ(os.callLog, (std::vector<std::string>{"create", "send", "wait", "reset", "close"}));
  EXPECT_EQ(os.waitRequests.back(), 60000u);
  EXPECT_EQ(os.eventsCreated, 2);
  EXPECT_EQ(os.EventsOpen(), 0);
  EXPECT_EQ(os.lateSignals, 0);

  drive.SetTimeout(180);
  Tur(drive);
  EXPECT_EQ(os.waitRequests.back(), 180000u);
}

TEST_F(Aspi, ImmediateCompletionIsNotWaitedFor) {
  os.AddDrive(Drive(0, 0));
  CDDrive drive(' ', 0, 0, 0);
  os.callLog.clear();
  Tur(drive);
  EXPECT_EQ(os.callLog, (std::vector<std::string>{"create", "send", "close"}));

  // An empty address answers SS_NO_DEVICE at once.
  CDDrive absent(' ', 0, 1, 0);
  EXPECT_EQ(absent.OpenStatus(), kOpenFailed);
  EXPECT_EQ(absent.StatusByte, aspi::SS_NO_DEVICE);
  EXPECT_TRUE(os.waitRequests.empty());
}

TEST_F(Aspi, TimedOutRequestIsAbortedBeforeItsRecordsAreReleased) {
  int d = os.AddDrive(Drive(2, 1));
  os.bus.AddFault(d, Fault(emu::FaultKind::NeverCompletes, 0x3C, 0));
  os.SetAsynchronousAspi(true);
  os.waitCapMs = 200;  // room for a busy machine to answer what does complete
  CDDrive drive(' ', 2, 1, 0);
  ASSERT_EQ(drive.OpenStatus(), kOpenOk);
  drive.SetTimeout(5);
  os.callLog.clear();

  os.aspi.SetAbortSignalMs(0);  // signals the aborted request when the test says so
  EXPECT_EQ(drive.ExecuteCommand(0x3C, 1, 1, 0, 0, 0, 0, 0, 16, 0, 0, 0, 1, 16), 0u);
  EXPECT_EQ(os.callLog, (std::vector<std::string>{"create", "send", "wait", "abort"}));
  EXPECT_EQ(os.waitRequests.back(), 5000u);
  EXPECT_EQ(os.aspi.AbortCount(), 1);
  EXPECT_EQ(os.aspi.PendingCount(), 0);
  aspi::SRB_Abort abort;
  std::memcpy(&abort, os.aspiRequests.back().data(), sizeof abort);
  EXPECT_EQ(abort.SRB_Cmd, aspi::SC_ABORT_SRB);
  EXPECT_EQ(abort.SRB_HaId, 2);
  EXPECT_EQ(Val(abort.SRB_ToAbort), static_cast<void*>(&drive.AspiRequest));
  EXPECT_EQ(drive.StatusByte, aspi::SS_ABORTED);
  EXPECT_FALSE(drive.LastCommandCompleted(0));
  // The interface promises no signal after an abort, nor rules one out: the event stays.
  EXPECT_EQ(os.EventsOpen(), 1);

  // The next command reuses the request record safely.
  EXPECT_EQ(drive.ExecuteCommand(0x3C, 1, 1, 0, 0, 0, 0, 0, 16, 0, 0, 0, 1, 16), 16u);
  EXPECT_TRUE(drive.LastCommandCompleted(0));
  EXPECT_EQ(os.aspi.AbortCount(), 1);
  int signals = os.signals;
  os.aspi.CompleteParked();
  os.aspi.WaitIdle();
  EXPECT_EQ(os.signals, signals + 1);
  EXPECT_EQ(os.lateSignals, 0);
}

// A layer may set the request's status before it signals; whenever it answered
// SS_PENDING the signal is waited for, so it never lands on a closed (or reused) handle.
TEST_F(Aspi, PendingAnswerIsWaitedForWhateverTheStatusReads) {
  os.AddDrive(Drive(0, 0));
  os.aspiAnswersPending = true;
  os.deferSignals = true;
  CDDrive drive(' ', 0, 0, 0);
  ASSERT_EQ(drive.OpenStatus(), kOpenOk);
  os.callLog.clear();

  EXPECT_EQ(drive.ExecuteCommand(0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 128), 128u);
  EXPECT_EQ(os.callLog, (std::vector<std::string>{"create", "send", "wait", "reset", "close"}));
  EXPECT_EQ(os.lateSignals, 0);
  EXPECT_EQ(os.EventsOpen(), 0);

  // A wake while the request still reads SS_PENDING (a signal meant for an event of the
  // same handle value before) is no end: the wait goes on for the request's own.
  emu::DriveConfig slow = Drive(0, 1);
  slow.completionDelayMs = 200;  // the stray wake comes well before the completion
  os.AddDrive(slow);
  CDDrive slowDrive(' ', 0, 1, 0);
  ASSERT_EQ(slowDrive.OpenStatus(), kOpenOk);
  os.deferSignals = false;
  os.aspiAnswersPending = false;
  os.SetAsynchronousAspi(true);
  os.strayWakes = 1;
  os.callLog.clear();
  EXPECT_EQ(slowDrive.ExecuteCommand(0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 128), 128u);
  EXPECT_TRUE(slowDrive.LastCommandCompleted(128));
  EXPECT_EQ(os.callLog,
            (std::vector<std::string>{"create", "send", "wait", "wait", "reset", "close"}));
  os.aspi.WaitIdle();
  EXPECT_EQ(os.lateSignals, 0);

  // Without an event nothing is sent, and the failed call's error is the one shown.
  os.failEventCreation = true;
  std::size_t sent = os.aspiRequests.size();
  EXPECT_EQ(Tur(drive), 0u);
  EXPECT_EQ(os.aspiRequests.size(), sent);
  EXPECT_EQ(drive.GetStatusText(), "00 00 00. 00, 0008");
}

// A request that does not end when aborted may still be written by the layer: it keeps
// its record, event and buffer, its drive sends nothing more, and nobody else uses the
// buffer for data.
TEST_F(Aspi, RequestThatOutlivesItsAbortIsNeverReused) {
  int d = os.AddDrive(Drive(0, 0));
  os.AddDrive(Drive(0, 1));
  emu::Fault late = Fault(emu::FaultKind::LateAfterAbort, 0x3C, 0);
  late.lateMs = 0;  // completes when the test says so, long after the abort
  // The layer answers everything else inside the call: no answer depends on how busy
  // the machine is.
  os.bus.AddFault(d, late);
  os.waitCapMs = 2;
  std::vector<std::uint8_t> buffer(16384, 0xEE);
  {
    CDDrive drive(' ', 0, 0, 0);
    CDDrive other(' ', 0, 1, 0);
    drive.SetDataBuffer(buffer.data(), 16384);
    drive.SetTimeout(1);
    os.callLog.clear();

    EXPECT_EQ(drive.ExecuteCommand(0x3C, 1, 1, 0, 0, 0, 0, 0x40, 0, 0, 0, 0, 1, 16384), 0u);
    EXPECT_TRUE(drive.RequestStuck);
    EXPECT_EQ(drive.StatusByte, aspi::SS_PENDING);
    EXPECT_EQ(os.aspi.AbortCount(), 1);
    EXPECT_EQ(os.EventsOpen(), 1);  // never closed
    EXPECT_TRUE(cddrive::BufferHeld(buffer.data()));

    std::size_t sent = os.aspiRequests.size();
    EXPECT_EQ(Tur(drive), 0u);
    EXPECT_EQ(drive.GetStatusText(), "00 00 00. E3, 0000");
    EXPECT_EQ(other.ExecuteCommand(0x3C, 1, 1, 0, 0, 0, 0, 0, 16, 0, 0, 0, 1, 16), 0u);
    EXPECT_EQ(other.StatusByte, kStatusRequestStuck);
    EXPECT_EQ(os.aspiRequests.size(), sent);
    EXPECT_EQ(Tur(other), 0u);  // no data phase: the held buffer is not touched
    EXPECT_TRUE(other.LastCommandCompleted(0));

    // The late completion writes the buffer and signals an event that is still open.
    os.aspi.CompleteParked();
    os.aspi.WaitIdle();
    EXPECT_EQ(os.lateSignals, 0);
    EXPECT_NE(buffer[0], 0xEE);
  }
}

TEST_F(Aspi, TransferLongerThanTheBufferIsNotSent) {
  os.AddDrive(Drive(0, 0));
  CDDrive drive(' ', 0, 0, 0);
  std::size_t sent = os.aspiRequests.size();
  EXPECT_EQ(drive.ExecuteCommand(0x3C, 1, 1, 0, 0, 0, 0, 0x09, 0x31, 0, 0, 0, 1, 2353), 0u);
  EXPECT_EQ(os.aspiRequests.size(), sent);
  EXPECT_EQ(os.eventsCreated, 1);  // the INQUIRY's only
  EXPECT_FALSE(drive.LastCommandCompleted(0));
  EXPECT_EQ(drive.StatusByte, kStatusBufferTooBig);
}

TEST_F(Aspi, MissingLibraryIsReportedOncePerRun) {
  os.AddDrive(Drive(0, 0));
  os.libraryMissing = true;
  os.failedLibraryHandle = reinterpret_cast<win::HMODULE>(31);  // an error code, not a handle

  CDDrive first(' ', 0, 0, 0);
  CDDrive second(' ', 0, 0, 0);

  EXPECT_EQ(first.OpenStatus(), kOpenAspiNotLoaded);
  EXPECT_EQ(second.OpenStatus(), kOpenAspiNotLoaded);
  EXPECT_EQ(os.libraryNames.size(), 2u);
  ASSERT_EQ(tk.dialogs.size(), 1u);
  for (const DialogRecord& dialog : tk.dialogs) {
    EXPECT_EQ(dialog.type, DialogRecord::Type::Message);
    EXPECT_EQ(dialog.kind, DialogKind::Error);
    EXPECT_EQ(dialog.buttons, DialogButtons::Ok);
    EXPECT_EQ(dialog.text, kMissingLibrary);
  }
  EXPECT_EQ(os.versionSizes.size(), 2u);
  EXPECT_EQ(cddrive::OpenCount(), 0);
  EXPECT_EQ(cddrive::AspiLibrary(), nullptr);
  EXPECT_EQ(os.aspiRequests.size(), 0u);
  EXPECT_EQ(os.librariesFreed, 0);  // nothing was loaded
  EXPECT_EQ(first.DriveLetter, ' ');
  EXPECT_EQ(first.AccessMode, 0u);  // construction ended before the fields were set
}

TEST_F(Aspi, BrokenLibraryIsFreedWithoutAMessage) {
  os.AddDrive(Drive(0, 0));
  struct Case {
    const char* missing;
    std::optional<win::DWORD> supportInfo;
    std::uint8_t status;
    int supportCalls;
  };
  const Case cases[] = {
      {"GetASPI32SupportInfo", std::nullopt, kOpenAspiEntryMissing, 0},
      {"SendASPI32Command", std::nullopt, kOpenAspiEntryMissing, 1},
      {"", (win::DWORD{aspi::SS_ERR} << 8) | 1, kOpenAspiNotReady, 1},
      {"", 0x00000001, kOpenAspiNotReady, 1},  // status 0 with one adapter
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    cddrive::ResetModule();
    os.missingEntryPoints = {c.missing};
    os.supportInfo = c.supportInfo;
    os.supportInfoCalls = 0;
    int loaded = os.librariesLoaded, freed = os.librariesFreed;
    CDDrive drive(' ', 0, 0, 0);
    EXPECT_EQ(drive.OpenStatus(), c.status);
    EXPECT_EQ(os.supportInfoCalls, c.supportCalls);
    EXPECT_EQ(os.librariesLoaded - loaded, 1);
    EXPECT_EQ(os.librariesFreed - freed, 1);
    EXPECT_EQ(cddrive::AspiLibrary(), nullptr);
    EXPECT_EQ(cddrive::OpenCount(), 0);
  }
  EXPECT_TRUE(tk.dialogs.empty());
  EXPECT_TRUE(os.aspiRequests.empty());

  // The adapter count is not looked at: SS_COMP with no adapter is a working layer.
  cddrive::ResetModule();
  os.missingEntryPoints.clear();
  os.supportInfo = win::DWORD{aspi::SS_COMP} << 8;
  CDDrive working(' ', 0, 0, 0);
  EXPECT_EQ(working.OpenStatus(), kOpenOk);
}

TEST_F(Aspi, ReleaseKeepsTheLibraryAndOnlyCountedDrivesLeaveTheCount) {
  os.AddDrive(Drive(0, 0));
  os.AddDrive(Drive(0, 1));
  auto first = std::make_unique<CDDrive>(' ', 0, 0, 0);
  auto second = std::make_unique<CDDrive>(' ', 0, 1, 0);
  EXPECT_EQ(cddrive::OpenCount(), 2);

  // A failed probe while drives are open must not take their count.
  auto absent = std::make_unique<CDDrive>(' ', 1, 0, 0);
  ASSERT_EQ(absent->OpenStatus(), kOpenFailed);
  absent.reset();
  EXPECT_EQ(cddrive::OpenCount(), 2);

  second.reset();
  first.reset();
  EXPECT_EQ(cddrive::OpenCount(), 0);
  EXPECT_EQ(cddrive::AspiLibrary(), FakePlatform::LibraryHandle());
  EXPECT_EQ(os.librariesFreed, 0);

  // Nor may a failed probe at count 0 free the library.
  auto failed = std::make_unique<CDDrive>(' ', 1, 1, 0);
  ASSERT_EQ(failed->OpenStatus(), kOpenFailed);
  failed.reset();
  EXPECT_EQ(cddrive::AspiLibrary(), FakePlatform::LibraryHandle());
  EXPECT_EQ(cddrive::OpenCount(), 0);
}

TEST_F(Aspi, ReloadAtOpenCountZeroGivesBackTheEarlierReference) {
  os.AddDrive(Drive(0, 0));
  { CDDrive drive(' ', 0, 0, 0); }
  { CDDrive drive(' ', 0, 0, 0); }
  EXPECT_EQ(os.librariesLoaded, 2);
  EXPECT_EQ(os.librariesFreed, 1);
  EXPECT_EQ(os.versionSizes, (std::vector<win::DWORD>{148, 148}));
}

TEST_F(Aspi, DescriptionOfATwoDigitAdapter) {
  os.AddDrive(Drive(12, 1));
  CDDrive drive(' ', 12, 1, 0);

  EXPECT_EQ(drive.GetDescription(), "12-1-0  : KOR-VEL KRW-52088S      QF01");
  EXPECT_EQ(drive.GetVendorProduct(), "KOR-VEL KRW-52088S      ");
  EXPECT_EQ(drive.GetRevision(), "QF01");
}

}  // namespace
