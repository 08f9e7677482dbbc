// Every command of the flash, faulted in turn on both back ends: the run must stop at
// that step with its message and status, and no commit may follow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "app/FlashForm.h"
#include "app/Program.h"
#include "drive/Cddrive.h"
#include "package/FlashPayload.h"
#include "tests/fake/FakePlatform.h"
#include "toolkit/headless/HeadlessToolkit.h"

namespace {

struct Step {
  int opcode, occurrence;
  const char* prefix;  // of the method's box; nullptr: none
  const char* status;  // the status line at the end
};

const char kWriteProfile[] = "Write profile to drive's DRAM... , Fail! ";
const char kWriteBin[] = "Write BIN to drive's DRAM... , Fail! ";
const char kVerifyProfile[] = "Read back and Verify drive's DRAM... , Valid Profile Fail!";
const char kReadBin[] = "Read back and Verify drive's DRAM... , Read Fail! ";
const char kCompare[] = "Read back and Verify drive's DRAM... , Compare BIN and DRAM Fail! ";

// The commands of a CD profile image's flash after the preparation, in order.
std::vector<Step> Sequence() {
  std::vector<Step> s{{0xDF, 0, "Read Flash ID> ", kWriteProfile},
                      {0x3B, 0, "Write Profile> ", kWriteProfile}};
  for (int k = 1; k <= 32; ++k) s.push_back({0x3B, k, "Write Buffer> ", kWriteBin});
  s.push_back({0x3B, 33, "Entry critical> ", "Drive entry critical... , Fail! "});
  s.push_back({0x3C, 0, "Read Profile> ", kVerifyProfile});
  for (int k = 1; k <= 32; ++k) s.push_back({0x3C, k, "Read Buffer> ", kReadBin});
  s.push_back({0x3B, 34, "Write Buffer> ", "Flash Fail."});
  return s;
}

struct Outcome {
  std::string status;
  std::vector<DialogRecord> dialogs;
  emu::DriveState drive;
  std::vector<emu::TraceEntry> trace;
};

class FlashRun {
 public:
  explicit FlashRun(bool aspi) {
    payload_.reset(new FlashPayloadRecord(FlashPayload));
    FlashPayloadRecord& p = *payload_;
    std::memcpy(p.FirmwareImage, "IMG!", 4);
    for (std::size_t i = 4; i < kFirmwareAreaSize; ++i)
      p.FirmwareImage[i] = static_cast<std::uint8_t>(i * 13 + (i >> 11));
    p.FirmwareImage[0x4000] = 0x02;
    p.FirmwareImage[0x1100] = 0x05;  // a CD profile image: every step runs
    p.FirmwareImage[0x1101] = 0x80;
    std::memcpy(p.FirmwareName, "QF05.", 5);
    UsePayload(payload_.get());
    InstallPlatform(&fake_);
    InstallToolkit(&tk_);
    if (aspi) fake_.UseWin98();
    fake_.waitCapMs = 2;
    emu::DriveConfig d;
    d.flashId[0] = 0xBF;
    d.flashId[1] = 0xB4;  // chip entry 1: a profile to write and to read back
    fake_.AddDrive(d);
  }
  ~FlashRun() {
    cddrive::ResetModule();
    UsePayload(nullptr);
    InstallToolkit(nullptr);
    InstallPlatform(nullptr);
  }
  Outcome Run(const emu::Fault* fault) {
    if (fault) fake_.bus.AddFault(0, *fault);
    tk_.answers = {ModalResult::Yes, ModalResult::Yes, ModalResult::No};
    tk_.userActions = {[this] { tk_.UserClicksFlashButton(); }};
    ProgramMain();
    return {tk_.Control(ControlId::GroupBox2).text, tk_.dialogs, fake_.bus.State(0),
            fake_.bus.Trace()};
  }

 private:
  FakePlatform fake_;
  HeadlessToolkit tk_;
  std::unique_ptr<FlashPayloadRecord> payload_;
};

bool CommitSent(const std::vector<emu::TraceEntry>& trace) {
  for (const emu::TraceEntry& e : trace)
    if (e.cdb[0] == 0x3B && (e.cdb[9] == 0x80 || e.cdb[9] == 0xA0) &&
        e.outcome == emu::Outcome::Good)
      return true;
  return false;
}

TEST(FlashFaults, CleanRunOnBothBackEndsCommitsExactlyTheImage) {
  for (bool aspi : {false, true}) {
    FlashRun run(aspi);
    Outcome o = run.Run(nullptr);
    EXPECT_EQ(o.status, "Flash Completed.") << aspi;
    EXPECT_EQ(o.drive.commits, 1);
    ASSERT_EQ(o.drive.committed.size(), kFirmwareAreaSize);
    EXPECT_TRUE(
        std::equal(o.drive.committed.begin(), o.drive.committed.end(), Payload().FirmwareImage));
  }
}

TEST(FlashFaults, EveryCommandFaultedStopsAtItsStepAndNeverCommits) {
  const std::regex statusText("[0-9A-F]{2} [0-9A-F]{2} [0-9A-F]{2}\\. [0-9A-F]{2}, [0-9A-F]{4}");
  int runs = 0;
  for (bool aspi : {false, true}) {
    for (emu::FaultKind kind : {emu::FaultKind::Sense, emu::FaultKind::TransportFailure,
                                emu::FaultKind::NeverCompletes}) {
      for (const Step& step : Sequence()) {
        SCOPED_TRACE(std::string(aspi ? "aspi " : "pass-through ") + step.prefix +
                     std::to_string(step.occurrence) + " kind " +
                     std::to_string(static_cast<int>(kind)));
        emu::Fault fault;
        fault.kind = kind;
        fault.opcode = step.opcode;
        fault.occurrence =
            step.opcode == 0xDF || step.opcode == 0x3B || step.opcode == 0x3C ? step.occurrence : 0;
        FlashRun run(aspi);
        Outcome o = run.Run(&fault);
        ++runs;
        EXPECT_EQ(o.status, step.status);
        EXPECT_FALSE(CommitSent(o.trace));
        EXPECT_EQ(o.drive.commits, 0);
        // The method's box, then nothing but the answered questions before it.
        ASSERT_GE(o.dialogs.size(), 3u);
        const std::string& box = o.dialogs.back().text;
        ASSERT_EQ(box.rfind(step.prefix, 0), 0u) << box;
        std::string tail = box.substr(std::strlen(step.prefix));
        EXPECT_TRUE(std::regex_match(tail, statusText)) << tail;
        EXPECT_EQ(tail.substr(0, 9), kind == emu::FaultKind::Sense ? "03 0C 00." : "00 00 00.");
        // Nothing of the flash was sent after the faulted command.
        const emu::TraceEntry& last = o.trace.back();
        EXPECT_EQ(last.cdb[0], step.opcode);
        EXPECT_NE(last.outcome, emu::Outcome::Good);
      }
    }
  }
  EXPECT_EQ(runs, 2 * 3 * 69);
  std::printf("fault matrix: %d runs\n", runs);
}

TEST(FlashFaults, AnyCorruptedReadBackByteFailsTheCompareAndSendsNoCommit) {
  int runs = 0;
  for (bool aspi : {false, true}) {
    for (int k = 0; k <= 32; ++k) {
      SCOPED_TRACE(k);
      emu::Fault fault;
      fault.kind = emu::FaultKind::CorruptRead;
      fault.opcode = 0x3C;
      fault.occurrence = k;
      fault.corruptOffset = k == 0 ? 100u : static_cast<std::uint32_t>((k * 4099) % 16384);
      FlashRun run(aspi);
      Outcome o = run.Run(&fault);
      ++runs;
      EXPECT_FALSE(CommitSent(o.trace));
      if (k == 0) {
        EXPECT_EQ(o.status, kVerifyProfile);
        EXPECT_EQ(o.dialogs.back().text, "Compared profile error!");
      } else {
        EXPECT_EQ(o.status, kCompare);
        EXPECT_EQ(o.dialogs.back().text, "Compare BIN and DRAM fail!");
      }
    }
  }
  std::printf("corrupted read-backs: %d runs\n", runs);
}

}  // namespace
