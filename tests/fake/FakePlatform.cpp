#include "tests/fake/FakePlatform.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/ScsiPassThrough.h"
#include "platform/WinConstants.h"

namespace {

// GetProcAddress hands out plain C functions; they reach the fake that is alive.
FakePlatform* current = nullptr;

constexpr win::UINT kDriveFixed = 3;

constexpr win::UINT kDriveNoRootDir = 1;

// Windows' rule for a string into a caller's buffer: the length written, or the size
// needed when it does not fit.
win::DWORD CopyOut(const std::string& text, char* buffer, win::DWORD size) {
  if (!buffer || text.size() + 1 > size) return static_cast<win::DWORD>(text.size() + 1);
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<win::DWORD>(text.size());
}

}  // namespace

FakePlatform::FakePlatform() : previous_(current) {
  current = this;
  aspi.SetAsynchronous(false);
  aspi.SetSignal(&FakePlatform::Signal, this);
  messages = {
      {0, "The operation completed successfully.\r\n"},
      {kErrorFileNotFound, "The system cannot find the file specified.\r\n"},
      {kErrorAccessDenied, "Access is denied.\r\n"},
      {kErrorInvalidHandle, "The handle is invalid.\r\n"},
      {kErrorSemTimeout, "The semaphore timeout period has expired.\r\n"},
      {kErrorIoDevice, "The request could not be performed because of an I/O device error.\r\n"},
  };
}

FakePlatform::~FakePlatform() {
  aspi.WaitIdle();
  aspi.SetSignal(nullptr, nullptr);
  if (current == this) current = previous_;
}

int FakePlatform::AddDrive(const emu::DriveConfig& config) {
  driveTypes[config.letter] = win::DRIVE_CDROM;
  addedLetters_ += config.letter;
  return bus.AddDrive(config);
}

std::string FakePlatform::RootsText() const {
  std::string letters = rootLetters ? *rootLetters : "C" + addedLetters_;
  std::string text;
  for (char letter : letters) text += std::string{letter, ':', '\\', '\0'};
  return text;
}

int FakePlatform::EventsOpen() const {
  std::lock_guard<emu::Mutex> lock(mutex_);
  return eventsCreated - eventsClosed;
}

win::HMODULE FakePlatform::LibraryHandle() {
  static int library;
  return &library;
}

win::HANDLE FakePlatform::NewObject(const Object& object) {
  std::lock_guard<emu::Mutex> lock(mutex_);
  nextHandle_ += 4;
  auto handle = reinterpret_cast<win::HANDLE>(nextHandle_);
  objects_[handle] = object;
  return handle;
}

FakePlatform::Object* FakePlatform::Find(win::HANDLE handle) {
  auto found = objects_.find(handle);
  return found == objects_.end() || found->second.closed ? nullptr : &found->second;
}

win::BOOL FakePlatform::GetVersionExA(win::OSVERSIONINFOA* info) {
  versionSizes.push_back(info->dwOSVersionInfoSize);
  bool nt = platformId == win::VER_PLATFORM_WIN32_NT;
  info->dwMajorVersion = nt ? 5 : 4;
  info->dwMinorVersion = nt ? 1 : 10;
  info->dwBuildNumber = nt ? 2600 : 2222;
  info->dwPlatformId = platformId;
  return 1;
}

win::HANDLE FakePlatform::CreateFileA(const char* path, win::DWORD access, win::DWORD share,
                                      void* security, win::DWORD disposition, win::DWORD flags,
                                      win::HANDLE templateFile) {
  opens.push_back(
      {path, access, share, disposition, flags, security != nullptr, templateFile != nullptr});
  if (!IsDevicePath(path)) return OpenFile(path, access, disposition);
  auto refused = openErrors.find(path[4]);
  if (refused != openErrors.end()) {
    lastError = refused->second;
    return win::InvalidHandleValue();
  }
  ++handlesOpened;
  Object object{Object::Kind::Device};
  object.letter = path[4];
  return NewObject(object);
}

win::BOOL FakePlatform::DeviceIoControl(win::HANDLE device, win::DWORD code, void* in,
                                        win::DWORD inSize, void* out, win::DWORD outSize,
                                        win::DWORD* returned, void* overlapped) {
  IoctlRecord record{
      device, code, inSize, outSize, in == out, returned != nullptr, overlapped != nullptr, {}};
  if (in)
    record.request.assign(static_cast<std::uint8_t*>(in), static_cast<std::uint8_t*>(in) + inSize);
  ioctls.push_back(record);
  if (returned) *returned = 0;
  char letter;
  {
    std::lock_guard<emu::Mutex> lock(mutex_);
    Object* object = Find(device);
    if (!object || object->kind != Object::Kind::Device) {
      lastError = kErrorInvalidHandle;
      return 0;
    }
    letter = object->letter;
  }
  if (code != win::IOCTL_SCSI_PASS_THROUGH_DIRECT || !in || in != out ||
      inSize < sizeof(SCSI_PASS_THROUGH_DIRECT)) {
    lastError = kErrorInvalidFunction;
    return 0;
  }
  win::BOOL ok = PassThrough(letter, out, outSize);
  if (ok && returned) *returned = outSize;
  return ok;
}

win::BOOL FakePlatform::PassThrough(char letter, void* record, win::DWORD outSize) {
  auto& sptd = *static_cast<SCSI_PASS_THROUGH_DIRECT*>(record);
  // The port driver refuses a buffer that breaks the adapter's alignment mask.
  if (sptd.DataTransferLength != 0 &&
      (reinterpret_cast<std::uintptr_t>(sptd.DataBuffer) & alignmentMask) != 0) {
    lastError = kErrorInvalidParameter;
    return 0;
  }
  int drive = bus.FindByLetter(letter);
  if (drive < 0) {
    lastError = noDriveError;
    return 0;
  }
  emu::Result result =
      bus.Execute(drive, sptd.Cdb, sptd.DataIn == win::SCSI_IOCTL_DATA_IN,
                  static_cast<std::uint8_t*>(sptd.DataBuffer), sptd.DataTransferLength);
  switch (result.outcome) {
    case emu::Outcome::TransportFailure:
      lastError = transportFailureError;
      return 0;
    case emu::Outcome::NeverCompletes:
      // The system gives up after TimeOutValue seconds.
      clockMs += std::uint64_t{sptd.TimeOutValue} * 1000;
      lastError = neverCompletesError;
      return 0;
    case emu::Outcome::CheckCondition: {
      std::size_t room = outSize > sptd.SenseInfoOffset ? outSize - sptd.SenseInfoOffset : 0;
      std::size_t length = std::min<std::size_t>({sptd.SenseInfoLength, room, 18});
      std::memcpy(static_cast<std::uint8_t*>(record) + sptd.SenseInfoOffset, result.senseData,
                  length);
      break;
    }
    case emu::Outcome::BadStatus:
    case emu::Outcome::Good:
      break;
  }
  // As the port driver does: the record says how much the data phase moved, as far as
  // the transport tells.
  sptd.DataTransferLength = result.reported;
  sptd.ScsiStatus = result.scsiStatus;
  return 1;
}

win::BOOL FakePlatform::CloseHandle(win::HANDLE handle) {
  std::lock_guard<emu::Mutex> lock(mutex_);
  Object* object = Find(handle);
  if (!object) {
    lastError = kErrorInvalidHandle;
    return 0;
  }
  object->closed = true;
  if (object->kind == Object::Kind::File) {
    ++filesClosed;
    return close(object->fd) == 0;
  }
  if (object->kind == Object::Kind::Device) {
    ++handlesClosed;
    closedDevices.push_back(handle);
  } else {
    ++eventsClosed;
    callLog.push_back("close");
    // The signal still on its way lands on a closed handle.
    if (DeliverDeferred(handle)) {
      ++signals;
      ++lateSignals;
    }
  }
  return 1;
}

win::HMODULE FakePlatform::LoadLibraryA(const char* name) {
  libraryNames.push_back(name);
  if (libraryMissing) {
    lastError = kErrorModNotFound;
    return failedLibraryHandle;
  }
  ++librariesLoaded;
  return LibraryHandle();
}

win::FARPROC FakePlatform::GetProcAddress(win::HMODULE module, const char* name) {
  std::string entry = name;
  if (module != LibraryHandle() || missingEntryPoints.count(entry)) {
    lastError = kErrorProcNotFound;
    return nullptr;
  }
  if (entry == "GetASPI32SupportInfo") {
    return reinterpret_cast<win::FARPROC>(&FakePlatform::CallSupportInfo);
  }
  if (entry == "SendASPI32Command") {
    return reinterpret_cast<win::FARPROC>(&FakePlatform::CallSendCommand);
  }
  lastError = kErrorProcNotFound;
  return nullptr;
}

win::BOOL FakePlatform::FreeLibrary(win::HMODULE module) {
  if (module != LibraryHandle() || librariesFreed >= librariesLoaded) {
    lastError = kErrorInvalidHandle;
    return 0;
  }
  ++librariesFreed;
  return 1;
}

win::DWORD FakePlatform::CallSupportInfo() {
  ++current->supportInfoCalls;
  if (current->supportInfo) return *current->supportInfo;
  return current->aspi.GetASPI32SupportInfo();
}

win::DWORD FakePlatform::CallSendCommand(void* srb) {
  ++current->aspiCommands;
  auto* bytes = static_cast<std::uint8_t*>(srb);
  bool abort = bytes[0] == aspi::SC_ABORT_SRB;
  std::size_t size = abort ? sizeof(aspi::SRB_Abort) : sizeof(aspi::SRB_ExecSCSICmd);
  current->aspiRequests.emplace_back(bytes, bytes + size);
  {
    std::lock_guard<emu::Mutex> lock(current->mutex_);
    current->callLog.push_back(abort ? "abort" : "send");
  }
  win::DWORD answer = current->aspi.SendASPI32Command(srb);
  if (!abort && current->rewriteAnswer) {
    current->rewriteAnswer(*static_cast<aspi::SRB_ExecSCSICmd*>(srb));
  }
  return current->aspiAnswersPending && !abort ? aspi::SS_PENDING : answer;
}

bool FakePlatform::DeliverDeferred(win::HANDLE event) {
  auto found = std::find(deferredSignals_.begin(), deferredSignals_.end(), event);
  if (found == deferredSignals_.end()) return false;
  deferredSignals_.erase(found);
  return true;
}

// Called by the layer with its own lock held, possibly on its worker thread.
void FakePlatform::Signal(void* context, void* event) {
  auto* fake = static_cast<FakePlatform*>(context);
  std::lock_guard<emu::Mutex> lock(fake->mutex_);
  if (fake->deferSignals) {
    fake->deferredSignals_.push_back(event);
    return;
  }
  ++fake->signals;
  Object* object = fake->Find(event);
  if (!object || object->kind != Object::Kind::Event) {
    ++fake->lateSignals;
    return;
  }
  object->signalled = true;
  fake->signalled_.notify_all();
}

win::HANDLE FakePlatform::CreateEventA(void*, win::BOOL manualReset, win::BOOL initialState,
                                       const char*) {
  if (failEventCreation) {
    lastError = 8;  // ERROR_NOT_ENOUGH_MEMORY
    return nullptr;
  }
  Object object{Object::Kind::Event};
  object.manualReset = manualReset != 0;
  object.signalled = initialState != 0;
  win::HANDLE handle = NewObject(object);
  std::lock_guard<emu::Mutex> lock(mutex_);
  ++eventsCreated;
  callLog.push_back("create");
  return handle;
}

win::DWORD FakePlatform::WaitForSingleObject(win::HANDLE handle, win::DWORD milliseconds) {
  std::unique_lock<emu::Mutex> lock(mutex_);
  waitRequests.push_back(milliseconds);
  callLog.push_back("wait");
  Object* object = Find(handle);
  if (!object || object->kind != Object::Kind::Event) {
    lastError = kErrorInvalidHandle;
    return kWaitFailed;
  }
  if (DeliverDeferred(handle)) {
    ++signals;
    object->signalled = true;
  }
  if (strayWakes > 0) {
    --strayWakes;
    return win::WAIT_OBJECT_0;
  }
  auto real = std::chrono::milliseconds(std::min(milliseconds, waitCapMs));
  bool ready = signalled_.wait_for(lock, real, [&] {
    Object* waited = Find(handle);
    return waited && waited->signalled;
  });
  if (!ready) {
    clockMs += milliseconds;
    return win::WAIT_TIMEOUT;
  }
  if (!object->manualReset) object->signalled = false;
  return win::WAIT_OBJECT_0;
}

win::BOOL FakePlatform::ResetEvent(win::HANDLE handle) {
  std::lock_guard<emu::Mutex> lock(mutex_);
  Object* object = Find(handle);
  if (!object || object->kind != Object::Kind::Event) {
    lastError = kErrorInvalidHandle;
    return 0;
  }
  object->signalled = false;
  ++resets;
  callLog.push_back("reset");
  return 1;
}

win::DWORD FakePlatform::GetTickCount() {
  return static_cast<win::DWORD>(clockMs);
}

win::DWORD FakePlatform::GetLogicalDriveStringsA(win::DWORD length, char* buffer) {
  rootBufferLengths.push_back(length);
  std::string roots = RootsText();
  // Too small: nothing is filled in, and the answer is the size needed.
  if (!buffer || roots.size() + 1 > length) {
    for (win::DWORD at = 0; buffer && scribbleTooSmallBuffer && at + 4 < length; at += 4) {
      std::memcpy(buffer + at, "Q:\\", 4);
    }
    return static_cast<win::DWORD>(roots.size() + 1);
  }
  std::memcpy(buffer, roots.data(), roots.size());
  buffer[roots.size()] = '\0';
  return static_cast<win::DWORD>(roots.size());
}

win::UINT FakePlatform::GetDriveTypeA(const char* root) {
  if (!root || !root[0] || std::strcmp(root + 1, ":\\") != 0) return kDriveNoRootDir;
  auto type = driveTypes.find(root[0]);
  return type == driveTypes.end() ? kDriveFixed : type->second;
}

win::DWORD FakePlatform::GetLastError() {
  return lastError;
}

win::DWORD FakePlatform::FormatMessageA(win::DWORD flags, const void* source, win::DWORD messageId,
                                        win::DWORD languageId, char* buffer, win::DWORD size,
                                        void* arguments) {
  formats.push_back({flags, messageId, languageId, size, source != nullptr, arguments != nullptr});
  auto text = messages.find(messageId);
  if (!(flags & win::FORMAT_MESSAGE_FROM_SYSTEM) || text == messages.end()) {
    lastError = 317;  // ERROR_MR_MID_NOT_FOUND
    return 0;
  }
  if (!buffer || text->second.size() + 1 > size) {
    lastError = kErrorInsufficientBuffer;
    return 0;
  }
  return CopyOut(text->second, buffer, size);
}

win::DWORD FakePlatform::GetModuleFileNameA(win::HMODULE, char* buffer, win::DWORD size) {
  if (!buffer || size == 0) return 0;
  // Cut to the buffer, terminated, and the buffer's size returned, as Windows does.
  if (modulePath.size() + 1 > size) {
    std::memcpy(buffer, modulePath.data(), size - 1);
    buffer[size - 1] = '\0';
    lastError = kErrorInsufficientBuffer;
    return size;
  }
  return CopyOut(modulePath, buffer, size);
}

win::DWORD FakePlatform::GetCurrentDirectoryA(win::DWORD size, char* buffer) {
  return CopyOut(currentDirectory, buffer, size);
}

void FakePlatform::Sleep(win::DWORD milliseconds) {
  sleeps.push_back(milliseconds);
  sleptMs += milliseconds;
  clockMs += milliseconds;
}

bool FakePlatform::EnableShutdownPrivilege() {
  ++privilegeRequests;
  return shutdownPrivilege;
}

win::BOOL FakePlatform::ExitWindowsEx(win::UINT flags, win::DWORD reason) {
  exitRequests.emplace_back(flags, reason);
  return exitWindowsResult;
}
