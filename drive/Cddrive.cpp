// CDDrive: the drive object's life, its identification and the judgement of every
// answer (status, sense, bytes moved), with the texts and messages that report it. The
// transports are in CddriveTransport.cpp (pass-through) and CddriveAspi.cpp.
#include "drive/Cddrive.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "drive/CddriveModule.h"
#include "drive/TransferBuffer.h"
#include "platform/Platform.h"
#include "platform/WinConstants.h"
#include "toolkit/Toolkit.h"

using namespace cddrive::detail;

namespace cddrive::detail {

Module M;

bool IsLoaded(win::HMODULE library) {
  return reinterpret_cast<std::intptr_t>(library) >= 32;
}

bool Held(const void* buffer) {
  for (const void* held : M.heldBuffers)
    if (held == buffer) return true;
  return false;
}

}  // namespace cddrive::detail

namespace {

constexpr win::DWORD kFormatFlags =
    win::FORMAT_MESSAGE_FROM_SYSTEM | win::FORMAT_MESSAGE_IGNORE_INSERTS;

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
