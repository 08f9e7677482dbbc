#include "emulator/AspiLayer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// Stands in for the host's events: records every signal.
struct Events {
  emu::Mutex mutex;
  emu::CondVar changed;
  std::vector<void*> signalled;

  static void Signal(void* context, void* event) {
    auto* self = static_cast<Events*>(context);
    std::lock_guard<emu::Mutex> lock(self->mutex);
    self->signalled.push_back(event);
    self->changed.notify_all();
  }
  bool WaitFor(void* event, std::chrono::milliseconds limit) {
    std::unique_lock<emu::Mutex> lock(mutex);
    return changed.wait_for(lock, limit, [&] { return CountLocked(event) > 0; });
  }
  int Count(void* event) {
    std::lock_guard<emu::Mutex> lock(mutex);
    return CountLocked(event);
  }
  bool None() {
    std::lock_guard<emu::Mutex> lock(mutex);
    return signalled.empty();
  }
  int CountLocked(void* event) const {
    int n = 0;
    for (void* e : signalled) n += e == event;
    return n;
  }
};

class AspiLayerTest : public ::testing::Test {
 protected:
  AspiLayerTest() {
    first_ = bus_.AddDrive(emu::DriveConfig{});
    emu::DriveConfig second;
    second.adapter = 1;
    second.target = 1;
    second.revision = "QF02";
    second_ = bus_.AddDrive(second);
    layer_.SetSignal(&Events::Signal, &events_);
  }

  aspi::SRB_ExecSCSICmd Srb(std::uint8_t adapter, std::uint8_t target, const Bytes& cdb,
                            std::uint8_t direction, std::uint8_t* data, std::uint32_t length) {
    aspi::SRB_ExecSCSICmd srb;
    std::memset(&srb, 0, sizeof(srb));
    srb.SRB_Cmd = aspi::SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = adapter;
    srb.SRB_Target = target;
    srb.SRB_Flags = std::uint8_t(direction | aspi::SRB_EVENT_NOTIFY);
    srb.SRB_BufLen = length;
    srb.SRB_BufPointer = data;
    srb.SRB_SenseLen = aspi::SENSE_LEN;
    srb.SRB_CDBLen = 12;
    srb.SRB_PostProc = &srb;  // any unique value serves as the event
    std::memcpy(srb.CDBByte, cdb.data(), cdb.size());
    std::memset(srb.SenseArea, 0xEE, sizeof(srb.SenseArea));
    return srb;
  }
  win::DWORD Send(aspi::SRB_ExecSCSICmd& srb) {
    srb.SRB_PostProc = &srb;
    return layer_.SendASPI32Command(&srb);
  }
  win::DWORD Abort(aspi::SRB_ExecSCSICmd& srb) {
    aspi::SRB_Abort abort{};
    abort.SRB_Cmd = aspi::SC_ABORT_SRB;
    abort.SRB_HaId = srb.SRB_HaId;
    abort.SRB_ToAbort = &srb;
    const win::DWORD result = layer_.SendASPI32Command(&abort);
    EXPECT_EQ(abort.SRB_Status, result);
    return result;
  }

  const Bytes kInquiry{0x12, 0, 0, 0, 0x80};
  emu::EmulatedBus bus_;
  emu::AspiLayer layer_{bus_};
  Events events_;
  int first_ = -1, second_ = -1;
};

TEST_F(AspiLayerTest, SupportInfoAndHostAdapterInquiryReportTheAdapters) {
  EXPECT_EQ(layer_.GetASPI32SupportInfo(), 0x0102u);
  emu::SRB_HAInquiry ha{};
  ha.SRB_Cmd = aspi::SC_HA_INQUIRY;
  ha.SRB_HaId = 1;
  EXPECT_EQ(layer_.SendASPI32Command(&ha), aspi::SS_COMP);
  EXPECT_EQ(ha.SRB_Status, aspi::SS_COMP);
  EXPECT_EQ(ha.HA_Count, 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ha.HA_ManagerId), 16), "ASPI for WIN32  ");
  ha.SRB_HaId = 2;
  EXPECT_EQ(layer_.SendASPI32Command(&ha), aspi::SS_INVALID_HA);

  layer_.SetAdapterCount(5);
  EXPECT_EQ(layer_.GetASPI32SupportInfo(), 0x0105u);
  std::uint8_t unknown[8] = {0x7E};
  EXPECT_EQ(layer_.SendASPI32Command(unknown), aspi::SS_INVALID_CMD);
  EXPECT_EQ(unknown[1], aspi::SS_INVALID_CMD);
}

TEST_F(AspiLayerTest, SynchronousModeCompletesInsideTheCallAndSignals) {
  layer_.SetAsynchronous(false);
  std::uint8_t data[128] = {};
  aspi::SRB_ExecSCSICmd srb = Srb(1, 1, kInquiry, aspi::SRB_DIR_IN, data, sizeof(data));
  EXPECT_EQ(Send(srb), aspi::SS_COMP);
  EXPECT_EQ(srb.SRB_Status, aspi::SS_COMP);
  EXPECT_EQ(srb.SRB_HaStat, 0);
  EXPECT_EQ(srb.SRB_TargStat, 0);
  EXPECT_EQ(Bytes(srb.SenseArea, srb.SenseArea + 14), Bytes(14, 0));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 32, 4), "QF02");
  EXPECT_EQ(events_.Count(&srb), 1);
}

TEST_F(AspiLayerTest, CheckConditionCopiesTheSenseIntoTheSenseArea) {
  layer_.SetAsynchronous(false);
  aspi::SRB_ExecSCSICmd srb = Srb(0, 0, {0x28}, aspi::SRB_DIR_IN, nullptr, 0);
  EXPECT_EQ(Send(srb), aspi::SS_ERR);
  EXPECT_EQ(srb.SRB_TargStat, 0x02);
  EXPECT_EQ(srb.SRB_HaStat, 0);
  EXPECT_EQ(srb.SenseArea[0], 0x70);
  EXPECT_EQ(srb.SenseArea[2], 0x05);
  EXPECT_EQ(srb.SenseArea[12], 0x20);
  EXPECT_EQ(srb.SenseArea[13], 0x00);
  EXPECT_EQ(srb.SenseArea[14], 0xEE) << "only SRB_SenseLen bytes are written";
  EXPECT_EQ(events_.Count(&srb), 1);
}

TEST_F(AspiLayerTest, TransportFailureGivesHostStatusAndZeroSense) {
  layer_.SetAsynchronous(false);
  emu::Fault fault;
  fault.kind = emu::FaultKind::TransportFailure;
  bus_.AddFault(first_, fault);
  aspi::SRB_ExecSCSICmd srb = Srb(0, 0, {0x00}, aspi::SRB_DIR_IN, nullptr, 0);
  EXPECT_EQ(Send(srb), aspi::SS_ERR);
  EXPECT_NE(srb.SRB_HaStat, 0);
  EXPECT_EQ(srb.SRB_TargStat, 0);
  EXPECT_EQ(Bytes(srb.SenseArea, srb.SenseArea + 14), Bytes(14, 0));
}

TEST_F(AspiLayerTest, EmptyAddressesAreRejectedAtOnceWithoutSignal) {
  aspi::SRB_ExecSCSICmd absent = Srb(0, 1, kInquiry, aspi::SRB_DIR_IN, nullptr, 0);
  EXPECT_EQ(Send(absent), aspi::SS_NO_DEVICE);
  EXPECT_EQ(absent.SRB_Status, aspi::SS_NO_DEVICE);
  aspi::SRB_ExecSCSICmd lun = Srb(1, 1, kInquiry, aspi::SRB_DIR_IN, nullptr, 0);
  lun.SRB_Lun = 1;
  EXPECT_EQ(Send(lun), aspi::SS_NO_DEVICE);
  aspi::SRB_ExecSCSICmd adapter = Srb(2, 0, kInquiry, aspi::SRB_DIR_IN, nullptr, 0);
  EXPECT_EQ(Send(adapter), aspi::SS_INVALID_HA);
  EXPECT_EQ(adapter.SRB_Status, aspi::SS_INVALID_HA);
  layer_.WaitIdle();
  EXPECT_TRUE(events_.None());
  EXPECT_TRUE(bus_.Trace().empty());
}

TEST_F(AspiLayerTest, AsynchronousCompletionWaitsForTheDriveDelay) {
  emu::DriveConfig slow;
  slow.target = 1;
  slow.completionDelayMs = 150;
  bus_.AddDrive(slow);
  std::uint8_t data[128] = {};
  aspi::SRB_ExecSCSICmd srb = Srb(0, 1, kInquiry, aspi::SRB_DIR_IN, data, sizeof(data));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Send(srb), aspi::SS_PENDING);
  EXPECT_EQ(__atomic_load_n(&srb.SRB_Status, __ATOMIC_ACQUIRE), aspi::SS_PENDING);
  ASSERT_TRUE(events_.WaitFor(&srb, 5000ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 140ms);
  EXPECT_EQ(srb.SRB_Status, aspi::SS_COMP);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 8, 7), "KOR-VEL");
  EXPECT_EQ(layer_.PendingCount(), 0);
}

TEST_F(AspiLayerTest, DataMovesInTheDirectionOfTheFlags) {
  Bytes chunk(0x4000);
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = std::uint8_t(i ^ (i >> 8));
  aspi::SRB_ExecSCSICmd write =
      Srb(0, 0, {0x3B, 5, 1, 0, 0x40, 0, 0, 0x40, 0}, aspi::SRB_DIR_OUT, chunk.data(), 0x4000);
  Send(write);
  Bytes back(0x4000, 0);
  aspi::SRB_ExecSCSICmd read =
      Srb(0, 0, {0x3C, 1, 1, 0, 0x40, 0, 0, 0x40, 0}, aspi::SRB_DIR_IN, back.data(), 0x4000);
  Send(read);
  layer_.WaitIdle();
  EXPECT_EQ(write.SRB_Status, aspi::SS_COMP);
  EXPECT_EQ(read.SRB_Status, aspi::SS_COMP);
  EXPECT_EQ(back, chunk);
  const std::vector<emu::TraceEntry> trace = bus_.Trace();
  ASSERT_EQ(trace.size(), 2u);
  EXPECT_FALSE(trace[0].dataIn);
  EXPECT_TRUE(trace[1].dataIn);
}

TEST_F(AspiLayerTest, NeverCompletingRequestStaysPendingUntilAborted) {
  emu::Fault fault;
  fault.kind = emu::FaultKind::NeverCompletes;
  fault.opcode = 0x12;
  bus_.AddFault(first_, fault);
  std::uint8_t data[128] = {};
  aspi::SRB_ExecSCSICmd srb = Srb(0, 0, kInquiry, aspi::SRB_DIR_IN, data, sizeof(data));
  EXPECT_EQ(Send(srb), aspi::SS_PENDING);
  layer_.WaitIdle();
  EXPECT_FALSE(events_.WaitFor(&srb, 100ms));
  EXPECT_EQ(srb.SRB_Status, aspi::SS_PENDING);
  EXPECT_EQ(layer_.PendingCount(), 1);

  EXPECT_EQ(Abort(srb), aspi::SS_COMP);
  EXPECT_EQ(srb.SRB_Status, aspi::SS_ABORTED);
  EXPECT_EQ(layer_.AbortCount(), 1);
  EXPECT_EQ(layer_.PendingCount(), 0);
  EXPECT_EQ(Abort(srb), emu::SS_ABORT_FAIL) << "nothing left to abort";
  EXPECT_EQ(events_.Count(&srb), 0);
}

TEST_F(AspiLayerTest, AbortedRequestIsNeverWrittenNorSentToTheDrive) {
  emu::DriveConfig slow;
  slow.target = 1;
  slow.completionDelayMs = 100;
  bus_.AddDrive(slow);
  std::uint8_t data[128];
  aspi::SRB_ExecSCSICmd srb = Srb(0, 1, kInquiry, aspi::SRB_DIR_IN, data, sizeof(data));
  EXPECT_EQ(Send(srb), aspi::SS_PENDING);
  EXPECT_EQ(Abort(srb), aspi::SS_COMP);
  EXPECT_EQ(srb.SRB_Status, aspi::SS_ABORTED);
  // The host reuses the record and the buffer at once.
  std::memset(data, 0x5A, sizeof(data));
  srb.SRB_Status = 0x77;
  emu::SleepFor(250ms);
  layer_.WaitIdle();
  EXPECT_EQ(srb.SRB_Status, 0x77);
  EXPECT_EQ(Bytes(data, data + sizeof(data)), Bytes(sizeof(data), 0x5A));
  EXPECT_EQ(events_.Count(&srb), 0);
  EXPECT_TRUE(bus_.Trace().empty());
}

// The command stream of a whole flash, each request waited for on its event.
TEST_F(AspiLayerTest, AWholeFlashThroughTheLayerCommitsTheImage) {
  emu::DriveConfig config;
  config.target = 1;
  config.becomingReadyPasses = 2;
  config.completionDelayMs = 1;
  const int drive = bus_.AddDrive(config);
  std::vector<std::uint8_t> buffer(0x4000);
  Bytes image(emu::kImageSize);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = std::uint8_t(i * 31 + (i >> 12));
  std::size_t sent = 0;
  auto run = [&](Bytes cdb, bool dataIn, std::uint32_t length) {
    aspi::SRB_ExecSCSICmd srb =
        Srb(0, 1, cdb, dataIn ? aspi::SRB_DIR_IN : aspi::SRB_DIR_OUT, buffer.data(), length);
    void* event = &image[sent++];  // a new event each time
    srb.SRB_PostProc = event;
    EXPECT_EQ(layer_.SendASPI32Command(&srb), aspi::SS_PENDING);
    EXPECT_TRUE(events_.WaitFor(event, 5000ms));
    return srb.SenseArea[2] == 0 && srb.SRB_Status == aspi::SS_COMP;
  };

  run({0x1B, 0, 0, 0, 0x03}, true, 0);
  int passes = 1;
  while (run({0x00}, true, 0) + run({0x4E}, true, 0) == 0) ++passes;
  EXPECT_EQ(passes, 3);
  run({0x4E}, true, 0);
  run({0x1B}, true, 0);
  std::fill(buffer.begin(), buffer.begin() + 318, 0x6B);
  EXPECT_TRUE(run({0x3B, 5, 1, 8, 0, 0, 0, 0x01, 0x3E, 0x7F}, false, 318));
  for (std::uint32_t k = 0; k < 32; ++k) {
    std::copy_n(image.begin() + k * 0x4000, 0x4000, buffer.begin());
    EXPECT_TRUE(run({0x3B, 5, 1, std::uint8_t(k >> 2), std::uint8_t(k << 6), 0, 0, 0x40, 0, 0},
                    false, 0x4000));
  }
  EXPECT_TRUE(run({0x3B, 5, 1, 0, 0, 0, 0, 0, 0, 0x7F}, true, 0));
  EXPECT_TRUE(run({0x3C, 1, 1, 8, 0, 0, 0, 0x01, 0x3E}, true, 318));
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 318), Bytes(318, 0x6B));
  for (std::uint32_t k = 0; k < 32; ++k) {
    EXPECT_TRUE(
        run({0x3C, 1, 1, std::uint8_t(k >> 2), std::uint8_t(k << 6), 0, 0, 0x40, 0}, true, 0x4000));
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), image.begin() + k * 0x4000)) << k;
  }
  EXPECT_TRUE(run({0x3B, 5, 1, 0, 0, 0, 0, 0, 0, 0x80}, true, 16));

  const emu::DriveState state = bus_.State(drive);
  EXPECT_EQ(state.committed, image);
  EXPECT_EQ(state.commits, 1);
  EXPECT_EQ(state.entryCriticals, 1);
  EXPECT_EQ(state.profileOffset, 0x80000u);
  EXPECT_EQ(state.revision, "QF05");
  EXPECT_EQ(bus_.Trace().size(), 1u + 6 + 2 + 1 + 32 + 1 + 1 + 32 + 1);
}

TEST(AspiLayerLifetimeTest, DestroyingTheLayerLeavesQueuedRequestsUntouched) {
  emu::EmulatedBus bus;
  emu::DriveConfig slow;
  slow.completionDelayMs = 10000;
  bus.AddDrive(slow);
  aspi::SRB_ExecSCSICmd srb{};
  srb.SRB_Cmd = aspi::SC_EXEC_SCSI_CMD;
  srb.SRB_CDBLen = 12;
  const auto start = std::chrono::steady_clock::now();
  {
    emu::AspiLayer layer(bus);
    EXPECT_EQ(layer.SendASPI32Command(&srb), aspi::SS_PENDING);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(srb.SRB_Status, aspi::SS_PENDING);
  EXPECT_TRUE(bus.Trace().empty());
}

}  // namespace
