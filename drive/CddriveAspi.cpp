// CDDrive over an ASPI for Win32 layer (outside the NT family): loading it, one request
// per command with its event, the wait, and the abort of a request that does not end.
#include <cstring>
#include <string>

#include "drive/Cddrive.h"
#include "drive/CddriveModule.h"
#include "platform/Platform.h"
#include "platform/WinConstants.h"
#include "toolkit/Toolkit.h"

using namespace cddrive::detail;

namespace {

constexpr const char* kAspiLibraryName = "WNASPI32.DLL";
constexpr const char* kAspiVendorAddress = "http://www.adaptec.com";
// How long an aborted request may take to end, and the steps in which it is watched.
constexpr win::DWORD kAbortGraceMs = 5000;
constexpr win::DWORD kAbortPollMs = 100;
constexpr std::uint8_t kHostUnderrun = 0x12;  // SRB_HaStat: data overrun or underrun

// The ASPI layer may complete a request on its own thread.
std::uint8_t SrbStatus(const aspi::SRB_ExecSCSICmd& request) {
  return *static_cast<const volatile std::uint8_t*>(&request.SRB_Status);
}

// Once per run: the drive scan probes up to 40 addresses, each of which would say it.
void ShowMissingLibrary() {
  M.messageText = std::string("Unable to load WNASPI32.DLL !\nYou can down the DLL from ") +
                  kAspiVendorAddress + "\n and copy the DLL to system directory.\n\n";
  if (M.missingLibraryShown) return;
  M.missingLibraryShown = true;
  Tk().MessageDialog(M.messageText, DialogKind::Error, DialogButtons::Ok);
}

// Ends a failed ASPI load: the library goes, and with it the command entry.
bool DropAspiLayer(win::HMODULE library, std::uint8_t status) {
  Os().FreeLibrary(library);
  M.openStatus = status;
  return false;
}

}  // namespace

bool CDDrive::LoadAspiLayer() {
  win::HMODULE previous = M.library;
  M.library = nullptr;
  M.sendCommand = nullptr;
  win::HMODULE library = Os().LoadLibraryA(kAspiLibraryName);
  // A reload at open count 0 takes a new reference; the old one is given back after it,
  // so the layer stays mapped and keeps its state.
  if (IsLoaded(previous)) Os().FreeLibrary(previous);
  if (!IsLoaded(library)) {
    ShowMissingLibrary();
    M.openStatus = kOpenAspiNotLoaded;
    return false;
  }
  auto supportInfo = reinterpret_cast<aspi::GetASPI32SupportInfoFn>(
      Os().GetProcAddress(library, "GetASPI32SupportInfo"));
  if (!supportInfo) return DropAspiLayer(library, kOpenAspiEntryMissing);
  if (((supportInfo() >> 8) & 0xFF) != aspi::SS_COMP) {
    return DropAspiLayer(library, kOpenAspiNotReady);
  }
  auto sendCommand = reinterpret_cast<aspi::SendASPI32CommandFn>(
      Os().GetProcAddress(library, "SendASPI32Command"));
  if (!sendCommand) return DropAspiLayer(library, kOpenAspiEntryMissing);
  M.library = library;
  M.sendCommand = sendCommand;
  return true;
}

std::uint32_t CDDrive::ExecuteAspi(const std::uint8_t cdb[12], std::uint8_t dataIn,
                                   std::uint32_t transferLength) {
  win::HANDLE event = Os().CreateEventA(nullptr, 0, 0, nullptr);
  if (!event) {
    NothingSent(aspi::SS_PENDING, Os().GetLastError());
    ReportSenseError();
    return 0;
  }
  std::memset(&AspiRequest, 0, sizeof AspiRequest);
  AspiRequest.SRB_Cmd = aspi::SC_EXEC_SCSI_CMD;
  AspiRequest.SRB_HaId = HostAdapter;
  AspiRequest.SRB_Flags =
      (dataIn == 1 ? aspi::SRB_DIR_IN : aspi::SRB_DIR_OUT) | aspi::SRB_EVENT_NOTIFY;
  AspiRequest.SRB_Target = TargetId;
  AspiRequest.SRB_Lun = 0;
  AspiRequest.SRB_BufLen = transferLength;
  AspiRequest.SRB_BufPointer = PhaseBuffer();
  AspiRequest.SRB_SenseLen = aspi::SENSE_LEN;
  AspiRequest.SRB_CDBLen = 12;
  AspiRequest.SRB_PostProc = event;
  std::memcpy(AspiRequest.CDBByte, cdb, 12);

  LastOsError = 0;
  // Only the answer of the call says whether a signal is to come: the request's status
  // may change before the layer signals.
  AspiEnd end =
      M.sendCommand(&AspiRequest) == aspi::SS_PENDING ? WaitForAspi(event) : AspiEnd::Ended;
  if (end == AspiEnd::Ended) {
    Os().CloseHandle(event);
  } else {
    // Open until the run ends: a late signal must never reach a handle value reused.
    M.keptEvents.push_back(event);
  }
  if (end == AspiEnd::Stuck) {
    RequestStuck = true;
    M.stuckDrives.push_back(this);
    if (transferLength > 0) M.heldBuffers.push_back(AspiRequest.SRB_BufPointer);
  }
  ReadAspiResult(transferLength);
  if (TransportCompleted && SenseKeyByte == 0) return transferLength;
  ReportSenseError();
  return 0;
}

// SS_COMP, or the layer's report of a short data phase from a drive that answered GOOD
// without sense: the command was done, but how much moved is not known.
void CDDrive::ReadAspiResult(std::uint32_t transferLength) {
  StatusByte = SrbStatus(AspiRequest);
  SenseKeyByte = AspiRequest.SenseArea[2];
  SenseAsc = AspiRequest.SenseArea[12];
  SenseAscq = AspiRequest.SenseArea[13];
  bool complete = StatusByte == aspi::SS_COMP;
  bool underrun = StatusByte == aspi::SS_ERR && AspiRequest.SRB_HaStat == kHostUnderrun &&
                  AspiRequest.SRB_TargStat == 0 && SenseEquals(0, 0, 0);
  TransportCompleted = complete || underrun;
  BytesMoved = complete ? transferLength : 0;
}

// A wake ends the wait only when the request ended: a signal meant for another request
// (one whose handle value this event now has) must not free this one's record and
// buffer while the layer still works on them.
CDDrive::AspiEnd CDDrive::WaitForAspi(win::HANDLE event) {
  const win::DWORD total = static_cast<win::DWORD>(M.timeout) * 1000;
  const win::DWORD start = Os().GetTickCount();
  for (;;) {
    const win::DWORD spent = Os().GetTickCount() - start;
    const win::DWORD left = spent < total ? total - spent : 0;
    const win::DWORD waited = Os().WaitForSingleObject(event, left);
    if (waited == win::WAIT_OBJECT_0 && SrbStatus(AspiRequest) != aspi::SS_PENDING) {
      Os().ResetEvent(event);
      return AspiEnd::Ended;
    }
    if (waited == win::WAIT_OBJECT_0 && left > 0) continue;
    if (waited != win::WAIT_OBJECT_0 && waited != win::WAIT_TIMEOUT)
      LastOsError = Os().GetLastError();
    return AbortAspi(event);
  }
}

// Timed out: the layer must let go of the request, its event and the data buffer before
// any of them is used again. An aborted request may still be signalled, so only a
// signal seen lets its event go.
CDDrive::AspiEnd CDDrive::AbortAspi(win::HANDLE event) {
  aspi::SRB_Abort abort = {};
  abort.SRB_Cmd = aspi::SC_ABORT_SRB;
  abort.SRB_HaId = HostAdapter;
  abort.SRB_ToAbort = &AspiRequest;
  M.sendCommand(&abort);
  for (win::DWORD waited = 0; waited < kAbortGraceMs; waited += kAbortPollMs) {
    if (SrbStatus(AspiRequest) == aspi::SS_ABORTED) return AspiEnd::EndedUnsignalled;
    if (Os().WaitForSingleObject(event, kAbortPollMs) == win::WAIT_OBJECT_0 &&
        SrbStatus(AspiRequest) != aspi::SS_PENDING) {
      Os().ResetEvent(event);
      return AspiEnd::Ended;
    }
  }
  return SrbStatus(AspiRequest) == aspi::SS_PENDING ? AspiEnd::Stuck : AspiEnd::EndedUnsignalled;
}
