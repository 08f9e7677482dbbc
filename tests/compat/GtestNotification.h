// GoogleTest's one use of std::mutex and std::condition_variable on Windows, for a C++
// runtime built with mingw-w64's win32 thread model, which has neither. Force-included
// into GoogleTest and the tests together with GTEST_HAS_NOTIFICATION_=1.
#pragma once

#if defined(_WIN32) && defined(__cplusplus)
// Declared as <windows.h> declares them, which the tests must not include: its macros
// would rewrite the platform layer's names.
struct _SECURITY_ATTRIBUTES;
extern "C" {
__declspec(dllimport) void* __stdcall CreateEventA(_SECURITY_ATTRIBUTES*, int, int, const char*);
__declspec(dllimport) int __stdcall SetEvent(void*);
__declspec(dllimport) unsigned long __stdcall WaitForSingleObject(void*, unsigned long);
__declspec(dllimport) int __stdcall CloseHandle(void*);
}

namespace testing {
namespace internal {

// Lets a controller thread hold back the threads it started until it notifies them.
class Notification {
 public:
  Notification() : event_(CreateEventA(nullptr, 1, 0, nullptr)) {}
  ~Notification() { CloseHandle(event_); }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;
  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, 0xFFFFFFFFul); }

 private:
  void* event_;
};

}  // namespace internal
}  // namespace testing
#endif
