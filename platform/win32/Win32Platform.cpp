// Our headers come first: <windows.h> defines macros that would rewrite their names.
#include "platform/win32/Win32Platform.h"

#include <windows.h>

#include <algorithm>

static_assert(sizeof(win::OSVERSIONINFOA) == sizeof(::OSVERSIONINFOA), "OSVERSIONINFOA");
static_assert(sizeof(win::BY_HANDLE_FILE_INFORMATION) == sizeof(::BY_HANDLE_FILE_INFORMATION),
              "BY_HANDLE_FILE_INFORMATION");

namespace {

// Waits for the handle (none: for the time alone) and lets the hook keep the window alive:
// the wait wakes for every message the thread gets, and at least once a slice.
DWORD WaitAlive(WaitHook& hook, HANDLE handle, DWORD milliseconds) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    const DWORD spent = ::GetTickCount() - start;
    const DWORD left =
        milliseconds == INFINITE ? INFINITE : (spent < milliseconds ? milliseconds - spent : 0);
    const DWORD slice = std::min<DWORD>(left, kKeepAliveSliceMs);
    const DWORD woke = ::MsgWaitForMultipleObjects(handle ? 1 : 0, handle ? &handle : nullptr,
                                                   FALSE, slice, QS_ALLINPUT);
    if (handle && (woke == WAIT_OBJECT_0 || woke == WAIT_ABANDONED_0)) return woke;
    if (woke == WAIT_FAILED) return woke;
    hook.KeepAlive();
    if (left == 0) return WAIT_TIMEOUT;
  }
}

struct IoctlCall {
  HANDLE device;
  DWORD code;
  void* in;
  DWORD inSize;
  void* out;
  DWORD outSize;
  DWORD returned;
  BOOL ok;
  DWORD error;
};

DWORD WINAPI RunIoctl(LPVOID parameter) {
  IoctlCall& call = *static_cast<IoctlCall*>(parameter);
  call.ok = ::DeviceIoControl(call.device, call.code, call.in, call.inSize, call.out, call.outSize,
                              &call.returned, nullptr);
  call.error = ::GetLastError();
  return 0;
}

}  // namespace

win::BOOL Win32Platform::GetVersionExA(win::OSVERSIONINFOA* info) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return ::GetVersionExA(reinterpret_cast<::OSVERSIONINFOA*>(info));
#pragma GCC diagnostic pop
}

win::HANDLE Win32Platform::CreateFileA(const char* path, win::DWORD access, win::DWORD share,
                                       void* security, win::DWORD disposition, win::DWORD flags,
                                       win::HANDLE templateFile) {
  return ::CreateFileA(path, access, share, static_cast<LPSECURITY_ATTRIBUTES>(security),
                       disposition, flags, templateFile);
}

win::BOOL Win32Platform::DeviceIoControl(win::HANDLE device, win::DWORD code, void* in,
                                         win::DWORD inSize, void* out, win::DWORD outSize,
                                         win::DWORD* returned, void* overlapped) {
  // The call stays synchronous for the caller; a thread of its own makes it, so that this
  // one can keep the window alive. The device needs no overlapped open for that.
  WaitHook* hook = InstalledWaitHook();
  if (hook && !overlapped) {
    IoctlCall call = {static_cast<HANDLE>(device), code, in, inSize, out, outSize, 0, FALSE, 0};
    if (HANDLE thread = ::CreateThread(nullptr, 0, RunIoctl, &call, 0, nullptr)) {
      // The call's record lives here: never leave before the thread has ended.
      if (WaitAlive(*hook, thread, INFINITE) != WAIT_OBJECT_0)
        ::WaitForSingleObject(thread, INFINITE);
      ::CloseHandle(thread);
      if (returned) *returned = call.returned;
      ::SetLastError(call.error);
      return call.ok;
    }
  }
  DWORD count = 0;
  BOOL ok = ::DeviceIoControl(device, code, in, inSize, out, outSize, &count,
                              static_cast<LPOVERLAPPED>(overlapped));
  if (returned) *returned = count;
  return ok;
}

win::BOOL Win32Platform::CloseHandle(win::HANDLE handle) {
  return ::CloseHandle(handle);
}

win::BOOL Win32Platform::ReadFile(win::HANDLE file, void* buffer, win::DWORD toRead,
                                  win::DWORD* read, void* overlapped) {
  DWORD count = 0;
  BOOL ok = ::ReadFile(file, buffer, toRead, &count, static_cast<LPOVERLAPPED>(overlapped));
  if (read) *read = count;
  return ok;
}

win::BOOL Win32Platform::WriteFile(win::HANDLE file, const void* buffer, win::DWORD toWrite,
                                   win::DWORD* written, void* overlapped) {
  DWORD count = 0;
  BOOL ok = ::WriteFile(file, buffer, toWrite, &count, static_cast<LPOVERLAPPED>(overlapped));
  if (written) *written = count;
  return ok;
}

win::DWORD Win32Platform::SetFilePointer(win::HANDLE file, win::LONG distance,
                                         win::LONG* distanceHigh, win::DWORD method) {
  LONG high = distanceHigh ? *distanceHigh : 0;
  DWORD low = ::SetFilePointer(file, distance, distanceHigh ? &high : nullptr, method);
  if (distanceHigh) *distanceHigh = high;
  return low;
}

win::DWORD Win32Platform::GetFileType(win::HANDLE file) {
  return ::GetFileType(file);
}

win::DWORD Win32Platform::GetFileSize(win::HANDLE file, win::DWORD* high) {
  DWORD highPart = 0;
  DWORD low = ::GetFileSize(file, &highPart);
  if (high) *high = highPart;
  return low;
}

win::BOOL Win32Platform::GetFileInformationByHandle(win::HANDLE file,
                                                    win::BY_HANDLE_FILE_INFORMATION* info) {
  return ::GetFileInformationByHandle(file, reinterpret_cast<::BY_HANDLE_FILE_INFORMATION*>(info));
}

win::BOOL Win32Platform::MoveFileExA(const char* existing, const char* newName, win::DWORD flags) {
  // Windows 9x has no MoveFileEx (looked up, so the program loads there whether its kernel
  // has a stub or nothing); there the replacement is a delete and a move.
  using MoveFileExFn = BOOL(WINAPI*)(LPCSTR, LPCSTR, DWORD);
  static const auto moveFileEx = reinterpret_cast<MoveFileExFn>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "MoveFileExA")));
  if (moveFileEx && moveFileEx(existing, newName, flags)) return TRUE;
  if (moveFileEx && ::GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return FALSE;
  if (flags & MOVEFILE_REPLACE_EXISTING) ::DeleteFileA(newName);
  return ::MoveFileA(existing, newName);
}

win::BOOL Win32Platform::DeleteFileA(const char* path) {
  return ::DeleteFileA(path);
}

win::BOOL Win32Platform::CopyPermissionBits(const char*, const char*) {
  return 1;
}

win::HMODULE Win32Platform::LoadLibraryA(const char* name) {
  return ::LoadLibraryA(name);
}

win::FARPROC Win32Platform::GetProcAddress(win::HMODULE module, const char* name) {
  return reinterpret_cast<win::FARPROC>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

win::BOOL Win32Platform::FreeLibrary(win::HMODULE module) {
  return ::FreeLibrary(static_cast<HMODULE>(module));
}

win::HANDLE Win32Platform::CreateEventA(void* security, win::BOOL manualReset,
                                        win::BOOL initialState, const char* name) {
  return ::CreateEventA(static_cast<LPSECURITY_ATTRIBUTES>(security), manualReset, initialState,
                        name);
}

win::DWORD Win32Platform::WaitForSingleObject(win::HANDLE handle, win::DWORD milliseconds) {
  if (WaitHook* hook = InstalledWaitHook())
    return WaitAlive(*hook, static_cast<HANDLE>(handle), milliseconds);
  return ::WaitForSingleObject(handle, milliseconds);
}

win::BOOL Win32Platform::ResetEvent(win::HANDLE handle) {
  return ::ResetEvent(handle);
}

win::DWORD Win32Platform::GetTickCount() {
  return ::GetTickCount();
}

win::DWORD Win32Platform::GetLogicalDriveStringsA(win::DWORD length, char* buffer) {
  return ::GetLogicalDriveStringsA(length, buffer);
}

win::UINT Win32Platform::GetDriveTypeA(const char* root) {
  return ::GetDriveTypeA(root);
}

win::DWORD Win32Platform::GetLastError() {
  return ::GetLastError();
}

win::DWORD Win32Platform::FormatMessageA(win::DWORD flags, const void* source, win::DWORD messageId,
                                         win::DWORD languageId, char* buffer, win::DWORD size,
                                         void* arguments) {
  return ::FormatMessageA(flags, source, messageId, languageId, buffer, size,
                          static_cast<va_list*>(arguments));
}

win::DWORD Win32Platform::GetModuleFileNameA(win::HMODULE module, char* buffer, win::DWORD size) {
  return ::GetModuleFileNameA(static_cast<HMODULE>(module), buffer, size);
}

win::DWORD Win32Platform::GetCurrentDirectoryA(win::DWORD size, char* buffer) {
  return ::GetCurrentDirectoryA(size, buffer);
}

win::DWORD Win32Platform::GetFileAttributesA(const char* path) {
  return ::GetFileAttributesA(path);
}

win::DWORD Win32Platform::GetPrivateProfileStringA(const char* section, const char* key,
                                                   const char* defaultValue, char* buffer,
                                                   win::DWORD size, const char* fileName) {
  return ::GetPrivateProfileStringA(section, key, defaultValue, buffer, size, fileName);
}

void Win32Platform::Sleep(win::DWORD milliseconds) {
  if (WaitHook* hook = InstalledWaitHook())
    WaitAlive(*hook, nullptr, milliseconds);
  else
    ::Sleep(milliseconds);
}

bool Win32Platform::EnableShutdownPrivilege() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    return false;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool held = ::LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid) &&
              ::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
              ::GetLastError() == ERROR_SUCCESS;
  ::CloseHandle(token);
  return held;
}

win::BOOL Win32Platform::ExitWindowsEx(win::UINT flags, win::DWORD reason) {
  return ::ExitWindowsEx(flags, reason);
}
