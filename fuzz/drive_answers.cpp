// Drive answers from the input, through CDDrive on both back ends: the Linux
// pass-through (the kernel's SG_IO answer: status, host and driver status, residual,
// sense, data) and an ASPI layer (request status, host and target status, sense, an
// answer of pending or not, a signal or none, an abort taken or not). Whatever the
// answers, a command counts as done only with status GOOD, no sense and, where its data
// is used, all of it fresh from the drive; the texts keep their widths; no signal ever
// lands on a closed event; a request that never ended is never sent again.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "drive/Cddrive.h"
#include "fuzz/FuzzProgram.h"
#include "platform/Aspi.h"
#include "platform/ScsiPassThrough.h"
#include "platform/WinConstants.h"
#include "platform/linux/LinuxPlatform.h"
#include "toolkit/headless/HeadlessToolkit.h"

namespace {

constexpr std::uint32_t kBuffer = 16384;
FuzzedDataProvider* in = nullptr;  // the input being run
std::uint32_t lastFresh = 0;       // bytes the last answer really wrote

// The part of an answer that arrives in the host's buffer: what the drive sends for a
// read, nothing for a write. Returns the bytes written.
std::uint32_t Deliver(std::uint8_t* buffer, std::uint32_t asked, bool dataIn, std::uint32_t moved) {
  moved = std::min(moved, asked);
  if (dataIn && buffer && moved > 0) {
    std::vector<std::uint8_t> bytes = in->ConsumeBytes<std::uint8_t>(moved);
    bytes.resize(moved, 0x20);
    std::memcpy(buffer, bytes.data(), moved);
  }
  return moved;
}

// The kernel answers SG_IO from the input.
int SgIo(int, sg_io_hdr* h) {
  if (in->ConsumeIntegralInRange(0, 15) == 0) {
    errno = in->ConsumeBool() ? EIO : EPERM;
    return -1;
  }
  h->status = in->ConsumeBool() ? 0 : in->ConsumeIntegral<std::uint8_t>();
  h->host_status = in->ConsumeIntegralInRange(0, 7) ? 0 : in->ConsumeIntegral<std::uint8_t>();
  h->driver_status = in->ConsumeIntegralInRange(0, 7) ? 0 : in->ConsumeIntegral<std::uint8_t>();
  h->resid = in->ConsumeBool() ? 0 : in->ConsumeIntegral<std::int32_t>();
  // A negative residual is the kernel's word for an overrun: the buffer was filled.
  std::uint32_t moved = h->resid < 0                                      ? h->dxfer_len
                        : static_cast<unsigned>(h->resid) <= h->dxfer_len ? h->dxfer_len - h->resid
                                                                          : 0;
  lastFresh = Deliver(static_cast<std::uint8_t*>(h->dxferp), h->dxfer_len,
                      h->dxfer_direction == SG_DXFER_FROM_DEV, moved);
  std::vector<std::uint8_t> sense =
      in->ConsumeBytes<std::uint8_t>(in->ConsumeIntegralInRange(0, 32));
  h->sb_len_wr = static_cast<unsigned char>(std::min<std::size_t>(sense.size(), h->mx_sb_len));
  if (h->sb_len_wr > 0) std::memcpy(h->sbp, sense.data(), h->sb_len_wr);
  return 0;
}

// An ASPI layer whose every answer comes from the input, and the events it signals.
class FuzzedAspi : public LinuxPlatform {
 public:
  FuzzedAspi(const std::string& folder) : LinuxPlatform(folder, folder, SgIo) {}
  ~FuzzedAspi() override { self = nullptr; }

  win::BOOL GetVersionExA(win::OSVERSIONINFOA* info) override {
    info->dwPlatformId = 1;
    return 1;
  }
  win::HMODULE LoadLibraryA(const char*) override { return reinterpret_cast<win::HMODULE>(this); }
  win::FARPROC GetProcAddress(win::HMODULE, const char* name) override {
    self = this;
    if (std::strcmp(name, "GetASPI32SupportInfo") == 0)
      return reinterpret_cast<win::FARPROC>(&SupportInfo);
    return reinterpret_cast<win::FARPROC>(&Send);
  }
  win::BOOL FreeLibrary(win::HMODULE) override { return 1; }
  win::HANDLE CreateEventA(void*, win::BOOL, win::BOOL, const char*) override {
    if (in->ConsumeIntegralInRange(0, 63) == 0) return nullptr;
    open.insert(++next);
    return reinterpret_cast<win::HANDLE>(next);
  }
  win::DWORD WaitForSingleObject(win::HANDLE event, win::DWORD) override {
    auto e = reinterpret_cast<std::uintptr_t>(event);
    if (!open.count(e)) Finding("wait on a closed event");
    if (!signalDue.erase(e)) return win::WAIT_TIMEOUT;
    return win::WAIT_OBJECT_0;
  }
  win::BOOL ResetEvent(win::HANDLE) override { return 1; }
  win::BOOL CloseHandle(win::HANDLE handle) override {
    auto e = reinterpret_cast<std::uintptr_t>(handle);
    if (signalDue.count(e)) Finding("an event closed before its signal came");
    open.erase(e);
    return 1;
  }

  std::set<std::uintptr_t> open, signalDue;
  std::set<const void*> stuck;  // requests the layer never let go of
  std::uintptr_t next = 0x100;

 private:
  static win::DWORD SupportInfo() { return win::DWORD{aspi::SS_COMP} << 8 | 1; }
  static win::DWORD Send(void* request) { return self->Answer(request); }

  win::DWORD Answer(void* request) {
    auto* header = static_cast<std::uint8_t*>(request);
    if (header[0] == aspi::SC_ABORT_SRB) {
      auto* abort = static_cast<aspi::SRB_Abort*>(request);
      auto* target = static_cast<aspi::SRB_ExecSCSICmd*>(abort->SRB_ToAbort);
      if (in->ConsumeBool()) {
        target->SRB_Status = aspi::SS_ABORTED;
        stuck.erase(target);
        stuck.erase(target->SRB_BufPointer);
      }
      return aspi::SS_COMP;
    }
    auto* srb = static_cast<aspi::SRB_ExecSCSICmd*>(request);
    if (stuck.count(srb)) Finding("a request the layer still holds was sent again");
    if (stuck.count(srb->SRB_BufPointer) && srb->SRB_BufLen > 0)
      Finding("a buffer the layer still holds was used again");
    bool pending = in->ConsumeBool();
    bool completes = !pending || in->ConsumeIntegralInRange(0, 7) != 0;
    if (!completes) {
      srb->SRB_Status = aspi::SS_PENDING;
      stuck.insert(srb);
      if (srb->SRB_BufLen > 0) stuck.insert(srb->SRB_BufPointer);  // none moves without length
      return aspi::SS_PENDING;
    }
    const std::uint8_t statuses[] = {aspi::SS_COMP, aspi::SS_ERR, aspi::SS_ABORTED,
                                     aspi::SS_NO_DEVICE, in->ConsumeIntegral<std::uint8_t>()};
    srb->SRB_Status = statuses[in->ConsumeIntegralInRange(0, 4)];
    srb->SRB_HaStat = in->ConsumeBool() ? 0 : in->ConsumeIntegral<std::uint8_t>();
    srb->SRB_TargStat = in->ConsumeBool() ? 0 : in->ConsumeIntegral<std::uint8_t>();
    std::vector<std::uint8_t> sense =
        in->ConsumeBytes<std::uint8_t>(in->ConsumeIntegralInRange(0, 16));
    if (!sense.empty()) std::memcpy(srb->SenseArea, sense.data(), sense.size());
    // Without an underrun report a layer says nothing of how much moved.
    bool silentShort = srb->SRB_Status == aspi::SS_COMP && in->ConsumeIntegralInRange(0, 15) == 0;
    std::uint32_t moved = silentShort
                              ? in->ConsumeIntegralInRange<std::uint32_t>(0, srb->SRB_BufLen)
                              : srb->SRB_BufLen;
    lastFresh = Deliver(srb->SRB_BufPointer, srb->SRB_BufLen,
                        (srb->SRB_Flags & aspi::SRB_DIR_OUT) == 0, moved);
    if (silentShort) lastFresh = srb->SRB_BufLen;  // nobody could know
    auto event = reinterpret_cast<std::uintptr_t>(srb->SRB_PostProc);
    if (pending && in->ConsumeIntegralInRange(0, 7) != 0) signalDue.insert(event);
    return pending ? aspi::SS_PENDING : srb->SRB_Status;
  }

  static FuzzedAspi* self;
};
FuzzedAspi* FuzzedAspi::self = nullptr;

const std::string& DeviceFolder() {
  static const std::string folder = [] {
    std::string f = FuzzFolder();
    std::ofstream(f + "/sr0") << "";
    return f;
  }();
  return folder;
}

void CheckTexts(CDDrive& drive) {
  static const std::regex status(
      "[0-9A-F]{2} [0-9A-F]{2} [0-9A-F]{2}\\. [0-9A-F]{2}, [0-9A-F]{4,8}");
  if (!std::regex_match(drive.GetStatusText(), status))
    Finding("status text " + drive.GetStatusText());
  if (drive.GetVendorProduct().size() != 24 || drive.GetRevision().size() != 4)
    Finding("identification widths");
}

void CheckJudgement(CDDrive& drive, std::uint32_t needed) {
  if (!drive.LastCommandCompleted(needed)) return;
  if (!drive.SenseEquals(0, 0, 0)) Finding("done with sense");
  if (needed > 0 && lastFresh < needed) Finding("done with stale bytes in the buffer");
  CheckTexts(drive);
}

// The commands of a flash, and their data lengths: in, with the data used; the commit,
// whose data is not; out; none.
void Commands(CDDrive& drive, std::uint8_t* buffer) {
  drive.SetDataBuffer(buffer, kBuffer);
  for (int n = 0; n < 12 && in->remaining_bytes() > 0; ++n) {
    std::uint32_t length = in->ConsumeIntegralInRange<std::uint32_t>(0, kBuffer);
    lastFresh = 0;
    switch (in->ConsumeIntegralInRange(0, 5)) {
      case 0:
        drive.ExecuteCommand(0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 128);
        CheckJudgement(drive, 128);
        break;
      case 1:
        drive.ExecuteCommand(0x3C, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, length);
        CheckJudgement(drive, length);
        break;
      case 2:
        drive.ExecuteCommand(0x3B, 5, 1, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 1, 16);
        CheckJudgement(drive, 0);
        break;
      case 3:
        drive.ExecuteCommand(0x3B, 5, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, length);
        CheckJudgement(drive, 0);
        break;
      case 4:
        drive.SetTimeout(in->ConsumeIntegral<std::uint16_t>());
        break;
      default:
        drive.GetDescription();
        CheckTexts(drive);
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  in = &input;
  const bool aspi = input.ConsumeBool();
  std::unique_ptr<LinuxPlatform> os =
      aspi ? std::make_unique<FuzzedAspi>(DeviceFolder())
           : std::make_unique<LinuxPlatform>(DeviceFolder(), DeviceFolder(), SgIo);
  HeadlessToolkit tk;
  InstallPlatform(os.get());
  InstallToolkit(&tk);
  cddrive::ResetModule();
  static std::vector<std::uint8_t> buffer(kBuffer);  // outlives what a stuck request holds
  {
    auto drive = std::make_unique<CDDrive>(aspi ? ' ' : 'D', 0, 0, 0);
    if (drive->OpenStatus() == kOpenOk) {
      if (drive->Description.size() < 9 + 28) Finding("description " + drive->Description);
      CheckTexts(*drive);
      Commands(*drive, buffer.data());
    }
    // The program's list keeps a drive whose request never ended; this layer ends with
    // the input and never writes late, so the drive may go.
  }
  cddrive::ResetModule();
  InstallToolkit(nullptr);
  InstallPlatform(nullptr);
  in = nullptr;
  return 0;
}
