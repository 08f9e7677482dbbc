#include "emulator/AspiLayer.h"

#include <algorithm>
#include <cstring>

namespace emu {

namespace {

constexpr std::uint8_t kTargStatCheckCondition = 0x02;
constexpr std::uint8_t kHostAdapterScsiId = 7;
constexpr std::uint32_t kMaxTransfer = 0x10000;

void SetStatus(std::uint8_t* status, std::uint8_t value) {
  // The host polls SRB_Status without a lock once SendASPI32Command has returned.
  __atomic_store_n(status, value, __ATOMIC_RELEASE);
}

void CopyText(std::uint8_t (&to)[16], const char* text) {
  std::memset(to, ' ', sizeof(to));
  std::memcpy(to, text, std::min(sizeof(to), std::strlen(text)));
}

}  // namespace

AspiLayer::AspiLayer(EmulatedBus& bus) : bus_(bus) {}

AspiLayer::~AspiLayer() {
  {
    std::lock_guard<Mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (worker_) worker_->join();
}

void AspiLayer::SetSignal(SignalFn signal, void* context) {
  std::lock_guard<Mutex> lock(mutex_);
  signal_ = signal;
  context_ = context;
}

void AspiLayer::SetAsynchronous(bool asynchronous) {
  std::lock_guard<Mutex> lock(mutex_);
  asynchronous_ = asynchronous;
}

void AspiLayer::SetAbortSignalMs(int milliseconds) {
  std::lock_guard<Mutex> lock(mutex_);
  abortSignalMs_ = milliseconds;
}

void AspiLayer::SetAdapterCount(int count) {
  std::lock_guard<Mutex> lock(mutex_);
  adapterCount_ = count;
}

int AspiLayer::AdapterCount() const {
  std::lock_guard<Mutex> lock(mutex_);
  return AdapterCountLocked();
}

int AspiLayer::AdapterCountLocked() const {
  if (adapterCount_ >= 0) return adapterCount_;
  int count = 0;
  for (int i = 0; i < bus_.DriveCount(); ++i) count = std::max(count, bus_.Config(i).adapter + 1);
  return count;
}

win::DWORD AspiLayer::GetASPI32SupportInfo() {
  return (win::DWORD(aspi::SS_COMP) << 8) | win::DWORD(AdapterCount() & 0xFF);
}

win::DWORD AspiLayer::SendASPI32Command(void* srb) {
  if (srb == nullptr) return aspi::SS_INVALID_CMD;
  auto* header = static_cast<std::uint8_t*>(srb);
  switch (header[0]) {
    case aspi::SC_HA_INQUIRY:
      return HaInquiry(static_cast<SRB_HAInquiry*>(srb));
    case aspi::SC_EXEC_SCSI_CMD:
      return Exec(static_cast<aspi::SRB_ExecSCSICmd*>(srb));
    case aspi::SC_ABORT_SRB:
      return Abort(static_cast<aspi::SRB_Abort*>(srb));
    default:
      header[1] = aspi::SS_INVALID_CMD;
      return aspi::SS_INVALID_CMD;
  }
}

win::DWORD AspiLayer::HaInquiry(SRB_HAInquiry* srb) {
  const int count = AdapterCount();
  if (srb->SRB_HaId >= count) return srb->SRB_Status = aspi::SS_INVALID_HA;
  srb->HA_Count = std::uint8_t(count);
  srb->HA_SCSI_ID = kHostAdapterScsiId;
  CopyText(srb->HA_ManagerId, "ASPI for WIN32");
  CopyText(srb->HA_Identifier, "KORVEL EMULATED");
  std::memset(srb->HA_Unique, 0, sizeof(srb->HA_Unique));
  srb->HA_Unique[3] = 8;  // targets per adapter
  std::memcpy(srb->HA_Unique + 4, &kMaxTransfer, sizeof(kMaxTransfer));
  return srb->SRB_Status = aspi::SS_COMP;
}

win::DWORD AspiLayer::Exec(aspi::SRB_ExecSCSICmd* srb) {
  std::unique_lock<Mutex> lock(mutex_);
  if (srb->SRB_HaId >= AdapterCountLocked()) return srb->SRB_Status = aspi::SS_INVALID_HA;
  const int drive = bus_.FindByAddress(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
  if (drive < 0) return srb->SRB_Status = aspi::SS_NO_DEVICE;
  srb->SRB_Status = aspi::SS_PENDING;
  if (!asynchronous_) {
    Complete(Request{srb, Clock::now()});
    return srb->SRB_Status;
  }
  const auto delay = std::chrono::milliseconds(bus_.CompletionDelayMs(drive, srb->CDBByte));
  Enqueue(Request{srb, Clock::now() + delay});
  lock.unlock();
  wake_.notify_all();
  return aspi::SS_PENDING;
}

win::DWORD AspiLayer::Abort(aspi::SRB_Abort* srb) {
  std::lock_guard<Mutex> lock(mutex_);
  if (srb->SRB_HaId >= AdapterCountLocked()) return srb->SRB_Status = aspi::SS_INVALID_HA;
  ++aborts_;
  auto* target = static_cast<aspi::SRB_ExecSCSICmd*>(srb->SRB_ToAbort);
  auto queued = std::find_if(queue_.begin(), queue_.end(), [target](const Request& r) {
    return r.srb == target && !r.signalOnly;
  });
  auto stuck = std::find_if(stuck_.begin(), stuck_.end(),
                            [target](const Stuck& s) { return s.srb == target; });
  if (queued != queue_.end()) {
    queue_.erase(queued);
  } else if (stuck != stuck_.end() && stuck->lateMs >= 0) {
    // Takes the abort, then completes all the same, long after.
    const auto due = Clock::now() + std::chrono::milliseconds(stuck->lateMs);
    if (stuck->lateMs == 0) {
      parked_.push_back(target);
    } else {
      Enqueue(Request{target, due, true});
    }
    stuck_.erase(stuck);
    wake_.notify_all();
    return srb->SRB_Status = aspi::SS_COMP;
  } else if (stuck != stuck_.end()) {
    stuck_.erase(stuck);
  } else {
    return srb->SRB_Status = SS_ABORT_FAIL;
  }
  SetStatus(&target->SRB_Status, aspi::SS_ABORTED);
  if (abortSignalMs_ >= 0 && (target->SRB_Flags & aspi::SRB_EVENT_NOTIFY) != 0) {
    // The host may reuse the record once it reads SS_ABORTED: the event is taken now.
    Request signal{target, Clock::now() + std::chrono::milliseconds(abortSignalMs_)};
    signal.signalOnly = true;
    signal.event = target->SRB_PostProc;
    if (abortSignalMs_ == 0) {
      parkedSignals_.push_back(signal);
    } else {
      Enqueue(signal);
      wake_.notify_all();
    }
  }
  idle_.notify_all();
  return srb->SRB_Status = aspi::SS_COMP;
}

// In order of completion: a request held for long must not hold up those behind it.
void AspiLayer::Enqueue(const Request& request) {
  if (!worker_) worker_ = std::make_unique<Thread>([this] { Worker(); });
  auto later =
      std::upper_bound(queue_.begin(), queue_.end(), request.due,
                       [](Clock::time_point due, const Request& r) { return due < r.due; });
  queue_.insert(later, request);
}

void AspiLayer::Complete(const Request& request) {
  if (request.signalOnly) {
    if (signal_ != nullptr) signal_(context_, request.event);
    return;
  }
  aspi::SRB_ExecSCSICmd* srb = request.srb;
  std::uint8_t cdb[12] = {};
  std::memcpy(cdb, srb->CDBByte, std::min<std::size_t>(srb->SRB_CDBLen, sizeof(cdb)));
  const bool dataIn = (srb->SRB_Flags & aspi::SRB_DIR_OUT) == 0;
  const int drive = bus_.FindByAddress(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
  const Result result =
      request.late ? bus_.ExecuteUnfaulted(drive, cdb, dataIn, srb->SRB_BufPointer, srb->SRB_BufLen)
                   : bus_.Execute(drive, cdb, dataIn, srb->SRB_BufPointer, srb->SRB_BufLen);
  if (result.outcome == Outcome::NeverCompletes) {
    stuck_.push_back(Stuck{srb, result.lateMs});
    return;
  }
  const std::size_t senseLength = std::min<std::size_t>(srb->SRB_SenseLen, sizeof(srb->SenseArea));
  std::memset(srb->SenseArea, 0, senseLength);
  std::uint8_t status = aspi::SS_COMP;
  if (result.outcome == Outcome::CheckCondition) {
    srb->SRB_TargStat = kTargStatCheckCondition;
    std::memcpy(srb->SenseArea, result.senseData, senseLength);
    status = aspi::SS_ERR;
  } else if (result.outcome == Outcome::BadStatus) {
    srb->SRB_TargStat = result.scsiStatus;
    status = aspi::SS_ERR;
  } else if (result.outcome == Outcome::TransportFailure) {
    srb->SRB_HaStat = HASTAT_SEL_TO;
    status = aspi::SS_ERR;
  } else if (result.reported < srb->SRB_BufLen &&
             (result.shortened || (dataIn && bus_.Config(drive).underrunAlways))) {
    srb->SRB_HaStat = HASTAT_DO_DU;  // the layer's word for a short data phase
    status = aspi::SS_ERR;
  }
  SetStatus(&srb->SRB_Status, status);
  if ((srb->SRB_Flags & aspi::SRB_EVENT_NOTIFY) != 0 && signal_ != nullptr) {
    signal_(context_, srb->SRB_PostProc);
  }
}

void AspiLayer::Worker() {
  std::unique_lock<Mutex> lock(mutex_);
  while (!stop_) {
    if (queue_.empty()) {
      wake_.wait(lock);
      continue;
    }
    const Clock::time_point due = queue_.front().due;
    if (Clock::now() < due) {
      wake_.wait_until(lock, due);
      continue;
    }
    const Request request = queue_.front();
    queue_.pop_front();
    Complete(request);
    idle_.notify_all();
  }
}

void AspiLayer::CompleteParked() {
  {
    std::lock_guard<Mutex> lock(mutex_);
    for (aspi::SRB_ExecSCSICmd* srb : parked_) Enqueue(Request{srb, Clock::now(), true});
    for (Request signal : parkedSignals_) {
      signal.due = Clock::now();
      Enqueue(signal);
    }
    parked_.clear();
    parkedSignals_.clear();
  }
  wake_.notify_all();
}

void AspiLayer::WaitIdle() {
  std::unique_lock<Mutex> lock(mutex_);
  idle_.wait(lock, [this] { return queue_.empty(); });
}

int AspiLayer::AbortCount() const {
  std::lock_guard<Mutex> lock(mutex_);
  return aborts_;
}

int AspiLayer::PendingCount() const {
  std::lock_guard<Mutex> lock(mutex_);
  auto requests =
      std::count_if(queue_.begin(), queue_.end(), [](const Request& r) { return !r.signalOnly; });
  return int(requests + stuck_.size() + parked_.size());
}

}  // namespace emu
