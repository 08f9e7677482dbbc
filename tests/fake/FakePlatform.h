// A platform layer for tests: the Win32 calls answered by an in-process emulated bus,
// through the pass-through record or through an in-process ASPI layer, with every call
// recorded and every failure the program must handle available on request. Nothing
// sleeps for long and no real device is touched.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "emulator/AspiLayer.h"
#include "emulator/EmulatedBus.h"
#include "platform/Platform.h"

class FakePlatform : public Platform {
 public:
  // Windows error codes the fake reports.
  static constexpr win::DWORD kErrorInvalidFunction = 1;
  static constexpr win::DWORD kErrorFileNotFound = 2;
  static constexpr win::DWORD kErrorAccessDenied = 5;
  static constexpr win::DWORD kErrorInvalidHandle = 6;
  static constexpr win::DWORD kErrorInvalidParameter = 87;
  static constexpr win::DWORD kErrorSemTimeout = 121;
  static constexpr win::DWORD kErrorInsufficientBuffer = 122;
  static constexpr win::DWORD kErrorModNotFound = 126;
  static constexpr win::DWORD kErrorProcNotFound = 127;
  static constexpr win::DWORD kErrorIoDevice = 1117;
  static constexpr win::DWORD kWaitFailed = 0xFFFFFFFFu;

  // Starts as the NT family with no drive roots and a synchronous ASPI layer.
  FakePlatform();
  ~FakePlatform() override;
  FakePlatform(const FakePlatform&) = delete;
  FakePlatform& operator=(const FakePlatform&) = delete;

  emu::EmulatedBus bus;
  emu::AspiLayer aspi{bus};

  // A drive on the bus that is also a CD-ROM drive root at its letter.
  int AddDrive(const emu::DriveConfig& config);
  void UseNt() { platformId = 2; }
  void UseWin98() { platformId = 1; }
  void SetAsynchronousAspi(bool asynchronous) { aspi.SetAsynchronous(asynchronous); }

  // Version query.
  win::DWORD platformId = 2;
  std::vector<win::DWORD> versionSizes;  // dwOSVersionInfoSize of every query

  // Drive roots: letters in the order the system lists them; unset, "C" followed by the
  // letters of AddDrive. Types default to DRIVE_FIXED.
  std::optional<std::string> rootLetters;
  std::map<char, win::UINT> driveTypes;
  std::vector<win::DWORD> rootBufferLengths;  // length argument of every roots query
  // A buffer too small for the roots gets stale root texts, which nobody may read.
  bool scribbleTooSmallBuffer = false;
  std::string RootsText() const;  // the multi-string the system gives

  // Devices.
  struct OpenRecord {
    std::string path;
    win::DWORD access, share, disposition, flags;
    bool security, templateFile;  // true when passed non-null
  };
  std::vector<OpenRecord> opens;
  std::map<char, win::DWORD> openErrors;  // CreateFileA of this letter fails with the code
  win::DWORD noDriveError = kErrorInvalidFunction;  // pass-through to a letter without drive
  win::DWORD transportFailureError = kErrorIoDevice;
  win::DWORD neverCompletesError = kErrorSemTimeout;
  // The adapter's alignment mask: a data buffer with any of these address bits set is
  // refused (ERROR_INVALID_PARAMETER) before anything reaches the drive.
  std::uintptr_t alignmentMask = 15;
  struct IoctlRecord {
    win::HANDLE device;
    win::DWORD code, inSize, outSize;
    bool sameBuffer, returnedGiven, overlapped;
    std::vector<std::uint8_t> request;  // the record as the program handed it over
  };
  std::vector<IoctlRecord> ioctls;
  int handlesOpened = 0, handlesClosed = 0;
  std::vector<win::HANDLE> closedDevices;  // in the order they were closed

  // The ASPI library.
  bool libraryMissing = false;
  win::HMODULE failedLibraryHandle = nullptr;  // what a failed load returns
  std::set<std::string> missingEntryPoints;
  std::optional<win::DWORD> supportInfo;  // unset: the layer's own answer
  std::vector<std::string> libraryNames;  // every name LoadLibraryA was asked for
  int librariesLoaded = 0, librariesFreed = 0;
  int supportInfoCalls = 0, aspiCommands = 0;
  // Every request handed to SendASPI32Command, as the program filled it (the bytes of
  // an SRB_ExecSCSICmd, or of an SRB_Abort).
  std::vector<std::vector<std::uint8_t>> aspiRequests;
  static win::HMODULE LibraryHandle();

  // Events. A wait that nobody signals returns WAIT_TIMEOUT after at most waitCapMs of
  // real time; the requested time goes to the fake clock.
  win::DWORD waitCapMs = 1000;
  std::uint64_t clockMs = 0;
  std::vector<win::DWORD> waitRequests;  // milliseconds of every wait
  int eventsCreated = 0, eventsClosed = 0, resets = 0;
  int signals = 0, lateSignals = 0;  // signals of events that were closed or unknown
  bool failEventCreation = false;    // CreateEventA fails (ERROR_NOT_ENOUGH_MEMORY)
  // Waits that wake at once though nobody signalled their event, as a signal meant for an
  // earlier event of the same handle value would.
  int strayWakes = 0;
  // A layer that answers SS_PENDING though the request completed inside the call, and
  // that signals after setting the request's status: the signal reaches the event at the
  // host's next wait on it, or finds it closed.
  bool aspiAnswersPending = false;
  bool deferSignals = false;
  // Rewrites a request the layer completed inside the call, as a layer of its own would
  // have answered it.
  std::function<void(aspi::SRB_ExecSCSICmd&)> rewriteAnswer;
  int EventsOpen() const;
  // The order of the ASPI and event calls: "create", "send", "abort", "wait", "reset",
  // "close".
  std::vector<std::string> callLog;

  // Error texts: the table FormatMessageA answers from; ids without text fail.
  win::DWORD lastError = 0;
  std::map<win::DWORD, std::string> messages;
  struct FormatRecord {
    win::DWORD flags, id, language, size;
    bool source, arguments;
  };
  std::vector<FormatRecord> formats;

  // Files, the program's path and the current directory. Files are real files; a
  // relative path is taken from currentDirectory.
  int filesOpened = 0, filesClosed = 0;
  bool refuseCreate = false;               // CreateFileA with CREATE_ALWAYS or CREATE_NEW fails
  std::optional<std::uint64_t> writeRoom;  // bytes writable before WriteFile fails
  std::optional<win::DWORD> moveError;     // MoveFileExA fails with the code
  std::string unreadableFile;              // ReadFile of a file opened by this path fails
  std::string FilePath(const char* path) const;
  // "\\.\X:", a drive's volume; any other name is a file's.
  static bool IsDevicePath(const char* path);
  std::string modulePath = "C:\\KORVEL\\KFLASH.EXE";
  std::string currentDirectory = "C:\\KORVEL";

  // Sleep and restart: recorded, never done.
  std::uint64_t sleptMs = 0;
  std::vector<win::DWORD> sleeps;
  bool shutdownPrivilege = true;
  int privilegeRequests = 0;
  win::BOOL exitWindowsResult = 1;
  std::vector<std::pair<win::UINT, win::DWORD>> exitRequests;

  // Platform.
  win::BOOL GetVersionExA(win::OSVERSIONINFOA* info) override;
  win::HANDLE CreateFileA(const char* path, win::DWORD access, win::DWORD share, void* security,
                          win::DWORD disposition, win::DWORD flags,
                          win::HANDLE templateFile) override;
  win::BOOL DeviceIoControl(win::HANDLE device, win::DWORD code, void* in, win::DWORD inSize,
                            void* out, win::DWORD outSize, win::DWORD* returned,
                            void* overlapped) override;
  win::BOOL CloseHandle(win::HANDLE handle) override;
  win::BOOL ReadFile(win::HANDLE file, void* buffer, win::DWORD toRead, win::DWORD* read,
                     void* overlapped) override;
  win::BOOL WriteFile(win::HANDLE file, const void* buffer, win::DWORD toWrite, win::DWORD* written,
                      void* overlapped) override;
  win::DWORD SetFilePointer(win::HANDLE file, win::LONG distance, win::LONG* distanceHigh,
                            win::DWORD method) override;
  // From the file system's view of the file's path: its type, size and identity.
  win::DWORD GetFileType(win::HANDLE file) override;
  win::DWORD GetFileSize(win::HANDLE file, win::DWORD* high) override;
  win::BOOL GetFileInformationByHandle(win::HANDLE file,
                                       win::BY_HANDLE_FILE_INFORMATION* info) override;
  win::BOOL MoveFileExA(const char* existing, const char* newName, win::DWORD flags) override;
  win::BOOL DeleteFileA(const char* path) override;
  win::BOOL CopyPermissionBits(const char* from, const char* to) override;
  win::HMODULE LoadLibraryA(const char* name) override;
  win::FARPROC GetProcAddress(win::HMODULE module, const char* name) override;
  win::BOOL FreeLibrary(win::HMODULE module) override;
  win::HANDLE CreateEventA(void* security, win::BOOL manualReset, win::BOOL initialState,
                           const char* name) override;
  win::DWORD WaitForSingleObject(win::HANDLE handle, win::DWORD milliseconds) override;
  win::BOOL ResetEvent(win::HANDLE handle) override;
  win::DWORD GetTickCount() override;
  win::DWORD GetLogicalDriveStringsA(win::DWORD length, char* buffer) override;
  win::UINT GetDriveTypeA(const char* root) override;
  win::DWORD GetLastError() override;
  win::DWORD FormatMessageA(win::DWORD flags, const void* source, win::DWORD messageId,
                            win::DWORD languageId, char* buffer, win::DWORD size,
                            void* arguments) override;
  win::DWORD GetModuleFileNameA(win::HMODULE module, char* buffer, win::DWORD size) override;
  win::DWORD GetCurrentDirectoryA(win::DWORD size, char* buffer) override;
  win::DWORD GetFileAttributesA(const char* path) override;
  win::DWORD GetPrivateProfileStringA(const char* section, const char* key,
                                      const char* defaultValue, char* buffer, win::DWORD size,
                                      const char* fileName) override;
  void Sleep(win::DWORD milliseconds) override;
  bool EnableShutdownPrivilege() override;
  win::BOOL ExitWindowsEx(win::UINT flags, win::DWORD reason) override;

 private:
  struct Object {
    enum class Kind { Device, Event, File } kind;
    char letter = 0;
    int fd = -1;
    std::string path{};  // of a file, as opened
    bool unreadable = false;
    bool manualReset = false, signalled = false, closed = false;
  };
  static void Signal(void* context, void* event);
  static win::DWORD CallSupportInfo();
  static win::DWORD CallSendCommand(void* srb);
  win::HANDLE NewObject(const Object& object);
  Object* Find(win::HANDLE handle);  // open objects only; with mutex_ held
  win::BOOL PassThrough(char letter, void* record, win::DWORD outSize);
  win::HANDLE OpenFile(const char* path, win::DWORD access, win::DWORD disposition);
  int FileDescriptor(win::HANDLE handle);
  std::string OpenPath(win::HANDLE handle);  // "" when no file is open there
  std::vector<std::string> identities_;      // a file index is a place in this list
  bool Unreadable(win::HANDLE handle);

  FakePlatform* previous_;  // the fake the C entry points reached before this one
  mutable emu::Mutex mutex_;
  emu::CondVar signalled_;
  std::map<win::HANDLE, Object> objects_;
  std::vector<win::HANDLE> deferredSignals_;
  bool DeliverDeferred(win::HANDLE event);  // with mutex_ held
  std::uintptr_t nextHandle_ = 0x1000;
  std::string addedLetters_;
};
