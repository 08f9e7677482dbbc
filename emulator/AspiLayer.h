// An ASPI for Win32 layer over an emulated bus: the two entry points of the published
// interface, with asynchronous completion and event notification as real layers do it.
// Hosted in-process by the tests' fake platform and exported by WNASPI32.DLL and
// libwnaspi32.so.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "emulator/EmulatedBus.h"
#include "emulator/Threads.h"
#include "platform/Aspi.h"

namespace emu {

constexpr std::uint8_t SS_ABORT_FAIL = 0xE3;
constexpr std::uint8_t HASTAT_SEL_TO = 0x11;  // selection time-out: the transport failed
constexpr std::uint8_t HASTAT_DO_DU = 0x12;   // data overrun or underrun

#pragma pack(push, 1)
struct SRB_HAInquiry {
  std::uint8_t SRB_Cmd;
  std::uint8_t SRB_Status;
  std::uint8_t SRB_HaId;
  std::uint8_t SRB_Flags;
  std::uint32_t SRB_Hdr_Rsvd;
  std::uint8_t HA_Count;
  std::uint8_t HA_SCSI_ID;
  std::uint8_t HA_ManagerId[16];
  std::uint8_t HA_Identifier[16];
  std::uint8_t HA_Unique[16];
  std::uint16_t HA_Rsvd1;
};
#pragma pack(pop)
static_assert(sizeof(SRB_HAInquiry) == 60, "SRB_HAInquiry");

class AspiLayer {
 public:
  // Signals the event of a completed SRB_EVENT_NOTIFY request (the SRB_PostProc value).
  // Called with the layer's lock held, so that an abort cannot slip between the
  // completion and the signal; it must not call back into the layer.
  using SignalFn = void (*)(void* context, void* event);

  explicit AspiLayer(EmulatedBus& bus);
  ~AspiLayer();
  AspiLayer(const AspiLayer&) = delete;
  AspiLayer& operator=(const AspiLayer&) = delete;

  void SetSignal(SignalFn signal, void* context);
  // false: a request completes inside SendASPI32Command; true (the default, as real
  // layers do): SS_PENDING at once, completion on a worker thread after the drive's
  // completion delay.
  void SetAsynchronous(bool asynchronous);
  // -1 (the default): an aborted request is never signalled, as the interface promises
  // nothing more than its status. Else its event is signalled this long after the
  // abort (0: when CompleteParked is called).
  void SetAbortSignalMs(int milliseconds);
  void SetAdapterCount(int count);  // -1 (the default): one more than the highest drive adapter
  int AdapterCount() const;

  win::DWORD GetASPI32SupportInfo();
  win::DWORD SendASPI32Command(void* srb);

  void WaitIdle();  // until every queued request has completed
  // Completes the requests of late faults with lateMs 0, which wait for this call: a
  // test's own moment instead of a time that a busy machine may stretch.
  void CompleteParked();     // and signals the aborted requests of abort-signal delay 0
  int AbortCount() const;    // SC_ABORT_SRB requests received
  int PendingCount() const;  // requests still SS_PENDING, never-completing ones included

 private:
  using Clock = std::chrono::steady_clock;
  struct Request {
    aspi::SRB_ExecSCSICmd* srb;
    Clock::time_point due;
    bool late = false;        // completes an ignored abort: the command runs without faults
    bool signalOnly = false;  // signals an aborted request's event, taken at the abort
    void* event = nullptr;
  };
  struct Stuck {
    aspi::SRB_ExecSCSICmd* srb;
    int lateMs;  // -1: ends when aborted; else completes this long after the abort
  };

  win::DWORD HaInquiry(SRB_HAInquiry* srb);
  win::DWORD Exec(aspi::SRB_ExecSCSICmd* srb);
  win::DWORD Abort(aspi::SRB_Abort* srb);
  void Enqueue(const Request& request);   // with mutex_ held
  void Complete(const Request& request);  // with mutex_ held
  void Worker();
  int AdapterCountLocked() const;

  EmulatedBus& bus_;
  mutable Mutex mutex_;
  CondVar wake_, idle_;
  std::deque<Request> queue_;
  std::vector<Stuck> stuck_;  // never complete by themselves
  std::vector<aspi::SRB_ExecSCSICmd*> parked_;
  std::vector<Request> parkedSignals_;
  SignalFn signal_ = nullptr;
  void* context_ = nullptr;
  bool asynchronous_ = true;
  bool stop_ = false;
  int adapterCount_ = -1;
  int abortSignalMs_ = -1;
  int aborts_ = 0;
  std::unique_ptr<Thread> worker_;  // from the first request queued: most hosts never queue
};

}  // namespace emu
