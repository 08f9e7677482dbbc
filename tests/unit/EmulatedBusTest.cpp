#include "emulator/EmulatedBus.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Cdb = std::array<std::uint8_t, 12>;
using Bytes = std::vector<std::uint8_t>;

Cdb WriteBufferCdb(std::uint32_t offset, std::uint32_t length, std::uint8_t control) {
  return {0x3B,
          0x05,
          0x01,
          std::uint8_t(offset >> 16),
          std::uint8_t(offset >> 8),
          std::uint8_t(offset),
          std::uint8_t(length >> 16),
          std::uint8_t(length >> 8),
          std::uint8_t(length),
          control,
          0,
          0};
}

Cdb ReadBufferCdb(std::uint32_t offset, std::uint32_t length) {
  Cdb cdb = WriteBufferCdb(offset, length, 0);
  cdb[0] = 0x3C;
  cdb[1] = 0x01;
  return cdb;
}

const Cdb kInquiry128{0x12, 0, 0, 0, 0x80};
const Cdb kTestUnitReady{};
const Cdb kStopPlay{0x4E};
const Cdb kEntryCritical = WriteBufferCdb(0, 0, 0x7F);
const Cdb kCommit = WriteBufferCdb(0, 0, 0x80);

Bytes Pattern(std::size_t length, std::uint8_t seed) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = std::uint8_t(seed + i * 13 + (i >> 8));
  return bytes;
}

emu::Sense SenseOf(const emu::Result& r) {
  return emu::Sense{r.senseData[2], r.senseData[12], r.senseData[13]};
}

class EmulatedBusTest : public ::testing::Test {
 protected:
  void SetUp() override { drive_ = bus_.AddDrive(config_); }

  emu::Result Run(const Cdb& cdb, bool dataIn, std::uint8_t* data, std::uint32_t length,
                  int drive = 0) {
    return bus_.Execute(drive, cdb.data(), dataIn, data, length);
  }
  emu::Result Run(const Cdb& cdb) { return Run(cdb, true, nullptr, 0); }
  emu::Result Write(std::uint32_t offset, Bytes data, std::uint8_t control = 0) {
    return Run(WriteBufferCdb(offset, std::uint32_t(data.size()), control), false, data.data(),
               std::uint32_t(data.size()));
  }
  Bytes Read(std::uint32_t offset, std::uint32_t length) {
    Bytes data(length, 0xEE);
    const emu::Result r = Run(ReadBufferCdb(offset, length), true, data.data(), length);
    EXPECT_EQ(r.outcome, emu::Outcome::Good);
    return data;
  }
  std::string Revision() {
    std::uint8_t data[128] = {};
    Run(kInquiry128, true, data, sizeof(data));
    return std::string(reinterpret_cast<char*>(data) + 32, 4);
  }

  emu::DriveConfig config_;
  emu::EmulatedBus bus_;
  int drive_ = -1;
};

void ExpectSense(const emu::Result& r, emu::Sense expected) {
  EXPECT_EQ(r.outcome, emu::Outcome::CheckCondition);
  EXPECT_EQ(r.scsiStatus, 0x02);
  EXPECT_EQ(r.senseData[0], 0x70);
  EXPECT_EQ(r.senseData[7], 10);
  const emu::Sense got = SenseOf(r);
  EXPECT_TRUE(got == expected) << std::hex << int(got.key) << "/" << int(got.asc) << "/"
                               << int(got.ascq);
}

TEST_F(EmulatedBusTest, InquiryReportsTheIdentityAndHonoursTheAllocationLength) {
  std::uint8_t data[128];
  std::memset(data, 0xEE, sizeof(data));
  emu::Result r = Run(kInquiry128, true, data, sizeof(data));
  ASSERT_EQ(r.outcome, emu::Outcome::Good);
  EXPECT_EQ(r.scsiStatus, 0);
  EXPECT_EQ(r.transferred, emu::kInquiryLength);
  EXPECT_EQ(data[0], 5);
  EXPECT_EQ(data[4], emu::kInquiryLength - 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 8, 28), "KOR-VEL KRW-52088S      QF01");
  EXPECT_EQ(data[emu::kInquiryLength], 0xEE) << "bytes beyond the reply stay untouched";

  std::memset(data, 0xEE, sizeof(data));
  r = Run(Cdb{0x12, 0, 0, 0, 12}, true, data, sizeof(data));
  EXPECT_EQ(r.transferred, 12u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 8, 4), "KOR-");
  EXPECT_EQ(data[12], 0xEE);
}

TEST_F(EmulatedBusTest, ConfiguredIdentityIsPaddedAndTruncated) {
  emu::DriveConfig other;
  other.peripheralType = 0;
  other.vendor = "AB";
  other.product = "A-PRODUCT-NAME-LONGER-THAN-16";
  other.revision = "Z9";
  const int drive = bus_.AddDrive(other);
  std::uint8_t data[128] = {};
  Run(kInquiry128, true, data, sizeof(data), drive);
  EXPECT_EQ(data[0], 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 8, 28), "AB      A-PRODUCT-NAME-LZ9  ");
}

struct Rejection {
  const char* what;
  Cdb cdb;
  bool dataIn;
  std::uint32_t length;
  emu::Sense sense;
};

TEST_F(EmulatedBusTest, RejectedCommandsAnswerTheirExactSenseAndChangeNothing) {
  const Rejection cases[] = {
      {"unknown opcode", Cdb{0x28}, true, 0, emu::kSenseInvalidOpcode},
      {"vendor function unknown", Cdb{0xDF, 0x22}, true, 0, emu::kSenseInvalidField},
      {"inquiry EVPD", Cdb{0x12, 0x01, 0x80, 0, 0x80}, true, 128, emu::kSenseInvalidField},
      {"test unit ready with data", kTestUnitReady, true, 8, emu::kSenseInvalidField},
      {"write buffer mode 02", Cdb{0x3B, 0x02, 0x01, 0, 0, 0, 0, 0, 4}, false, 4,
       emu::kSenseInvalidField},
      {"write buffer buffer 00", Cdb{0x3B, 0x05, 0x00, 0, 0, 0, 0, 0, 4}, false, 4,
       emu::kSenseInvalidField},
      {"write buffer control 55", WriteBufferCdb(0, 4, 0x55), false, 4, emu::kSenseInvalidField},
      {"write shorter than its block", WriteBufferCdb(0, 0x4000, 0), false, 0x2000,
       emu::kSenseInvalidField},
      {"write as data-in", WriteBufferCdb(0, 0x4000, 0), true, 0x4000, emu::kSenseInvalidField},
      {"write beyond the DRAM", WriteBufferCdb(emu::kDramSize - 8, 16, 0), false, 16,
       emu::kSenseInvalidField},
      {"read beyond the DRAM", ReadBufferCdb(emu::kDramSize, 1), true, 1, emu::kSenseInvalidField},
      {"read as data-out", ReadBufferCdb(0, 16), false, 16, emu::kSenseInvalidField},
      {"read longer than its block", ReadBufferCdb(0, 16), true, 32, emu::kSenseInvalidField},
      {"read buffer mode 02", Cdb{0x3C, 0x02, 0x01, 0, 0, 0, 0, 0, 4}, true, 4,
       emu::kSenseInvalidField},
      {"entry critical with data", kEntryCritical, true, 16, emu::kSenseInvalidField},
      {"commit with data out", kCommit, false, 16, emu::kSenseInvalidField},
      {"commit with a length", WriteBufferCdb(0, 16, 0x80), true, 16, emu::kSenseInvalidField},
      {"E2 write with data", Cdb{0xDF, 0x0A, 0, 0, 0, 0, 0, 0x12, 0x34, 0x56}, true, 4,
       emu::kSenseInvalidField},
      {"play audio without disc", Cdb{0x45, 0, 0, 0, 0, 0x4B, 0, 0x60}, true, 8, emu::kSenseNoDisc},
  };
  for (const Rejection& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes data(c.length, 0x5A);
    const Bytes before = data;
    ExpectSense(Run(c.cdb, c.dataIn, data.data(), c.length), c.sense);
    EXPECT_EQ(data, before);
  }
  const emu::DriveState state = bus_.State(drive_);
  EXPECT_EQ(state.dram, Bytes(emu::kDramSize, 0));
  EXPECT_EQ(state.commits, 0);
  EXPECT_EQ(state.entryCriticals, 0);
  EXPECT_TRUE(state.e2Writes.empty());
  EXPECT_EQ(state.commandCount, int(std::size(cases)));
}

TEST_F(EmulatedBusTest, DramWritesAndReadsAtOffsets) {
  const Bytes first = Pattern(0x4000, 1), second = Pattern(0x4000, 2), tail = Pattern(16, 3);
  ASSERT_EQ(Write(0x4000, first).outcome, emu::Outcome::Good);
  ASSERT_EQ(Write(0x8000, second).outcome, emu::Outcome::Good);
  ASSERT_EQ(Write(emu::kDramSize - 16, tail).outcome, emu::Outcome::Good);
  EXPECT_EQ(Read(0x4000, 0x4000), first);
  EXPECT_EQ(Read(0x8000, 0x4000), second);
  EXPECT_EQ(Read(0x6000, 4), Bytes(first.begin() + 0x2000, first.begin() + 0x2004));
  EXPECT_EQ(Read(emu::kDramSize - 16, 16), tail);
  EXPECT_EQ(Read(0, 16), Bytes(16, 0)) << "nothing written before 0x4000";
  const emu::DriveState state = bus_.State(drive_);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), state.dram.begin() + 0x4000));
}

TEST_F(EmulatedBusTest, ProfileWritesLandAtTheirOffsetAndAreTold) {
  const Bytes cd = Pattern(318, 7);
  emu::Result r = Run(WriteBufferCdb(0x80000, 318, 0x7F), false, Bytes(cd).data(), 318);
  ASSERT_EQ(r.outcome, emu::Outcome::Good);
  emu::DriveState state = bus_.State(drive_);
  EXPECT_EQ(state.profileWrites, 1);
  EXPECT_EQ(state.profileOffset, 0x80000u);
  EXPECT_EQ(state.profileLength, 318u);
  EXPECT_EQ(state.entryCriticals, 0);
  EXPECT_EQ(Read(0x80000, 318), cd) << "the read-profile command reads it back";

  const Bytes dvd = Pattern(1280, 9);
  Run(WriteBufferCdb(0, 1280, 0x7F), false, Bytes(dvd).data(), 1280);
  EXPECT_EQ(Read(0, 1280), dvd);
  EXPECT_EQ(bus_.State(drive_).profileOffset, 0u);
}

TEST_F(EmulatedBusTest, ControlSevenFTellsAnEmptyProfileWriteFromEntryCritical) {
  ASSERT_EQ(Run(kEntryCritical, false, nullptr, 0).outcome, emu::Outcome::Good);
  emu::DriveState state = bus_.State(drive_);
  EXPECT_EQ(state.profileWrites, 1);
  EXPECT_EQ(state.profileLength, 0u);
  EXPECT_EQ(state.entryCriticals, 0);

  ASSERT_EQ(Run(kEntryCritical, true, nullptr, 0).outcome, emu::Outcome::Good);
  state = bus_.State(drive_);
  EXPECT_EQ(state.profileWrites, 1);
  EXPECT_EQ(state.entryCriticals, 1);
}

TEST_F(EmulatedBusTest, CommitProgramsExactlyTheDramImageAndChangesTheRevision) {
  for (std::uint32_t k = 0; k < 32; ++k) Write(k * 0x4000, Pattern(0x4000, std::uint8_t(k)));
  Write(0x80000, Pattern(318, 0x77), 0x7F);
  EXPECT_EQ(Revision(), "QF01");

  std::uint8_t reply[16];
  std::memset(reply, 0xEE, sizeof(reply));
  const emu::Result r = Run(kCommit, true, reply, sizeof(reply));
  ASSERT_EQ(r.outcome, emu::Outcome::Good);
  EXPECT_EQ(r.transferred, 16u);
  EXPECT_EQ(Bytes(reply, reply + 16), Bytes(16, 0));

  emu::DriveState state = bus_.State(drive_);
  EXPECT_EQ(state.commits, 1);
  EXPECT_EQ(state.commitControl, 0x80);
  ASSERT_EQ(state.committed.size(), emu::kImageSize);
  EXPECT_TRUE(std::equal(state.committed.begin(), state.committed.end(), state.dram.begin()));
  EXPECT_EQ(Bytes(state.committed.begin() + 0x7C000, state.committed.end()), Pattern(0x4000, 31));
  EXPECT_EQ(Revision(), "QF05");
  EXPECT_EQ(bus_.State(drive_).revision, "QF05");

  Write(0, Pattern(0x4000, 0x40));
  Run(WriteBufferCdb(0, 0, 0xA0), true, reply, sizeof(reply));
  state = bus_.State(drive_);
  EXPECT_EQ(state.commits, 2);
  EXPECT_EQ(state.commitControl, 0xA0);
  EXPECT_EQ(Bytes(state.committed.begin(), state.committed.begin() + 0x4000),
            Pattern(0x4000, 0x40));

  // A drive added after the bus let this one go may get its memory, never its contents.
  bus_.Reset();
  state = bus_.State(bus_.AddDrive(config_));
  EXPECT_EQ(state.dram, Bytes(emu::kDramSize, 0));
  EXPECT_TRUE(state.committed.empty());
  EXPECT_EQ(state.commits, 0);
}

// The flash's readiness wait: TEST UNIT READY, STOP PLAY, then the sense of STOP PLAY.
int PassesUntilReady(emu::EmulatedBus& bus, int drive, int limit) {
  for (int pass = 1; pass <= limit; ++pass) {
    bus.Execute(drive, kTestUnitReady.data(), true, nullptr, 0);
    const emu::Result r = bus.Execute(drive, kStopPlay.data(), true, nullptr, 0);
    if (!(SenseOf(r) == emu::kSenseBecomingReady)) return pass;
  }
  return -1;
}

TEST_F(EmulatedBusTest, ReadinessCountsTestUnitReadyCommands) {
  emu::DriveConfig slow;
  slow.becomingReadyPasses = 3;
  const int drive = bus_.AddDrive(slow);
  ExpectSense(Run(kStopPlay, true, nullptr, 0, drive), emu::kSenseBecomingReady);
  for (int i = 0; i < 3; ++i) {
    ExpectSense(Run(kTestUnitReady, true, nullptr, 0, drive), emu::kSenseBecomingReady);
    ExpectSense(Run(kStopPlay, true, nullptr, 0, drive), emu::kSenseBecomingReady);
  }
  EXPECT_EQ(Run(kTestUnitReady, true, nullptr, 0, drive).outcome, emu::Outcome::Good);
  EXPECT_EQ(Run(kStopPlay, true, nullptr, 0, drive).outcome, emu::Outcome::Good);
  EXPECT_EQ(bus_.State(drive).testUnitReadyCount, 4);

  slow.becomingReadyPasses = 7;
  EXPECT_EQ(PassesUntilReady(bus_, bus_.AddDrive(slow), 100), 8);
  slow.becomingReadyPasses = -1;
  EXPECT_EQ(PassesUntilReady(bus_, bus_.AddDrive(slow), 150), -1);
  EXPECT_EQ(PassesUntilReady(bus_, drive_, 100), 1);
}

TEST_F(EmulatedBusTest, VendorCommandsReadTheFlashIdAndRecordE2Writes) {
  std::uint8_t data[128];
  std::memset(data, 0xEE, sizeof(data));
  const emu::Result r = Run(Cdb{0xDF, 0x11}, true, data, sizeof(data));
  ASSERT_EQ(r.outcome, emu::Outcome::Good);
  EXPECT_EQ(r.transferred, 128u);
  EXPECT_EQ(Bytes(data, data + 4), (Bytes{0xBF, 0xB6, 0x00, 0x01}));
  EXPECT_EQ(Bytes(data + 4, data + 128), Bytes(124, 0));

  Run(Cdb{0xDF, 0x0A, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0x12});
  Run(Cdb{0xDF, 0x0A, 0, 0, 0, 0, 0, 0x00, 0x00, 0x34});
  const emu::DriveState state = bus_.State(drive_);
  ASSERT_EQ(state.e2Writes.size(), 2u);
  EXPECT_EQ(state.e2Writes[0], (std::pair<std::uint16_t, std::uint8_t>(0xFFFF, 0x12)));
  EXPECT_EQ(state.e2Writes[1], (std::pair<std::uint16_t, std::uint8_t>(0x0000, 0x34)));
}

TEST_F(EmulatedBusTest, DiscCheckSucceedsWithADiscAndMovesNoData) {
  emu::DriveConfig withDisc;
  withDisc.discPresent = true;
  const int drive = bus_.AddDrive(withDisc);
  std::uint8_t data[8];
  std::memset(data, 0xEE, sizeof(data));
  const emu::Result r = Run(Cdb{0x45, 0, 0, 0, 0, 0x4B, 0, 0x60}, true, data, 8, drive);
  EXPECT_EQ(r.outcome, emu::Outcome::Good);
  EXPECT_EQ(r.transferred, 0u);
  EXPECT_EQ(Bytes(data, data + 8), Bytes(8, 0xEE));
}

TEST_F(EmulatedBusTest, SenseFaultFiresAtTheChosenOccurrenceOfItsOpcode) {
  emu::Fault fault;
  fault.opcode = 0x3B;
  fault.occurrence = 2;
  bus_.AddFault(drive_, fault);
  Run(kTestUnitReady);  // other opcodes do not count
  EXPECT_EQ(Write(0x0000, Pattern(16, 1)).outcome, emu::Outcome::Good);
  EXPECT_EQ(Write(0x4000, Pattern(16, 2)).outcome, emu::Outcome::Good);
  ExpectSense(Write(0x8000, Pattern(16, 3)), emu::Sense{0x03, 0x0C, 0x00});
  EXPECT_EQ(Write(0xC000, Pattern(16, 4)).outcome, emu::Outcome::Good);
  EXPECT_EQ(Read(0x8000, 16), Bytes(16, 0)) << "the faulted write had no effect";
  EXPECT_EQ(Read(0xC000, 16), Pattern(16, 4));
}

TEST_F(EmulatedBusTest, FaultOnAnyOpcodeCountsEveryCommandOfItsDriveOnly) {
  const int other = bus_.AddDrive(config_);
  emu::Fault fault;
  fault.kind = emu::FaultKind::TransportFailure;
  fault.occurrence = 3;
  fault.count = 2;
  bus_.AddFault(drive_, fault);
  std::vector<emu::Outcome> outcomes;
  for (int i = 0; i < 6; ++i) {
    Run(kTestUnitReady, true, nullptr, 0, other);
    outcomes.push_back(Run(kTestUnitReady).outcome);
  }
  const std::vector<emu::Outcome> expected{emu::Outcome::Good,
                                           emu::Outcome::Good,
                                           emu::Outcome::Good,
                                           emu::Outcome::TransportFailure,
                                           emu::Outcome::TransportFailure,
                                           emu::Outcome::Good};
  EXPECT_EQ(outcomes, expected);
  EXPECT_EQ(bus_.State(drive_).testUnitReadyCount, 4) << "failed transports never reach the drive";
  EXPECT_EQ(bus_.State(other).testUnitReadyCount, 6);
}

TEST_F(EmulatedBusTest, TransportFailureAndNeverCompletesMoveNothingAndLeaveSenseZero) {
  emu::Fault fault;
  fault.opcode = 0x3C;
  fault.kind = emu::FaultKind::TransportFailure;
  bus_.AddFault(drive_, fault);
  fault.kind = emu::FaultKind::NeverCompletes;
  fault.occurrence = 1;
  bus_.AddFault(drive_, fault);
  Write(0, Pattern(64, 5));
  for (emu::Outcome expected : {emu::Outcome::TransportFailure, emu::Outcome::NeverCompletes}) {
    Bytes data(64, 0xEE);
    const emu::Result r = Run(ReadBufferCdb(0, 64), true, data.data(), 64);
    EXPECT_EQ(r.outcome, expected);
    EXPECT_EQ(r.scsiStatus, 0);
    EXPECT_EQ(r.transferred, 0u);
    EXPECT_EQ(Bytes(r.senseData, r.senseData + 18), Bytes(18, 0));
    EXPECT_EQ(data, Bytes(64, 0xEE));
  }
  EXPECT_EQ(Read(0, 64), Pattern(64, 5));
}

// A short data phase: a read hands over only its first bytes, a write delivers zeros for
// the bytes that never came; a bad status changes nothing.
TEST_F(EmulatedBusTest, ShortTransfersAndBadStatusMoveWhatTheySay) {
  Write(0, Pattern(64, 5));
  emu::Fault fault;
  fault.kind = emu::FaultKind::ShortTransfer;
  fault.moved = 10;
  fault.opcode = 0x3C;
  bus_.AddFault(drive_, fault);
  Bytes data(64, 0xEE);
  emu::Result r = Run(ReadBufferCdb(0, 64), true, data.data(), 64);
  EXPECT_EQ(r.outcome, emu::Outcome::Good);
  EXPECT_TRUE(r.shortened);
  EXPECT_EQ(r.transferred, 10u);
  Bytes expected = Pattern(64, 5);
  std::fill(expected.begin() + 10, expected.end(), 0xEE);
  EXPECT_EQ(data, expected);

  fault.opcode = 0x3B;
  fault.occurrence = 1;  // the second write
  bus_.AddFault(drive_, fault);
  EXPECT_EQ(Write(0, Pattern(64, 6)).transferred, 10u);
  expected = Pattern(64, 6);
  std::fill(expected.begin() + 10, expected.end(), 0);
  EXPECT_EQ(Read(0, 64), expected);

  emu::Fault busy;
  busy.kind = emu::FaultKind::Status;
  busy.opcode = 0x3B;
  busy.occurrence = 2;
  bus_.AddFault(drive_, busy);
  r = Write(0, Pattern(64, 7));
  EXPECT_EQ(r.outcome, emu::Outcome::BadStatus);
  EXPECT_EQ(r.scsiStatus, 0x08);
  EXPECT_EQ(Bytes(r.senseData, r.senseData + 18), Bytes(18, 0));
  EXPECT_EQ(Read(0, 64), expected);
}

TEST_F(EmulatedBusTest, CorruptReadInvertsOneByteOfOneReply) {
  Write(0, Pattern(256, 11));
  emu::Fault fault;
  fault.kind = emu::FaultKind::CorruptRead;
  fault.opcode = 0x3C;
  fault.occurrence = 1;
  fault.corruptOffset = 100;
  bus_.AddFault(drive_, fault);
  EXPECT_EQ(Read(0, 256), Pattern(256, 11));
  Bytes expected = Pattern(256, 11);
  expected[100] ^= 0xFF;
  EXPECT_EQ(Read(0, 256), expected);
  EXPECT_EQ(Read(0, 256), Pattern(256, 11));
  EXPECT_EQ(bus_.State(drive_).dram[100], Pattern(256, 11)[100]) << "the DRAM keeps its byte";
}

TEST_F(EmulatedBusTest, PersistentFaultFiresOnEveryMatchingCommandFromItsOccurrence) {
  emu::Fault fault;
  fault.opcode = 0x00;
  fault.occurrence = 1;
  fault.count = 0;
  fault.sense = emu::Sense{0x06, 0x28, 0x00};
  bus_.AddFault(drive_, fault);
  EXPECT_EQ(Run(kTestUnitReady).outcome, emu::Outcome::Good);
  for (int i = 0; i < 5; ++i) ExpectSense(Run(kTestUnitReady), emu::Sense{0x06, 0x28, 0x00});
}

TEST(Fnv1aTest, MatchesTheReferenceValues) {
  const std::uint8_t a[] = {'a'};
  const std::uint8_t foobar[] = {'f', 'o', 'o', 'b', 'a', 'r'};
  EXPECT_EQ(emu::Fnv1a(nullptr, 0), 0xCBF29CE484222325ull);
  EXPECT_EQ(emu::Fnv1a(a, 1), 0xAF63DC4C8601EC8Cull);
  EXPECT_EQ(emu::Fnv1a(foobar, 6), 0x85944171F73967E8ull);
}

TEST_F(EmulatedBusTest, TraceRecordsEveryCommandWithTheDataItMoved) {
  const int other = bus_.AddDrive(config_);
  std::vector<emu::TraceEntry> heard;
  bus_.SetListener([&heard](const emu::TraceEntry& e) { heard.push_back(e); });
  const Bytes chunk = Pattern(0x4000, 21);
  Write(0x4000, chunk);
  std::uint8_t inquiry[128];
  Run(kInquiry128, true, inquiry, sizeof(inquiry), other);
  Run(Cdb{0x28});

  const std::vector<emu::TraceEntry> trace = bus_.Trace();
  ASSERT_EQ(trace.size(), 3u);
  EXPECT_EQ(trace[0].drive, 0);
  const Cdb written = WriteBufferCdb(0x4000, 0x4000, 0);
  EXPECT_EQ(Bytes(trace[0].cdb, trace[0].cdb + 12), Bytes(written.begin(), written.end()));
  EXPECT_FALSE(trace[0].dataIn);
  EXPECT_EQ(trace[0].transferLength, 0x4000u);
  EXPECT_EQ(trace[0].transferred, 0x4000u);
  EXPECT_EQ(trace[0].digest, emu::Fnv1a(chunk.data(), 0x4000));
  EXPECT_EQ(trace[0].outcome, emu::Outcome::Good);

  EXPECT_EQ(trace[1].drive, other);
  EXPECT_TRUE(trace[1].dataIn);
  EXPECT_EQ(trace[1].transferLength, 128u);
  EXPECT_EQ(trace[1].digest, emu::Fnv1a(inquiry, emu::kInquiryLength));

  EXPECT_EQ(trace[2].outcome, emu::Outcome::CheckCondition);
  EXPECT_TRUE(trace[2].sense == emu::kSenseInvalidOpcode);
  EXPECT_EQ(trace[2].digest, emu::Fnv1a(nullptr, 0));

  ASSERT_EQ(heard.size(), 3u);
  EXPECT_EQ(heard[1].digest, trace[1].digest);
  bus_.ClearTrace();
  EXPECT_TRUE(bus_.Trace().empty());
}

TEST_F(EmulatedBusTest, CommandsFromSeveralThreadsAreAllTraced) {
  const int other = bus_.AddDrive(config_);
  auto worker = [this](int drive, std::uint32_t offset) {
    for (int i = 0; i < 300; ++i) {
      Bytes data = Pattern(512, std::uint8_t(i));
      bus_.Execute(drive, WriteBufferCdb(offset, 512, 0).data(), false, data.data(), 512);
    }
  };
  emu::Thread a([&] { worker(drive_, 0); }), b([&] { worker(other, 0x1000); });
  worker(drive_, 0x2000);
  a.join();
  b.join();
  EXPECT_EQ(bus_.Trace().size(), 900u);
  EXPECT_EQ(bus_.State(drive_).commandCount, 600);
  EXPECT_EQ(bus_.State(other).commandCount, 300);
}

TEST_F(EmulatedBusTest, DrivesAreFoundByLetterAndAddress) {
  emu::DriveConfig second;
  second.letter = 'F';
  second.adapter = 1;
  second.target = 1;
  const int drive = bus_.AddDrive(second);
  EXPECT_EQ(bus_.FindByLetter('D'), drive_);
  EXPECT_EQ(bus_.FindByLetter('F'), drive);
  EXPECT_EQ(bus_.FindByLetter('E'), -1);
  EXPECT_EQ(bus_.FindByAddress(1, 1, 0), drive);
  EXPECT_EQ(bus_.FindByAddress(1, 0, 0), -1);
  EXPECT_EQ(bus_.FindByAddress(0, 0, 1), -1);
  bus_.Reset();
  EXPECT_EQ(bus_.DriveCount(), 0);
  EXPECT_EQ(bus_.FindByLetter('D'), -1);
}

}  // namespace
