// The few threading pieces the emulated drive and the tests' fake platform need: the
// standard ones where the runtime has them, Win32's own under mingw-w64's win32 thread
// model, whose C++ runtime has no std::mutex or std::thread (the program is built with
// that model so that it needs nothing of Windows newer than its floor).
#pragma once

#include <chrono>
#include <functional>
#include <mutex>  // std::lock_guard and std::unique_lock take any lockable type

#if defined(_GLIBCXX_HAS_GTHREADS) || !defined(_WIN32)
#include <condition_variable>
#include <thread>

namespace emu {
using Mutex = std::mutex;
using CondVar = std::condition_variable;
using Thread = std::thread;
inline void SleepFor(std::chrono::milliseconds time) {
  std::this_thread::sleep_for(time);
}
}  // namespace emu

#else
#include <cstdint>

namespace emu {

// Storage for the system's records, kept out of this header so that <windows.h> and its
// macros stay out of everything that includes it.
class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock();
  void unlock();
  void* native_handle() { return section_; }

 private:
  alignas(8) unsigned char section_[48];  // CRITICAL_SECTION
};

class CondVar {
 public:
  CondVar();
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;
  void notify_all();
  void wait(std::unique_lock<Mutex>& lock) { SleepFor(lock, -1); }
  template <class Predicate>
  void wait(std::unique_lock<Mutex>& lock, Predicate ready) {
    while (!ready()) wait(lock);
  }
  template <class Clock, class Duration>
  void wait_until(std::unique_lock<Mutex>& lock,
                  const std::chrono::time_point<Clock, Duration>& deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left > 0) SleepFor(lock, left < 0x7FFFFFFF ? static_cast<long>(left) : 0x7FFFFFFF);
  }
  template <class Rep, class Period, class Predicate>
  bool wait_for(std::unique_lock<Mutex>& lock, const std::chrono::duration<Rep, Period>& time,
                Predicate ready) {
    const auto deadline = std::chrono::steady_clock::now() + time;
    while (!ready()) {
      if (std::chrono::steady_clock::now() >= deadline) return ready();
      wait_until(lock, deadline);
    }
    return true;
  }

 private:
  void SleepFor(std::unique_lock<Mutex>& lock, long milliseconds);  // -1: no limit
  void* variable_ = nullptr;                                        // CONDITION_VARIABLE
};

class Thread {
 public:
  Thread() = default;
  explicit Thread(std::function<void()> body);
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  void join();

 private:
  std::function<void()> body_;
  void* handle_ = nullptr;
};

void SleepFor(std::chrono::milliseconds time);

}  // namespace emu
#endif
