#include "emulator/EmulatedBus.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>

namespace emu {

namespace {

constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kStartStopUnit = 0x1B;
constexpr std::uint8_t kWriteBuffer = 0x3B;
constexpr std::uint8_t kReadBuffer = 0x3C;
constexpr std::uint8_t kPlayAudio10 = 0x45;
constexpr std::uint8_t kStopPlayScan = 0x4E;
constexpr std::uint8_t kVendor = 0xDF;

constexpr std::uint8_t kVendorFlashId = 0x11;
constexpr std::uint8_t kVendorE2Write = 0x0A;

constexpr std::uint8_t kControlData = 0x00;
constexpr std::uint8_t kControlProfile = 0x7F;
constexpr std::uint8_t kControlCommit = 0x80;
constexpr std::uint8_t kControlCommitAll = 0xA0;

struct Command {
  const std::uint8_t* cdb;
  bool dataIn;
  std::uint8_t* data;
  std::uint32_t length;

  std::uint32_t Be24(int at) const {
    return (std::uint32_t(cdb[at]) << 16) | (std::uint32_t(cdb[at + 1]) << 8) | cdb[at + 2];
  }
  bool DataOut() const { return !dataIn && length > 0; }
};

struct Reply {
  bool good = true;
  Sense sense;
  std::uint32_t transferred = 0;
};

Reply Good(std::uint32_t transferred = 0) {
  return Reply{true, Sense{}, transferred};
}
Reply Check(Sense sense) {
  return Reply{false, sense, 0};
}

void CopyPadded(std::uint8_t* to, const std::string& text, std::size_t width) {
  std::memset(to, ' ', width);
  std::memcpy(to, text.data(), std::min(width, text.size()));
}

bool InDram(std::uint32_t offset, std::uint32_t length) {
  return offset <= kDramSize && length <= kDramSize - offset;
}

void FillSense(Result& result, Sense sense) {
  result.scsiStatus = 0x02;
  result.senseData[0] = 0x70;
  result.senseData[2] = sense.key;
  result.senseData[7] = sizeof(result.senseData) - 8;
  result.senseData[12] = sense.asc;
  result.senseData[13] = sense.ascq;
}

bool FaultMatches(const Fault& fault, int index) {
  if (index < fault.occurrence) return false;
  return fault.count <= 0 || index < fault.occurrence + fault.count;
}

}  // namespace

struct EmulatedBus::Drive {
  DriveConfig config;
  DriveState state;
  std::vector<Fault> faults;
  std::map<int, int> opcodeSeen;

  const Fault* NextFault(std::uint8_t opcode);
  Reply Dispatch(const Command& c);

  Reply NoData(const Command& c, Reply reply) const {
    return c.length != 0 ? Check(kSenseInvalidField) : reply;
  }
  Reply TestUnitReady(const Command& c);
  Reply StopPlay(const Command& c) const;
  Reply Inquiry(const Command& c) const;
  Reply Vendor(const Command& c);
  Reply WriteBuffer(const Command& c);
  Reply WriteData(const Command& c);
  Reply WriteProfile(const Command& c);
  Reply Commit(const Command& c);
  Reply ReadBuffer(const Command& c) const;
  Reply PlayAudio(const Command& c) const;
  Reply Shortened(const Command& c, std::uint32_t moved);
};

const Fault* EmulatedBus::Drive::NextFault(std::uint8_t opcode) {
  const int overall = state.commandCount++;
  const int ofOpcode = opcodeSeen[opcode]++;
  for (const Fault& fault : faults) {
    const int index = fault.opcode < 0 ? overall : ofOpcode;
    if ((fault.opcode < 0 || fault.opcode == opcode) && FaultMatches(fault, index)) return &fault;
  }
  return nullptr;
}

Reply EmulatedBus::Drive::Dispatch(const Command& c) {
  switch (c.cdb[0]) {
    case kTestUnitReady:
      return TestUnitReady(c);
    case kInquiry:
      return Inquiry(c);
    case kStartStopUnit:
      return NoData(c, Good());
    case kStopPlayScan:
      return StopPlay(c);
    case kVendor:
      return Vendor(c);
    case kWriteBuffer:
      return WriteBuffer(c);
    case kReadBuffer:
      return ReadBuffer(c);
    case kPlayAudio10:
      return PlayAudio(c);
    default:
      return Check(kSenseInvalidOpcode);
  }
}

Reply EmulatedBus::Drive::TestUnitReady(const Command& c) {
  if (c.length != 0) return Check(kSenseInvalidField);
  const int passes = config.becomingReadyPasses;
  ++state.testUnitReadyCount;
  if (passes < 0 || state.testUnitReadyCount <= passes) return Check(kSenseBecomingReady);
  return Good();
}

// The drive stays becoming ready until the TEST UNIT READY that finds it ready.
Reply EmulatedBus::Drive::StopPlay(const Command& c) const {
  if (c.length != 0) return Check(kSenseInvalidField);
  const int passes = config.becomingReadyPasses;
  if (passes < 0 || (passes > 0 && state.testUnitReadyCount <= passes)) {
    return Check(kSenseBecomingReady);
  }
  return Good();
}

Reply EmulatedBus::Drive::Inquiry(const Command& c) const {
  if (c.DataOut() || (c.cdb[1] & 0x01) != 0) return Check(kSenseInvalidField);
  std::uint8_t reply[kInquiryLength] = {};
  reply[0] = config.peripheralType;
  reply[1] = 0x80;  // removable medium
  reply[3] = 0x32;  // ATAPI, response data format 2
  reply[4] = kInquiryLength - 5;
  CopyPadded(reply + 8, config.vendor, 8);
  CopyPadded(reply + 16, config.product, 16);
  CopyPadded(reply + 32, state.revision, 4);
  const std::uint32_t n = std::min({std::uint32_t(c.cdb[4]), kInquiryLength, c.length});
  if (n != 0) std::memcpy(c.data, reply, n);
  return Good(n);
}

Reply EmulatedBus::Drive::Vendor(const Command& c) {
  if (c.cdb[1] == kVendorFlashId) {
    if (c.DataOut()) return Check(kSenseInvalidField);
    std::uint8_t reply[kFlashIdLength] = {};
    std::memcpy(reply, config.flashId, sizeof(config.flashId));
    const std::uint32_t n = std::min(kFlashIdLength, c.length);
    if (n != 0) std::memcpy(c.data, reply, n);
    return Good(n);
  }
  if (c.cdb[1] == kVendorE2Write) {
    if (c.length != 0) return Check(kSenseInvalidField);
    state.e2Writes.emplace_back(std::uint16_t((c.cdb[7] << 8) | c.cdb[8]), c.cdb[9]);
    return Good();
  }
  return Check(kSenseInvalidField);
}

Reply EmulatedBus::Drive::WriteBuffer(const Command& c) {
  if ((c.cdb[1] & 0x1F) != 0x05 || c.cdb[2] != 0x01) return Check(kSenseInvalidField);
  switch (c.cdb[9]) {
    case kControlData:
      return WriteData(c);
    case kControlProfile:
      return WriteProfile(c);
    case kControlCommit:
    case kControlCommitAll:
      return Commit(c);
    default:
      return Check(kSenseInvalidField);
  }
}

Reply EmulatedBus::Drive::WriteData(const Command& c) {
  const std::uint32_t offset = c.Be24(3), length = c.Be24(6);
  if (c.dataIn && c.length != 0) return Check(kSenseInvalidField);
  if (length != c.length || !InDram(offset, length)) return Check(kSenseInvalidField);
  if (length != 0) std::memcpy(state.dram.data() + offset, c.data, length);
  return Good(length);
}

// With a data-out phase (of any length, an empty one included) control 0x7F loads the
// chip profile; as a data-in command without data it is the entry-critical step.
Reply EmulatedBus::Drive::WriteProfile(const Command& c) {
  if (c.dataIn) {
    if (c.length != 0 || c.Be24(6) != 0) return Check(kSenseInvalidField);
    ++state.entryCriticals;
    return Good();
  }
  const Reply reply = WriteData(c);
  if (reply.good) {
    ++state.profileWrites;
    state.profileOffset = c.Be24(3);
    state.profileLength = c.length;
  }
  return reply;
}

Reply EmulatedBus::Drive::Commit(const Command& c) {
  if (c.DataOut() || c.Be24(6) != 0) return Check(kSenseInvalidField);
  state.committed.assign(state.dram.begin(), state.dram.begin() + kImageSize);
  state.commitControl = c.cdb[9];
  ++state.commits;
  state.revision = config.revisionAfterCommit;
  const std::uint32_t n = std::min(kCommitReplyLength, c.length);
  if (n != 0) std::memset(c.data, 0, n);
  return Good(n);
}

Reply EmulatedBus::Drive::ReadBuffer(const Command& c) const {
  if ((c.cdb[1] & 0x1F) != 0x01 || c.cdb[2] != 0x01) return Check(kSenseInvalidField);
  const std::uint32_t offset = c.Be24(3), length = c.Be24(6);
  if (c.DataOut() || length != c.length || !InDram(offset, length)) {
    return Check(kSenseInvalidField);
  }
  if (length != 0) std::memcpy(c.data, state.dram.data() + offset, length);
  return Good(length);
}

// The disc check asks for a data phase that PLAY AUDIO never fills; only the disc counts.
Reply EmulatedBus::Drive::PlayAudio(const Command& c) const {
  if (c.DataOut()) return Check(kSenseInvalidField);
  return config.discPresent ? Good() : Check(kSenseNoDisc);
}

namespace {

// Tests and fuzz targets add drives by the thousand, each with over a megabyte of memory
// once it has committed, which a sanitizer's allocator would map, fault in and unmap
// every time. A removed drive's memory serves the next drive instead.
class SpareMemory {
 public:
  void Give(std::vector<std::uint8_t>&& bytes) {
    std::lock_guard<Mutex> lock(mutex_);
    if (spares_.size() < kKept && bytes.capacity() != 0) spares_.push_back(std::move(bytes));
  }
  std::vector<std::uint8_t> Take() {
    std::lock_guard<Mutex> lock(mutex_);
    if (spares_.empty()) return {};
    std::vector<std::uint8_t> bytes = std::move(spares_.back());
    spares_.pop_back();
    return bytes;
  }

 private:
  static constexpr std::size_t kKept = 8;
  Mutex mutex_;
  std::vector<std::vector<std::uint8_t>> spares_;
};

SpareMemory& Spares() {
  static auto* spares = new SpareMemory;  // never destroyed: buses may outlive statics
  return *spares;
}

}  // namespace

EmulatedBus::EmulatedBus() = default;

EmulatedBus::~EmulatedBus() {
  Reset();
}

int EmulatedBus::AddDrive(const DriveConfig& config) {
  auto drive = std::make_unique<Drive>();
  drive->config = config;
  drive->state.revision = config.revision;
  drive->state.dram = Spares().Take();
  drive->state.dram.assign(kDramSize, 0);
  drive->state.committed = Spares().Take();
  drive->state.committed.clear();
  std::lock_guard<Mutex> lock(mutex_);
  drives_.push_back(std::move(drive));
  return int(drives_.size()) - 1;
}

void EmulatedBus::AddFault(int drive, const Fault& fault) {
  std::lock_guard<Mutex> lock(mutex_);
  drives_.at(drive)->faults.push_back(fault);
}

int EmulatedBus::DriveCount() const {
  std::lock_guard<Mutex> lock(mutex_);
  return int(drives_.size());
}

int EmulatedBus::FindByLetter(char letter) const {
  std::lock_guard<Mutex> lock(mutex_);
  for (std::size_t i = 0; i < drives_.size(); ++i) {
    if (drives_[i]->config.letter == letter) return int(i);
  }
  return -1;
}

int EmulatedBus::FindByAddress(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun) const {
  std::lock_guard<Mutex> lock(mutex_);
  for (std::size_t i = 0; i < drives_.size(); ++i) {
    const DriveConfig& c = drives_[i]->config;
    if (c.adapter == adapter && c.target == target && c.lun == lun) return int(i);
  }
  return -1;
}

void EmulatedBus::SetListener(Listener listener) {
  std::lock_guard<Mutex> lock(mutex_);
  listener_ = std::move(listener);
}

void EmulatedBus::SetTracing(bool tracing) {
  std::lock_guard<Mutex> lock(mutex_);
  tracing_ = tracing;
}

bool IsCommit(const std::uint8_t cdb[12]) {
  return cdb[0] == kWriteBuffer && (cdb[9] == kControlCommit || cdb[9] == kControlCommitAll);
}

int EmulatedBus::CompletionDelayMs(int drive, const std::uint8_t cdb[12]) const {
  std::lock_guard<Mutex> lock(mutex_);
  const DriveConfig& c = drives_.at(drive)->config;
  return c.completionDelayMs + (IsCommit(cdb) ? c.commitDelayMs : 0);
}

Result EmulatedBus::Execute(int drive, const std::uint8_t cdb[12], bool dataIn, std::uint8_t* data,
                            std::uint32_t length) {
  return Record(drive, cdb, dataIn, data, length, true);
}

Result EmulatedBus::ExecuteUnfaulted(int drive, const std::uint8_t cdb[12], bool dataIn,
                                     std::uint8_t* data, std::uint32_t length) {
  return Record(drive, cdb, dataIn, data, length, false);
}

Result EmulatedBus::Record(int drive, const std::uint8_t cdb[12], bool dataIn, std::uint8_t* data,
                           std::uint32_t length, bool faults) {
  TraceEntry entry;
  entry.drive = drive;
  std::memcpy(entry.cdb, cdb, sizeof(entry.cdb));
  entry.dataIn = dataIn;
  entry.transferLength = length;
  Result result;
  Listener listener;
  {
    std::lock_guard<Mutex> lock(mutex_);
    result = Run(*drives_.at(drive), entry, data, faults);
    if (!tracing_) return result;
    entry.digest = Fnv1a(data, result.transferred);
    trace_.push_back(entry);
    listener = listener_;
  }
  if (listener) listener(entry);
  return result;
}

// The drive sees a data phase of `moved` bytes: what it reads beyond them is zero, what
// it returns beyond them never reaches the host.
Reply EmulatedBus::Drive::Shortened(const Command& c, std::uint32_t moved) {
  moved = std::min(moved, c.length);
  std::vector<std::uint8_t> phase(c.length, 0);
  if (!c.dataIn && moved != 0) std::memcpy(phase.data(), c.data, moved);
  Reply reply = Dispatch(Command{c.cdb, c.dataIn, phase.data(), c.length});
  if (!reply.good) return reply;
  reply.transferred = std::min(reply.transferred, moved);
  if (c.dataIn && reply.transferred != 0) std::memcpy(c.data, phase.data(), reply.transferred);
  return reply;
}

Result EmulatedBus::Run(Drive& drive, TraceEntry& entry, std::uint8_t* data, bool faults) {
  Result result;
  const Fault* fault = faults ? drive.NextFault(entry.cdb[0]) : nullptr;
  auto is = [fault](FaultKind kind) { return fault != nullptr && fault->kind == kind; };
  if (is(FaultKind::TransportFailure)) {
    result.outcome = Outcome::TransportFailure;
  } else if (is(FaultKind::NeverCompletes) || is(FaultKind::LateAfterAbort)) {
    result.outcome = Outcome::NeverCompletes;
    if (is(FaultKind::LateAfterAbort)) result.lateMs = fault->lateMs;
  } else if (is(FaultKind::Status)) {
    result.outcome = Outcome::BadStatus;
    result.scsiStatus = fault->status;
  } else {
    const Command command{entry.cdb, entry.dataIn, data, entry.transferLength};
    const Reply reply = is(FaultKind::Sense)           ? Check(fault->sense)
                        : is(FaultKind::ShortTransfer) ? drive.Shortened(command, fault->moved)
                                                       : drive.Dispatch(command);
    if (reply.good) {
      result.transferred = reply.transferred;
      result.reported = drive.config.reportsResidual ? reply.transferred : entry.transferLength;
      result.shortened = is(FaultKind::ShortTransfer);
      if (is(FaultKind::CorruptRead) && entry.dataIn && fault->corruptOffset < reply.transferred) {
        data[fault->corruptOffset] ^= 0xFF;
      }
    } else {
      result.outcome = Outcome::CheckCondition;
      FillSense(result, reply.sense);
      entry.sense = reply.sense;
    }
  }
  entry.outcome = result.outcome;
  entry.transferred = result.transferred;
  return result;
}

std::vector<TraceEntry> EmulatedBus::Trace() const {
  std::lock_guard<Mutex> lock(mutex_);
  return trace_;
}

void EmulatedBus::ClearTrace() {
  std::lock_guard<Mutex> lock(mutex_);
  trace_.clear();
}

DriveState EmulatedBus::State(int drive) const {
  std::lock_guard<Mutex> lock(mutex_);
  return drives_.at(drive)->state;
}

const DriveConfig& EmulatedBus::Config(int drive) const {
  std::lock_guard<Mutex> lock(mutex_);
  return drives_.at(drive)->config;
}

void EmulatedBus::Reset() {
  std::lock_guard<Mutex> lock(mutex_);
  for (const auto& drive : drives_) {
    Spares().Give(std::move(drive->state.dram));
    Spares().Give(std::move(drive->state.committed));
  }
  drives_.clear();
  trace_.clear();
}

std::uint64_t Fnv1a(const std::uint8_t* data, std::uint32_t length) {
  std::uint64_t hash = 0xCBF29CE484222325ull;
  for (std::uint32_t i = 0; i < length; ++i) {
    hash ^= data[i];
    hash *= 0x100000001B3ull;
  }
  return hash;
}

}  // namespace emu
