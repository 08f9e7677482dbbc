// Every command of the flash answered almost right in turn, on both back ends and for the
// three image variants, and with transports and layers that report less than they might:
// the run must stop at that step with its message and status, or at the compare where
// the transport hid a short transfer, and no commit may follow; only the commit's own
// short answer, and an answer that carries every byte used, are no failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "app/FlashForm.h"
#include "app/Program.h"
#include "drive/Cddrive.h"
#include "drive/TransferBuffer.h"
#include "package/FlashPayload.h"
#include "tests/fake/FakePlatform.h"
#include "toolkit/headless/HeadlessToolkit.h"

namespace {

enum class Variant { None, Cd, Dvd };

struct Step {
  int opcode, occurrence;
  std::uint32_t length;  // of the data phase
  const char* prefix;    // of the method's box
  const char* status;    // the status line at the end
};

const char kWriteProfile[] = "Write profile to drive's DRAM... , Fail! ";
const char kWriteBin[] = "Write BIN to drive's DRAM... , Fail! ";
const char kVerifyProfile[] = "Read back and Verify drive's DRAM... , Valid Profile Fail!";
const char kReadBin[] = "Read back and Verify drive's DRAM... , Read Fail! ";
const char kCompare[] = "Read back and Verify drive's DRAM... , Compare BIN and DRAM Fail! ";
constexpr std::uint32_t kChunk = 16384;
constexpr std::uint32_t kProfile = 4 + 452;  // chip entry 1 behind its header

// The commands of a flash after the preparation, in order; the last is the commit.
std::vector<Step> Sequence(Variant v) {
  std::vector<Step> s;
  int writes = 0, reads = 0;
  if (v != Variant::None) {
    s.push_back({0xDF, 0, 128, "Read Flash ID> ", kWriteProfile});
    s.push_back(
        {0x3B, writes++, v == Variant::Cd ? kProfile : 452, "Write Profile> ", kWriteProfile});
  }
  for (int k = 0; k < 32; ++k) s.push_back({0x3B, writes++, kChunk, "Write Buffer> ", kWriteBin});
  if (v == Variant::Cd) {
    s.push_back({0x3B, writes++, 0, "Entry critical> ", "Drive entry critical... , Fail! "});
    s.push_back({0x3C, reads++, kProfile, "Read Profile> ", kVerifyProfile});
  }
  for (int k = 0; k < 32; ++k) s.push_back({0x3C, reads++, kChunk, "Read Buffer> ", kReadBin});
  s.push_back({0x3B, writes, 16, "Write Buffer> ", "Flash Fail."});
  return s;
}

struct Outcome {
  std::string status;
  std::vector<DialogRecord> dialogs;
  emu::DriveState drive;
  std::vector<emu::TraceEntry> trace;
  int lateSignals;
};

// How the drive's transport and layer report what they did: exactly; no residual (libata,
// ASPI's SS_COMP); every short data-in an underrun (an ASPI layer, INQUIRY included); an
// aborted request signalled after all (an ASPI layer, once the program has ended).
enum class Report { Exact, NoResidual, UnderrunAlways, AbortSignal };
const Report kReports[] = {Report::Exact, Report::NoResidual, Report::UnderrunAlways,
                           Report::AbortSignal};

// What the layer options change exists only with a layer.
bool Applies(Report report, bool aspi) {
  return aspi || report == Report::Exact || report == Report::NoResidual;
}

emu::FaultKind Reported(Report report) {
  return report == Report::AbortSignal ? emu::FaultKind::NeverCompletes
                                       : emu::FaultKind::ShortTransfer;
}

class FlashRun {
 public:
  FlashRun(bool aspi, Variant variant, Report report = Report::Exact) {
    payload_.reset(new FlashPayloadRecord(FlashPayload));
    FlashPayloadRecord& p = *payload_;
    std::memcpy(p.FirmwareImage, "IMG!", 4);
    for (std::size_t i = 4; i < kFirmwareAreaSize; ++i)
      p.FirmwareImage[i] = static_cast<std::uint8_t>(i * 13 + (i >> 11));
    p.FirmwareImage[0x4000] = 0x02;
    if (variant == Variant::Cd) {
      p.FirmwareImage[0x1100] = 0x05;  // every step runs
      p.FirmwareImage[0x1101] = 0x80;
    } else if (variant == Variant::Dvd) {
      p.FirmwareImage[0x4000] = 0x05;  // the profile, checked here; no entry critical
      p.FirmwareImage[0x4001] = 0x80;
      std::memcpy(p.FirmwareImage + 0x4010, "DVD-ROM QRV-310", 15);
    }
    std::memcpy(p.FirmwareName, "QF05.", 5);
    UsePayload(payload_.get());
    InstallPlatform(&fake_);
    InstallToolkit(&tk_);
    if (aspi) fake_.UseWin98();
    fake_.waitCapMs = 0;
    fake_.alignmentMask = kTransferAlignment - 1;  // as strict as the program promises
    emu::DriveConfig d;
    std::uint8_t chip[4] = {0xBF, 0xB4, 0x00, 0x00};  // entry 1: a profile to write and check
    std::memcpy(d.flashId, chip, 4);
    d.reportsResidual = report != Report::NoResidual;
    d.underrunAlways = report == Report::UnderrunAlways;
    if (report == Report::AbortSignal) fake_.aspi.SetAbortSignalMs(0);
    fake_.AddDrive(d);
  }
  std::uint8_t* Image() { return payload_->FirmwareImage; }
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
    // A late completion, or an aborted request's signal, lands after the program let go.
    fake_.aspi.CompleteParked();
    fake_.aspi.WaitIdle();
    return {tk_.Control(ControlId::GroupBox2).text, tk_.dialogs, fake_.bus.State(0),
            fake_.bus.Trace(), fake_.lateSignals};
  }

 private:
  FakePlatform fake_;
  HeadlessToolkit tk_;
  std::unique_ptr<FlashPayloadRecord> payload_;
};

bool CommitSent(const std::vector<emu::TraceEntry>& trace) {
  return std::any_of(trace.begin(), trace.end(), [](const emu::TraceEntry& e) {
    return emu::IsCommit(e.cdb) && e.outcome == emu::Outcome::Good;
  });
}

bool CommittedTheImage(const Outcome& o) {
  return o.drive.commits == 1 && o.drive.committed.size() == kFirmwareAreaSize &&
         std::equal(o.drive.committed.begin(), o.drive.committed.end(), Payload().FirmwareImage);
}

struct Kind {
  emu::FaultKind kind;
  const char* sense;  // the status text's sense part
  std::uint8_t passThroughStatus, aspiStatus;
};

// How each answer reads in the status text: the drive's status byte on pass-through, the
// request's status on ASPI (SS_ERR, SS_ABORTED, or still SS_PENDING).
const Kind kKinds[] = {
    {emu::FaultKind::Sense, "03 0C 00.", 0x02, 0x04},
    {emu::FaultKind::Status, "00 00 00.", 0x08, 0x04},
    {emu::FaultKind::TransportFailure, "00 00 00.", 0x00, 0x04},
    {emu::FaultKind::NeverCompletes, "00 00 00.", 0x00, 0x02},
    {emu::FaultKind::LateAfterAbort, "00 00 00.", 0x00, 0x00},
    {emu::FaultKind::ShortTransfer, "00 00 00.", 0x00, 0x04},
};

// A normal drive is never refused, whatever its transport leaves unsaid; every buffer the
// program hands over is page-aligned.
TEST(FlashFaults, CleanRunOnBothBackEndsCommitsExactlyTheImage) {
  for (Variant variant : {Variant::None, Variant::Cd, Variant::Dvd}) {
    for (bool aspi : {false, true}) {
      for (Report report : kReports) {
        if (!Applies(report, aspi)) continue;
        SCOPED_TRACE(std::to_string(aspi) + " report " + std::to_string(static_cast<int>(report)));
        FlashRun run(aspi, variant, report);
        Outcome o = run.Run(nullptr);
        EXPECT_EQ(o.status, "Flash Completed.");
        EXPECT_TRUE(CommittedTheImage(o));
      }
    }
  }
}

// Where the transport hides a short transfer, the read-back stands in for it: a short
// write or read fails the compare of its chunk or of the profile (the read starts from
// the complement of what it should return). A DVD profile is never read back, and a
// flash ID that lacks the bytes a lookup needs finds no chip: both runs go on, with the
// image checked.
struct Hidden {
  const char* status;  // nullptr: the run completes
  const char* box;
};

Hidden HiddenShortTransfer(const Step& step, Variant variant) {
  const Hidden profile = {kVerifyProfile, "Compared profile error!"};
  const Hidden chunk = {kCompare, "Compare BIN and DRAM fail!"};
  if (step.opcode == 0xDF) return {nullptr, nullptr};
  if (step.opcode == 0x3B && step.length != kChunk)
    return variant == Variant::Cd ? profile : Hidden{nullptr, nullptr};
  return step.length == kChunk ? chunk : profile;
}

// Runs the fault matrix with the drive's transport and layer reporting as given; a
// failed assertion ends it.
void Matrix(std::initializer_list<bool> backEnds, std::initializer_list<Report> reports,
            int& runs) {
  const std::regex statusText("[0-9A-F]{2} [0-9A-F]{2} [0-9A-F]{2}\\. [0-9A-F]{2}, [0-9A-F]{4}");
  for (Variant variant : {Variant::None, Variant::Cd, Variant::Dvd}) {
    for (bool aspi : backEnds) {
      for (Report report : reports) {
        if (!Applies(report, aspi)) continue;
        for (const Kind& k : kKinds) {
          // Pass-through has no late completion: the system's time-out ends the call.
          if (!aspi && k.kind == emu::FaultKind::LateAfterAbort) continue;
          // Each report changes the answer to one kind of fault only.
          if (report != Report::Exact && k.kind != Reported(report)) continue;
          const std::vector<Step> steps = Sequence(variant);
          for (const Step& step : steps) {
            bool commit = &step == &steps.back();
            if (k.kind == emu::FaultKind::ShortTransfer && (step.length == 0 || commit)) continue;
            SCOPED_TRACE(std::string(aspi ? "aspi " : "pass-through ") + step.prefix +
                         std::to_string(step.occurrence) + " variant " +
                         std::to_string(static_cast<int>(variant)) + " kind " +
                         std::to_string(static_cast<int>(k.kind)) + " report " +
                         std::to_string(static_cast<int>(report)));
            emu::Fault fault;
            fault.kind = k.kind;
            fault.opcode = step.opcode;
            fault.occurrence = step.occurrence;
            // The flash ID's lookup reads its first 4 bytes.
            fault.moved = step.opcode == 0xDF ? 2 : step.length / 2;
            fault.lateMs = 0;
            FlashRun run(aspi, variant, report);
            Outcome o = run.Run(&fault);
            ++runs;
            EXPECT_EQ(o.lateSignals, 0);
            if (report == Report::NoResidual && k.kind == emu::FaultKind::ShortTransfer) {
              const Hidden hidden = HiddenShortTransfer(step, variant);
              if (!hidden.status) {
                EXPECT_EQ(o.status, "Flash Completed.");
                EXPECT_TRUE(CommittedTheImage(o));
                // Without its extended ID a DVD drive's chip is not in the table.
                if (step.opcode == 0xDF && variant == Variant::Dvd) {
                  EXPECT_EQ(o.drive.profileLength, 0u);
                }
              } else {
                EXPECT_EQ(o.status, hidden.status);
                EXPECT_FALSE(CommitSent(o.trace));
                EXPECT_EQ(o.dialogs.back().text, hidden.box);
              }
              continue;
            }
            EXPECT_EQ(o.status, step.status);
            // A commit the layer could not abort may still reach the drive late.
            if (!commit || k.kind != emu::FaultKind::LateAfterAbort) {
              EXPECT_FALSE(CommitSent(o.trace));
              EXPECT_EQ(o.drive.commits, 0);
            }
            // The method's box, then nothing but the answered questions before it.
            ASSERT_GE(o.dialogs.size(), 3u);
            const std::string& box = o.dialogs.back().text;
            ASSERT_EQ(box.rfind(step.prefix, 0), 0u) << box;
            std::string tail = box.substr(std::strlen(step.prefix));
            EXPECT_TRUE(std::regex_match(tail, statusText)) << tail;
            char expected[16];
            std::snprintf(expected, sizeof expected, "%s %02X,", k.sense,
                          aspi ? k.aspiStatus : k.passThroughStatus);
            EXPECT_EQ(tail.substr(0, 13), expected);
            // Nothing of the flash was sent after the faulted command (a late completion
            // of it aside).
            auto faulted = std::find_if(o.trace.rbegin(), o.trace.rend(), [](const auto& e) {
              return e.outcome != emu::Outcome::Good || e.transferred < e.transferLength;
            });
            ASSERT_NE(faulted, o.trace.rend());
            EXPECT_EQ(faulted->cdb[0], step.opcode);
            EXPECT_LE(faulted - o.trace.rbegin(), k.kind == emu::FaultKind::LateAfterAbort ? 1 : 0);
          }
        }
      }
    }
  }
}

TEST(FlashFaults, EveryAnswerAlmostRightStopsAtItsStepAndNeverCommitsOnPassThrough) {
  int runs = 0;
  Matrix({false}, {Report::Exact}, runs);
  std::printf("fault matrix, pass-through: %d runs\n", runs);
}

TEST(FlashFaults, EveryAnswerAlmostRightStopsAtItsStepAndNeverCommitsOnAspi) {
  int runs = 0;
  Matrix({true}, {Report::Exact}, runs);
  std::printf("fault matrix, ASPI: %d runs\n", runs);
}

TEST(FlashFaults, TransportsThatSayLessStopAtTheStepOrAtTheCompare) {
  int runs = 0;
  Matrix({false, true}, {Report::NoResidual, Report::UnderrunAlways, Report::AbortSignal}, runs);
  std::printf("fault matrix, transports that say less: %d runs\n", runs);
}

// The commit asks for 16 bytes in though its block asks for none: a drive that returns
// less, and a layer that reports it as an underrun, have committed all the same. A flash
// ID answer that carries the 4 bytes the lookup reads is whole where the transport says
// how much moved (an underrun report does not).
TEST(FlashFaults, ShortAnswersThatCarryEveryByteUsedAreNoFailure) {
  for (Variant variant : {Variant::None, Variant::Cd, Variant::Dvd}) {
    for (bool aspi : {false, true}) {
      std::vector<Step> steps = {Sequence(variant).back()};
      if (variant != Variant::None && !aspi) steps.push_back(Sequence(variant).front());
      for (const Step& step : steps) {
        for (std::uint32_t moved : {0u, 4u, 8u}) {
          if (step.opcode == 0xDF && moved < 4) continue;
          SCOPED_TRACE(std::to_string(aspi) + " " + step.prefix + std::to_string(moved));
          emu::Fault fault;
          fault.kind = emu::FaultKind::ShortTransfer;
          fault.opcode = step.opcode;
          fault.occurrence = step.occurrence;
          fault.moved = moved;
          FlashRun run(aspi, variant);
          Outcome o = run.Run(&fault);
          EXPECT_EQ(o.status, "Flash Completed.");
          EXPECT_TRUE(CommittedTheImage(o));
          // The chip was found: its profile went out whole.
          if (variant != Variant::None) {
            EXPECT_EQ(o.drive.profileLength, Sequence(variant)[1].length);
          }
        }
      }
    }
  }
}

// A read-back that moves nothing, while the transport reports it whole, must not find
// what the buffer held before: the chunk before it, with an image whose chunks repeat;
// the last chunk sent, with an image whose last chunk begins with the profile block.
TEST(FlashFaults, ReadBackThatMovesNothingNeverComparesEqual) {
  for (bool aspi : {false, true}) {
    for (bool profile : {false, true}) {
      SCOPED_TRACE(std::to_string(aspi) + " profile " + std::to_string(profile));
      FlashRun run(aspi, profile ? Variant::Cd : Variant::None, Report::NoResidual);
      std::uint8_t* image = run.Image();
      if (profile) {
        const std::uint8_t header[4] = {0xBF, 0xB4, 0x01, 0xC4};
        std::uint8_t* last = image + kFirmwareAreaSize - kChunk;
        std::memcpy(last, header, 4);
        std::memcpy(last + 4, Payload().ChipProfiles + ChipProfileOffset(Payload(), 1), 452);
      } else {
        for (std::uint32_t at = kChunk; at < kFirmwareAreaSize; at += kChunk)
          std::memcpy(image + at, image, kChunk);
      }
      emu::Fault fault;
      fault.kind = emu::FaultKind::ShortTransfer;
      fault.opcode = 0x3C;
      fault.count = 0;  // every read
      fault.moved = 0;
      Outcome o = run.Run(&fault);
      EXPECT_EQ(o.status, profile ? kVerifyProfile : kCompare);
      EXPECT_EQ(o.dialogs.back().text,
                profile ? "Compared profile error!" : "Compare BIN and DRAM fail!");
      EXPECT_FALSE(CommitSent(o.trace));
      EXPECT_EQ(o.drive.commits, 0);
    }
  }
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
      FlashRun run(aspi, Variant::Cd);
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
