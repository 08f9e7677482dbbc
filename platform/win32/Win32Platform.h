#pragma once

#include "platform/Platform.h"

// Every call forwards to the system.
class Win32Platform : public Platform {
 public:
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
};
