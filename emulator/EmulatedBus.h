// An emulated bus of drives of the target model, answering every command of the flash
// as the drive does, with fault injection and a trace of every command block. Portable
// C++; hosted in-process by the tests' fake platform and by the emulated ASPI layers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "emulator/Threads.h"

namespace emu {

struct Sense {
  std::uint8_t key = 0, asc = 0, ascq = 0;  // key is byte 2 whole
};

inline bool operator==(const Sense& a, const Sense& b) {
  return a.key == b.key && a.asc == b.asc && a.ascq == b.ascq;
}

constexpr Sense kSenseInvalidOpcode{0x05, 0x20, 0x00};
constexpr Sense kSenseInvalidField{0x05, 0x24, 0x00};
constexpr Sense kSenseBecomingReady{0x02, 0x04, 0x01};
constexpr Sense kSenseNoDisc{0x02, 0x3A, 0x00};

struct DriveConfig {
  char letter = 'D';                              // drive letter on the pass-through path
  std::uint8_t adapter = 0, target = 0, lun = 0;  // ASPI address
  std::uint8_t peripheralType = 5;
  std::string vendor = "KOR-VEL";            // padded to 8
  std::string product = "KRW-52088S";        // padded to 16
  std::string revision = "QF01";             // 4
  std::string revisionAfterCommit = "QF05";  // reported after a successful commit
  std::uint8_t flashId[4] = {0xBF, 0xB6, 0x00, 0x01};
  // TEST UNIT READY commands answered 02/04/01 before the drive is ready; -1: never ready.
  int becomingReadyPasses = 0;
  bool discPresent = false;
  int completionDelayMs = 0;  // for asynchronous completion by an ASPI layer
  int commitDelayMs = 0;      // added to the completion delay of a commit
  // How the drive's transport reports a data phase shorter than asked. false: it reports
  // none (libata leaves SG_IO's resid at 0, a port driver the record's length as asked,
  // an ASPI layer SS_COMP). underrunAlways: an ASPI layer reports every short data-in as
  // an underrun, a normal 96-byte INQUIRY answer included, not only a faulted one.
  bool reportsResidual = true;
  bool underrunAlways = false;
};

// The ways a drive or its transport answers almost right:
// - Sense: CHECK CONDITION with the sense triple;
// - Status: a status byte other than GOOD (BUSY, RESERVATION CONFLICT) without sense;
// - TransportFailure: nothing reaches the drive;
// - NeverCompletes: no answer until the host gives up (an ASPI request stays pending
//   until aborted);
// - LateAfterAbort: like NeverCompletes, but an ASPI request ignores the abort and
//   completes lateMs after it, writing the host's buffer and signalling its event then;
// - CorruptRead: the command runs, one byte of what it returns is inverted;
// - ShortTransfer: the command runs, but its data phase moves only `moved` bytes: a read
//   leaves the rest of the host's buffer as it was, a write delivers zeros for the rest.
//   Every transport reports it its own way (the pass-through record's length, SG_IO's
//   resid, an ASPI underrun report).
enum class FaultKind {
  Sense,
  Status,
  TransportFailure,
  NeverCompletes,
  LateAfterAbort,
  CorruptRead,
  ShortTransfer
};

// Fires at the n-th command (from 0) that matches opcode (any when -1), counted on the
// drive's own command sequence, and on the count - 1 matching commands after it (count 0:
// on every matching command from the n-th on). A faulted command, other than CorruptRead
// and ShortTransfer, has no effect on the drive (LateAfterAbort: until it completes).
struct Fault {
  FaultKind kind = FaultKind::Sense;
  int opcode = -1;
  int occurrence = 0;
  int count = 1;
  Sense sense{0x03, 0x0C, 0x00};
  std::uint8_t status = 0x08;       // Status: the status byte (BUSY)
  std::uint32_t corruptOffset = 0;  // CorruptRead: this byte of the returned data is inverted
  std::uint32_t moved = 0;          // ShortTransfer: bytes the data phase moves
  int lateMs = 1000;  // LateAfterAbort: completion this long after the abort (0: when the
                      // in-process layer is told to, see AspiLayer::CompleteParked)
};

enum class Outcome { Good, CheckCondition, BadStatus, TransportFailure, NeverCompletes };

struct TraceEntry {
  int drive = 0;  // index in the bus
  std::uint8_t cdb[12] = {};
  bool dataIn = false;
  std::uint32_t transferLength = 0;
  std::uint32_t transferred = 0;  // bytes the data phase really moved
  std::uint64_t digest = 0;       // FNV-1a of the data moved (sent or returned)
  Outcome outcome = Outcome::Good;
  Sense sense;
};

struct Result {
  Outcome outcome = Outcome::Good;
  std::uint8_t scsiStatus = 0;      // 0x00 GOOD, 0x02 CHECK CONDITION, or a fault's status
  std::uint8_t senseData[18] = {};  // fixed format, valid on CheckCondition
  std::uint32_t transferred = 0;    // bytes moved; the rest of a data-in buffer is untouched
  std::uint32_t reported = 0;       // bytes the transport says moved (see reportsResidual)
  bool shortened = false;           // a ShortTransfer fault cut the data phase
  int lateMs = -1;                  // NeverCompletes of a LateAfterAbort fault: its delay
};

constexpr std::uint32_t kImageSize = 0x80000;
constexpr std::uint32_t kDramSize = kImageSize + 0x1000;
constexpr std::uint32_t kInquiryLength = 96;
constexpr std::uint32_t kFlashIdLength = 128;
constexpr std::uint32_t kCommitReplyLength = 16;

bool IsCommit(const std::uint8_t cdb[12]);

struct DriveState {
  std::vector<std::uint8_t> dram;       // kDramSize bytes, zero when the drive is added
  std::vector<std::uint8_t> committed;  // the DRAM image the last commit programmed
  int commits = 0;
  std::uint8_t commitControl = 0;
  std::string revision;  // as INQUIRY reports it now
  int testUnitReadyCount = 0;
  int profileWrites = 0;
  std::uint32_t profileOffset = 0, profileLength = 0;  // of the last profile write
  int entryCriticals = 0;
  std::vector<std::pair<std::uint16_t, std::uint8_t>> e2Writes;  // address, byte
  int commandCount = 0;
};

class EmulatedBus {
 public:
  // Called after every command, outside the bus's lock, on the thread that sent it.
  using Listener = std::function<void(const TraceEntry&)>;

  EmulatedBus();
  ~EmulatedBus();
  EmulatedBus(const EmulatedBus&) = delete;
  EmulatedBus& operator=(const EmulatedBus&) = delete;

  int AddDrive(const DriveConfig& config);
  void AddFault(int drive, const Fault& fault);
  int DriveCount() const;
  int FindByLetter(char letter) const;  // -1 when absent
  int FindByAddress(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun) const;
  void SetListener(Listener listener);
  // Off: commands leave no trace entry and reach no listener, for a host that never reads
  // them (a fuzz target, whose every command would otherwise cost a digest of its data).
  void SetTracing(bool tracing);

  // One command block; data is the host buffer of the data phase (length bytes). A
  // command without data phase has length 0, whatever the direction.
  Result Execute(int drive, const std::uint8_t cdb[12], bool dataIn, std::uint8_t* data,
                 std::uint32_t length);
  // The same command without faults, for a late completion that was already counted.
  Result ExecuteUnfaulted(int drive, const std::uint8_t cdb[12], bool dataIn, std::uint8_t* data,
                          std::uint32_t length);
  // How long an ASPI layer takes to complete this command on this drive.
  int CompletionDelayMs(int drive, const std::uint8_t cdb[12]) const;

  std::vector<TraceEntry> Trace() const;
  void ClearTrace();
  DriveState State(int drive) const;  // a copy: commands may run on other threads
  const DriveConfig& Config(int drive) const;
  void Reset();  // no drives, no faults, empty trace

 private:
  struct Drive;
  Result Run(Drive& drive, TraceEntry& entry, std::uint8_t* data, bool faults);
  Result Record(int drive, const std::uint8_t cdb[12], bool dataIn, std::uint8_t* data,
                std::uint32_t length, bool faults);

  mutable Mutex mutex_;  // the ASPI layers complete on their own threads
  std::vector<std::unique_ptr<Drive>> drives_;
  std::vector<TraceEntry> trace_;
  Listener listener_;
  bool tracing_ = true;
};

std::uint64_t Fnv1a(const std::uint8_t* data, std::uint32_t length);

}  // namespace emu
