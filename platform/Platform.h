// The platform layer: the operating-system calls the program makes, with their Win32
// names and argument shapes. One object is installed at start; the Win32 build forwards
// each call to the system, the Linux build maps it to the nearest real equivalent, and
// tests install a fake.
#pragma once

#include <string>

#include "platform/WinTypes.h"

class Platform {
 public:
  virtual ~Platform() = default;

  // Version query: dwPlatformId decides the back end and the drive enumeration.
  virtual win::BOOL GetVersionExA(win::OSVERSIONINFOA* info) = 0;

  // Devices and the SCSI pass-through.
  virtual win::HANDLE CreateFileA(const char* path, win::DWORD access, win::DWORD share,
                                  void* security, win::DWORD disposition, win::DWORD flags,
                                  win::HANDLE templateFile) = 0;
  virtual win::BOOL DeviceIoControl(win::HANDLE device, win::DWORD code, void* in,
                                    win::DWORD inSize, void* out, win::DWORD outSize,
                                    win::DWORD* returned, void* overlapped) = 0;
  virtual win::BOOL CloseHandle(win::HANDLE handle) = 0;

  // Binary files opened with CreateFileA.
  virtual win::BOOL ReadFile(win::HANDLE file, void* buffer, win::DWORD toRead, win::DWORD* read,
                             void* overlapped) = 0;
  virtual win::BOOL WriteFile(win::HANDLE file, const void* buffer, win::DWORD toWrite,
                              win::DWORD* written, void* overlapped) = 0;
  // Returns the new position's low 32 bits, or INVALID_SET_FILE_POINTER.
  virtual win::DWORD SetFilePointer(win::HANDLE file, win::LONG distance, win::LONG* distanceHigh,
                                    win::DWORD method) = 0;
  // What an open file is: a disk file or folder, a character device or a pipe.
  virtual win::DWORD GetFileType(win::HANDLE file) = 0;
  // The low 32 bits of a file's length, the high ones in *high; INVALID_FILE_SIZE with
  // a last error other than 0 when it fails.
  virtual win::DWORD GetFileSize(win::HANDLE file, win::DWORD* high) = 0;
  // Attributes, size and identity (volume serial number and file index) of a disk file.
  virtual win::BOOL GetFileInformationByHandle(win::HANDLE file,
                                               win::BY_HANDLE_FILE_INFORMATION* info) = 0;
  virtual win::BOOL MoveFileExA(const char* existing, const char* newName, win::DWORD flags) = 0;
  virtual win::BOOL DeleteFileA(const char* path) = 0;
  // Gives `to` the permission bits of `from`, so a written program stays executable.
  // Windows files carry none: there it does nothing and succeeds.
  virtual win::BOOL CopyPermissionBits(const char* from, const char* to) = 0;

  // Run-time libraries (the ASPI layer).
  virtual win::HMODULE LoadLibraryA(const char* name) = 0;
  virtual win::FARPROC GetProcAddress(win::HMODULE module, const char* name) = 0;
  virtual win::BOOL FreeLibrary(win::HMODULE module) = 0;

  // Events an ASPI layer signals on completion.
  virtual win::HANDLE CreateEventA(void* security, win::BOOL manualReset, win::BOOL initialState,
                                   const char* name) = 0;
  virtual win::DWORD WaitForSingleObject(win::HANDLE handle, win::DWORD milliseconds) = 0;
  virtual win::BOOL ResetEvent(win::HANDLE handle) = 0;
  // Milliseconds from an arbitrary start, wrapping: what a wait has already taken.
  virtual win::DWORD GetTickCount() = 0;

  // Drive enumeration.
  virtual win::DWORD GetLogicalDriveStringsA(win::DWORD length, char* buffer) = 0;
  virtual win::UINT GetDriveTypeA(const char* root) = 0;

  // Error texts.
  virtual win::DWORD GetLastError() = 0;
  virtual win::DWORD FormatMessageA(win::DWORD flags, const void* source, win::DWORD messageId,
                                    win::DWORD languageId, char* buffer, win::DWORD size,
                                    void* arguments) = 0;

  // The program's own file, the current directory, files and INI reads.
  virtual win::DWORD GetModuleFileNameA(win::HMODULE module, char* buffer, win::DWORD size) = 0;
  // Returns the length written, or the size needed (terminator included) when the
  // buffer is too small, as Windows does.
  virtual win::DWORD GetCurrentDirectoryA(win::DWORD size, char* buffer) = 0;
  virtual win::DWORD GetFileAttributesA(const char* path) = 0;  // INVALID_FILE_ATTRIBUTES if none
  virtual win::DWORD GetPrivateProfileStringA(const char* section, const char* key,
                                              const char* defaultValue, char* buffer,
                                              win::DWORD size, const char* fileName) = 0;

  // The readiness wait and the restart after a flash.
  virtual void Sleep(win::DWORD milliseconds) = 0;
  // Asks for the right to restart the system, which the NT family demands before a
  // restart request; true when held.
  virtual bool EnableShutdownPrivilege() = 0;
  virtual win::BOOL ExitWindowsEx(win::UINT flags, win::DWORD reason) = 0;
};

// The installed platform. Installed once by the program's entry (or by a test) before
// anything else runs; the caller keeps ownership.
Platform& Os();
void InstallPlatform(Platform* platform);

// Whole strings from the calls that fill a caller's buffer, of any length.
std::string ModuleFileName();    // the program's own file
std::string CurrentDirectory();  // empty when it cannot be read
// The last part of a path: what follows its last folder separator, which is '\\' or '/'
// on Windows and only '/' elsewhere.
std::string BaseName(const std::string& path);

// A drive command can take minutes (the commit), and the window must not look dead
// meanwhile. While one is outstanding, the platform's DeviceIoControl, WaitForSingleObject
// and Sleep call the installed hook from the waiting thread at least every
// kKeepAliveSliceMs; the toolkit installs one. Without a hook the thread simply blocks.
class WaitHook {
 public:
  virtual ~WaitHook() = default;
  // Paints and answers the system at once; drops the user's input and close requests.
  virtual void KeepAlive() = 0;
};
constexpr unsigned kKeepAliveSliceMs = 20;
void InstallWaitHook(WaitHook* hook);
WaitHook* InstalledWaitHook();
