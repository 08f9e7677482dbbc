#include "emulator/Threads.h"

#if !defined(_GLIBCXX_HAS_GTHREADS) && defined(_WIN32)
// Condition variables are of Vista; this is test and rehearsal code, not the program.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#include <windows.h>

namespace emu {

static_assert(sizeof(CRITICAL_SECTION) <= 48, "room for a CRITICAL_SECTION");
static_assert(sizeof(CONDITION_VARIABLE) == sizeof(void*), "a CONDITION_VARIABLE is a pointer");

namespace {
CRITICAL_SECTION* Section(void* storage) {
  return static_cast<CRITICAL_SECTION*>(storage);
}
DWORD WINAPI RunBody(void* body) {
  (*static_cast<std::function<void()>*>(body))();
  return 0;
}
}  // namespace

Mutex::Mutex() {
  InitializeCriticalSection(Section(section_));
}
Mutex::~Mutex() {
  DeleteCriticalSection(Section(section_));
}
void Mutex::lock() {
  EnterCriticalSection(Section(section_));
}
void Mutex::unlock() {
  LeaveCriticalSection(Section(section_));
}

CondVar::CondVar() {
  InitializeConditionVariable(reinterpret_cast<CONDITION_VARIABLE*>(&variable_));
}
void CondVar::notify_all() {
  WakeAllConditionVariable(reinterpret_cast<CONDITION_VARIABLE*>(&variable_));
}
void CondVar::SleepFor(std::unique_lock<Mutex>& lock, long milliseconds) {
  SleepConditionVariableCS(reinterpret_cast<CONDITION_VARIABLE*>(&variable_),
                           Section(lock.mutex()->native_handle()),
                           milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds));
}

Thread::Thread(std::function<void()> body) : body_(std::move(body)) {
  handle_ = CreateThread(nullptr, 0, &RunBody, &body_, 0, nullptr);
}
Thread::~Thread() {
  if (handle_) CloseHandle(handle_);
}
void SleepFor(std::chrono::milliseconds time) {
  Sleep(static_cast<DWORD>(time.count()));
}

void Thread::join() {
  WaitForSingleObject(handle_, INFINITE);
  CloseHandle(handle_);
  handle_ = nullptr;
}

}  // namespace emu
#endif
