// The platform layer on Linux: each Win32 call of the program mapped to its nearest
// real equivalent.
//
// Drive letters: the optical drives are the device nodes /dev/sr0, /dev/sr1, ... and
// appear as CD-ROM drive roots D:\, E:\, ... (/dev/srN is drive letter 'D' + N, so
// sr0 = D:\ up to sr22 = Z:\); "\\.\D:" opens /dev/sr0 read-write and non-blocking.
// The pass-through record becomes an SG_IO request on that node.
//
// The ASPI layer: "WNASPI32.DLL" is libwnaspi32.so in the folder of the program's own
// executable, loaded with dlopen. The version query reports the non-NT family (4.10)
// exactly when that file is there, and the NT family otherwise, so the program talks
// to an installed ASPI layer instead of the devices.
//
// Events are eventfd objects and a HANDLE is the descriptor itself: an ASPI layer
// signals one by writing an 8-byte 1 to it. The last error is the errno value that this
// layer's most recent failing call saw on the calling thread (a successful pass-through
// call sets it to 0); its text is strerror's, with a line end.
#pragma once

#include <scsi/sg.h>

#include <functional>
#include <mutex>
#include <set>
#include <string>

#include "platform/Platform.h"

// The SG_IO system call; tests replace it to see the request the kernel would get.
using SgIoCall = std::function<int(int fd, sg_io_hdr* header)>;

class LinuxPlatform : public Platform {
 public:
  // The program's folder from /proc/self/exe, devices in /dev, the real system call.
  LinuxPlatform();
  LinuxPlatform(std::string programFolder, std::string deviceFolder, SgIoCall sgIo);

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
  // Regular files and folders are disk files, character devices character files, FIFOs
  // and sockets pipes; a block device is a disk file with FILE_ATTRIBUTE_DEVICE.
  win::DWORD GetFileType(win::HANDLE file) override;
  win::DWORD GetFileSize(win::HANDLE file, win::DWORD* high) override;
  // The volume serial number is the device number, the file index the inode number.
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
  // Whether a restart is allowed is logind's decision, made when it is asked.
  bool EnableShutdownPrivilege() override;
  // Asks systemd-logind for a clean restart through `systemctl reboot`.
  win::BOOL ExitWindowsEx(win::UINT flags, win::DWORD reason) override;

  // The file a drive letter stands for ("" when the letter is outside D to Z), and the
  // file LoadLibraryA opens for a library name.
  std::string DevicePath(char letter) const;
  std::string LibraryPath(const std::string& name) const;

 private:
  bool AspiLayerInstalled() const;
  std::string programFolder_;
  std::string deviceFolder_;
  SgIoCall sgIo_;
  std::mutex mutex_;
  std::set<int> manualResetEvents_;
};
