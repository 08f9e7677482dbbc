#include "drive/Cddrive.h"
#include "drive/TransferBuffer.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/Platform.h"
#include "platform/WinConstants.h"
#include "toolkit/Toolkit.h"

namespace {

constexpr const char* kAspiLibraryName = "WNASPI32.DLL";
constexpr const char* kAspiVendorAddress = "http://www.adaptec.com";
constexpr std::uint16_t kDefaultTimeout = 60;
// How long an aborted request may take to end, and the steps in which it is watched.
constexpr win::DWORD kAbortGraceMs = 5000;
constexpr win::DWORD kAbortPollMs = 100;
constexpr std::uint8_t kHostUnderrun = 0x12;  // SRB_HaStat: data overrun or underrun
constexpr win::DWORD kFormatFlags =
    win::FORMAT_MESSAGE_FROM_SYSTEM | win::FORMAT_MESSAGE_IGNORE_INSERTS;

// One copy for the whole program, shared by every drive object.
struct Module {
  bool passThrough = false;
  bool errorDisplay = false;
  bool identifying = false;
  std::uint16_t openCount = 0;
  std::uint16_t timeout = kDefaultTimeout;
  std::uint8_t openStatus = kOpenFailed;
  win::HMODULE library = nullptr;
  aspi::SendASPI32CommandFn sendCommand = nullptr;
  std::string messageText;
  std::uint8_t* dataBuffer = nullptr;
  std::uint32_t dataBufferLength = 0;
  // An adapter may refuse a data buffer that breaks its alignment mask.
  alignas(kTransferAlignment) std::uint8_t identification[kIdentificationBufferSize] = {};
  alignas(kTransferAlignment) std::uint8_t internalBuffer[kInternalDataBufferSize] = {};
  bool missingLibraryShown = false;
  // What requests that never ended still hold: kept here for the rest of the run.
  std::vector<const void*> heldBuffers;
  std::vector<CDDrive*> stuckDrives;
  std::vector<win::HANDLE> keptEvents;
};

Module M;

bool IsLoaded(win::HMODULE library) {
  // Handle values below 32 are error codes on the platforms this layer comes from.
  return reinterpret_cast<std::intptr_t>(library) >= 32;
}

// The ASPI layer may complete a request on its own thread.
std::uint8_t SrbStatus(const aspi::SRB_ExecSCSICmd& request) {
  return *static_cast<const volatile std::uint8_t*>(&request.SRB_Status);
}

void InstallInternalBuffer() {
  M.dataBuffer = M.internalBuffer;
  M.dataBufferLength = kInternalDataBufferSize;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// Once per run: the drive scan probes up to 40 addresses, each of which would say it.
void ShowMissingLibrary() {
  M.messageText = std::string("Unable to load WNASPI32.DLL !\nYou can down the DLL from ") +
                  kAspiVendorAddress + "\n and copy the DLL to system directory.\n\n";
  if (M.missingLibraryShown) return;
  M.missingLibraryShown = true;
  Tk().MessageDialog(M.messageText, DialogKind::Error, DialogButtons::Ok);
}

bool Held(const void* buffer) {
  for (const void* held : M.heldBuffers)
    if (held == buffer) return true;
  return false;
}

// Ends a failed ASPI load: the library goes, and with it the command entry.
bool DropAspiLayer(win::HMODULE library, std::uint8_t status) {
  Os().FreeLibrary(library);
  M.openStatus = status;
  return false;
}

}  // namespace

CDDrive::CDDrive(std::uint8_t driveLetter, std::uint8_t hostAdapter, std::uint8_t targetId,
                 std::uint8_t lun) {
  Description.clear();
  if (M.openCount == 0) {
    win::OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    Os().GetVersionExA(&version);
    M.passThrough = version.dwPlatformId == win::VER_PLATFORM_WIN32_NT;
    if (!M.passThrough && !LoadAspiLayer()) return;
    InstallInternalBuffer();
  }
  AccessMode = win::GENERIC_READ | win::GENERIC_WRITE;
  ShareMode = win::FILE_SHARE_READ;
  DeviceHandle = nullptr;
  DriveLetter = static_cast<char>(driveLetter);
  HostAdapter = hostAdapter;
  TargetId = targetId;
  Lun = lun;
  if (OpenDevice()) {
    M.openStatus = kOpenOk;
    Counted = true;
    ++M.openCount;
  } else {
    M.openStatus = kOpenFailed;
  }
}

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

CDDrive::~CDDrive() {
  // Only an object that entered the open count leaves it: a failed probe must not take a
  // count from an open drive, nor free the library under it.
  if (M.passThrough) {
    if (DeviceHandle) {
      Os().CloseHandle(DeviceHandle);
      DeviceHandle = nullptr;
      if (Counted && M.openCount > 0) --M.openCount;
    }
  } else if (Counted) {
    // A layer that still owns a request must stay loaded.
    if (IsLoaded(M.library) && M.openCount == 0 && M.stuckDrives.empty()) {
      Os().FreeLibrary(M.library);
      M.library = nullptr;
      M.sendCommand = nullptr;
    } else if (M.openCount > 0) {
      --M.openCount;
    }
  }
  Counted = false;
}

bool CDDrive::OpenDevice() {
  if (M.passThrough) {
    char path[] = "\\\\.\\?:";
    path[4] = DriveLetter;
    win::HANDLE handle =
        Os().CreateFileA(path, AccessMode, ShareMode, nullptr, win::OPEN_EXISTING, 0, nullptr);
    if (handle == win::InvalidHandleValue()) {
      DeviceHandle = nullptr;
      LastOsError = Os().GetLastError();
      M.messageText = Format("Error opening: %d, Drive: %s", static_cast<int>(LastOsError), path);
      Tk().ShowMessage(M.messageText);
      M.errorDisplay = true;
      ReportSenseError();
      return false;
    }
    DeviceHandle = handle;
  }
  if (Identify()) return true;
  if (M.passThrough && DeviceHandle) {
    Os().CloseHandle(DeviceHandle);
    DeviceHandle = nullptr;
  }
  return false;
}

// Judged by the data, whatever the transport said of the length: a normal short answer
// may come back as an underrun, and a transport may not say how much moved at all.
bool CDDrive::Identify() {
  // Nothing a drive identifies itself with, so no byte of an earlier answer survives.
  std::memset(M.identification, kNoIdentification, sizeof M.identification);
  M.identifying = true;
  ExecuteCommand(0x12, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 1, 128);
  M.identifying = false;
  const std::uint8_t* data = M.identification;
  bool arrived = data[4] + 5u >= kInquiryDataNeeded &&
                 std::find(data + 8, data + kInquiryDataNeeded, kNoIdentification) ==
                     data + kInquiryDataNeeded;
  if (!LastCommandCompleted(0) || !arrived) {
    Description.clear();
    return false;
  }
  Description = Format("%d-%d-%d %c: %28.28s", HostAdapter, TargetId, Lun, DriveLetter,
                       reinterpret_cast<const char*>(M.identification + 8));
  return true;
}

std::string CDDrive::GetDescription() {
  return Identify() ? Description : std::string();
}

std::size_t CDDrive::DescriptionPrefixLength() const {
  std::size_t colon = Description.find(": ");
  return colon == std::string::npos ? Description.size() : colon + 2;
}

std::string CDDrive::GetVendorProduct() const {
  std::size_t prefix = DescriptionPrefixLength();
  return Format("%24.24s", Description.c_str() + prefix);
}

std::string CDDrive::GetRevision() const {
  std::size_t start = DescriptionPrefixLength() + 24;
  if (start > Description.size()) start = Description.size();
  return Format("%4.4s", Description.c_str() + start);
}

std::uint32_t CDDrive::ExecuteCommand(std::uint8_t cdb0, std::uint8_t cdb1, std::uint8_t cdb2,
                                      std::uint8_t cdb3, std::uint8_t cdb4, std::uint8_t cdb5,
                                      std::uint8_t cdb6, std::uint8_t cdb7, std::uint8_t cdb8,
                                      std::uint8_t cdb9, std::uint8_t cdb10, std::uint8_t cdb11,
                                      std::uint8_t dataIn, std::uint32_t transferLength) {
  const std::uint8_t cdb[12] = {cdb0, cdb1, cdb2, cdb3, cdb4,  cdb5,
                                cdb6, cdb7, cdb8, cdb9, cdb10, cdb11};
  if (RefuseOversizedTransfer(transferLength) || RefuseBehindStuckRequest(transferLength)) return 0;
  return M.passThrough ? ExecutePassThrough(cdb, dataIn, transferLength)
                       : ExecuteAspi(cdb, dataIn, transferLength);
}

std::uint8_t* CDDrive::PhaseBuffer() const {
  return M.identifying ? M.identification : M.dataBuffer;
}

// Nothing reaches the drive, so there is no sense and no drive status.
void CDDrive::NothingSent(std::uint8_t status, win::DWORD osError) {
  SenseKeyByte = SenseAsc = SenseAscq = 0;
  StatusByte = status;
  IoctlOk = false;
  LastOsError = osError;
  TransportCompleted = false;
  BytesMoved = 0;
}

bool CDDrive::RefuseOversizedTransfer(std::uint32_t transferLength) {
  std::uint32_t room = M.identifying ? kIdentificationBufferSize : M.dataBufferLength;
  if (!M.dataBuffer && !M.identifying) room = 0;
  bool noTransport = !M.passThrough && !M.sendCommand;
  if (transferLength <= room && !noTransport) return false;
  NothingSent(kStatusBufferTooBig, 0);
  return true;
}

// A request the layer never let go of may still write its record and its buffer.
bool CDDrive::RefuseBehindStuckRequest(std::uint32_t transferLength) {
  if (!RequestStuck && !(transferLength > 0 && Held(PhaseBuffer()))) return false;
  NothingSent(kStatusRequestStuck, 0);
  ReportSenseError();
  return true;
}

std::uint32_t CDDrive::ExecutePassThrough(const std::uint8_t cdb[12], std::uint8_t dataIn,
                                          std::uint32_t transferLength) {
  std::memset(&PassThroughRequest, 0, sizeof PassThroughRequest);
  SCSI_PASS_THROUGH_DIRECT& sptd = PassThroughRequest.Sptd;
  sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
  sptd.PathId = HostAdapter;
  sptd.TargetId = TargetId;
  sptd.Lun = Lun;
  sptd.CdbLength = 12;
  sptd.SenseInfoLength = 24;
  sptd.DataIn = dataIn == 1 ? win::SCSI_IOCTL_DATA_IN : win::SCSI_IOCTL_DATA_OUT;
  sptd.DataTransferLength = transferLength;
  sptd.TimeOutValue = M.timeout;
  sptd.DataBuffer = PhaseBuffer();
  sptd.SenseInfoOffset = offsetof(::PassThroughRequest, Sense);
  std::memcpy(sptd.Cdb, cdb, 12);

  win::BOOL ok =
      Os().DeviceIoControl(DeviceHandle, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &PassThroughRequest,
                           sizeof PassThroughRequest, &PassThroughRequest,
                           sizeof PassThroughRequest, &BytesReturned, nullptr);
  IoctlOk = ok != 0;
  LastOsError = IoctlOk ? 0 : Os().GetLastError();
  StatusByte = sptd.ScsiStatus;
  TransportCompleted = IoctlOk && StatusByte == 0;
  BytesMoved = TransportCompleted ? std::min(sptd.DataTransferLength, transferLength) : 0;
  SenseKeyByte = PassThroughRequest.Sense[2];
  SenseAsc = PassThroughRequest.Sense[12];
  SenseAscq = PassThroughRequest.Sense[13];
  if (TransportCompleted && SenseKeyByte == 0) return 1;
  ReportSenseError();
  return 0;
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

bool CDDrive::LastCommandCompleted(std::uint32_t needed) const {
  return TransportCompleted && SenseEquals(0, 0, 0) && BytesMoved >= needed;
}

bool CDDrive::SenseEquals(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) const {
  return SenseKeyByte == key && SenseAsc == asc && SenseAscq == ascq;
}

std::string CDDrive::GetStatusText() const {
  return Format("%02X %02X %02X. %02X, %04X", SenseKeyByte, SenseAsc, SenseAscq, StatusByte,
                static_cast<unsigned>(LastOsError));
}

// LastOsError is the error of the call that failed, taken right after it (0 when none
// did): the thread's last error is stale after a call that succeeded.
void CDDrive::ReportSenseError() {
  if (!M.errorDisplay) return;
  char text[80] = {};
  win::DWORD length =
      Os().FormatMessageA(kFormatFlags, nullptr, LastOsError, 0, text, sizeof text, nullptr);
  if (length != 0) {
    text[sizeof text - 1] = '\0';
    M.messageText = Format("SenseCode: %02X %02X %02X, %02X, Error: %d, %s", SenseKeyByte, SenseAsc,
                           SenseAscq, StatusByte, static_cast<int>(LastOsError), text);
  } else {
    M.messageText =
        Format("SenseCode: %02X %02X %02X, %02X, Error: %d, Format message failed.", SenseKeyByte,
               SenseAsc, SenseAscq, StatusByte, static_cast<int>(LastOsError));
  }
  Tk().ShowMessage(M.messageText);
}

void CDDrive::SetTimeout(std::uint16_t seconds) {
  M.timeout = seconds;
}

std::uint8_t CDDrive::OpenStatus() const {
  return M.openStatus;
}

std::uint8_t* CDDrive::GetDataBuffer() const {
  return M.dataBuffer;
}

void CDDrive::SetDataBuffer(std::uint8_t* buffer, std::uint32_t length) {
  if (!buffer) {
    InstallInternalBuffer();
    return;
  }
  M.dataBuffer = buffer;
  M.dataBufferLength = length;
}

std::uint32_t CDDrive::GetDataBufferLength() const {
  return M.dataBufferLength;
}

// The allocation's own address sits just before the aligned block.
TransferBuffer NewTransferBuffer(std::uint32_t size) {
  auto* raw = new std::uint8_t[size + kTransferAlignment + sizeof(std::uint8_t*)]();
  std::uintptr_t at = reinterpret_cast<std::uintptr_t>(raw) + sizeof raw;
  at = (at + kTransferAlignment - 1) & ~std::uintptr_t{kTransferAlignment - 1};
  auto* aligned = reinterpret_cast<std::uint8_t*>(at);
  std::memcpy(aligned - sizeof raw, &raw, sizeof raw);
  return TransferBuffer(aligned);
}

void FreeTransferBuffer::operator()(std::uint8_t* buffer) const {
  if (!buffer) return;
  std::uint8_t* raw = nullptr;
  std::memcpy(&raw, buffer - sizeof raw, sizeof raw);
  delete[] raw;
}

namespace cddrive {

bool PassThroughBackEnd() {
  return M.passThrough;
}
bool ErrorDisplay() {
  return M.errorDisplay;
}
std::uint16_t OpenCount() {
  return M.openCount;
}
std::uint16_t Timeout() {
  return M.timeout;
}
win::HMODULE AspiLibrary() {
  return M.library;
}
const std::uint8_t* IdentificationBuffer() {
  return M.identification;
}
const std::string& MessageText() {
  return M.messageText;
}
bool BufferHeld(const void* buffer) {
  return Held(buffer);
}

void ResetModule() {
  if (IsLoaded(M.library)) Os().FreeLibrary(M.library);
  M.passThrough = false;
  M.errorDisplay = false;
  M.identifying = false;
  M.openCount = 0;
  M.timeout = kDefaultTimeout;
  M.openStatus = kOpenFailed;
  M.library = nullptr;
  M.sendCommand = nullptr;
  M.messageText.clear();
  M.dataBuffer = nullptr;
  M.dataBufferLength = 0;
  M.missingLibraryShown = false;
  // Out of sight but still reachable, at exit too: what a stuck request held was never
  // freed.
  static auto* forgotten = new std::vector<const void*>();
  forgotten->insert(forgotten->end(), M.heldBuffers.begin(), M.heldBuffers.end());
  forgotten->insert(forgotten->end(), M.stuckDrives.begin(), M.stuckDrives.end());
  M.heldBuffers.clear();
  M.stuckDrives.clear();
  M.keptEvents.clear();
}

}  // namespace cddrive
