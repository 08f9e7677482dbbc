// The system's own platform layer (Linux, or Windows under Wine) keeps the window alive
// while a drive command is outstanding: the installed hook runs again and again during
// the pass-through call, the ASPI event's wait and the readiness sleep, and each call
// still gives its own result.
#if defined(_WIN32)
#include "platform/win32/Win32Platform.h"
#else
#include "platform/linux/LinuxPlatform.h"
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

#include "platform/ScsiPassThrough.h"
#include "platform/WinConstants.h"

namespace {
// Named before <windows.h> makes macros of these names.
constexpr win::DWORD kSignalled = win::WAIT_OBJECT_0;
constexpr win::DWORD kTimedOut = win::WAIT_TIMEOUT;
}  // namespace

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#endif

namespace {

using Clock = std::chrono::steady_clock;

// A watchdog ends what the hook was to end, should the hook never run.
constexpr auto kWatchdog = std::chrono::seconds(3);
constexpr int kCallsBeforeTheEnd = 5;

class CountingHook : public WaitHook {
 public:
  void KeepAlive() override {
    if (++calls == kCallsBeforeTheEnd && onEnough) onEnough();
  }
  std::atomic<int> calls{0};
  std::function<void()> onEnough;
};

class LiveWait : public ::testing::Test {
 protected:
  void SetUp() override { InstallWaitHook(&hook); }
  void TearDown() override { InstallWaitHook(nullptr); }
  static long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  }
#if defined(_WIN32)
  Win32Platform os;
  void Signal(win::HANDLE event) {
    SetEvent(static_cast<HANDLE>(event));
  }
#else
  LinuxPlatform os{"/nonexistent", "/nonexistent", [this](int, sg_io_hdr*) { return sgIo(); }};
  std::function<int()> sgIo;
  void Signal(win::HANDLE event) {
    const std::uint64_t one = 1;
    ASSERT_EQ(write(static_cast<int>(reinterpret_cast<std::intptr_t>(event)), &one, sizeof one),
              static_cast<ssize_t>(sizeof one));
  }
#endif
  CountingHook hook;
};

TEST_F(LiveWait, TheEventWaitKeepsTheWindowAliveUntilSignalledOrTimedOut) {
  win::HANDLE event = os.CreateEventA(nullptr, 0, 0, nullptr);
  ASSERT_NE(event, nullptr);
  hook.onEnough = [&] { Signal(event); };
  auto start = Clock::now();
  EXPECT_EQ(os.WaitForSingleObject(event, 10000), kSignalled);
  EXPECT_GE(hook.calls, kCallsBeforeTheEnd);
  EXPECT_LT(MsSince(start), 2000);

  // Not signalled: the whole time-out, alive throughout.
  hook.calls = 0;
  hook.onEnough = nullptr;
  start = Clock::now();
  EXPECT_EQ(os.WaitForSingleObject(event, 300), kTimedOut);
  EXPECT_GE(MsSince(start), 290);
  EXPECT_GE(hook.calls, 300 / static_cast<int>(kKeepAliveSliceMs) / 2);

  hook.calls = 0;
  os.Sleep(300);
  EXPECT_GE(hook.calls, 300 / static_cast<int>(kKeepAliveSliceMs) / 2);
  os.CloseHandle(event);
}

#if defined(_WIN32)

struct PipeClient {
  const char* name;
  std::atomic<bool> tried{false};
  HANDLE handle = INVALID_HANDLE_VALUE;
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  void Connect() {
    if (!tried.exchange(true))
      handle =
          CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
};

DWORD WINAPI Watchdog(LPVOID parameter) {
  auto* client = static_cast<PipeClient*>(parameter);
  WaitForSingleObject(client->done, std::chrono::milliseconds(kWatchdog).count());
  client->Connect();
  return 0;
}

// A named pipe's server waiting for its client stands for a drive that takes its time:
// the call blocks until the hook (or the watchdog) connects.
TEST_F(LiveWait, ThePassThroughCallRunsAsideWhileTheWindowIsKeptAlive) {
  const char name[] = "\\\\.\\pipe\\korvel-live-wait";
  HANDLE server = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 512,
                                   512, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  PipeClient client{name};
  hook.onEnough = [&] { client.Connect(); };
  HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, &client, 0, nullptr);
  constexpr DWORD kPipeListen = 0x00110008;  // FSCTL_PIPE_LISTEN
  win::DWORD returned = 7;
  BOOL ok = os.DeviceIoControl(server, kPipeListen, nullptr, 0, nullptr, 0, &returned, nullptr);
  DWORD error = os.GetLastError();
  EXPECT_TRUE(ok || error == ERROR_PIPE_CONNECTED) << error;
  EXPECT_EQ(returned, 0u);
  EXPECT_GE(hook.calls, kCallsBeforeTheEnd) << "the window was left dead during the call";

  // The call's own error reaches the caller's thread.
  ok = os.DeviceIoControl(server, kPipeListen, nullptr, 0, nullptr, 0, &returned, nullptr);
  EXPECT_FALSE(ok);
  EXPECT_EQ(os.GetLastError(), static_cast<win::DWORD>(ERROR_PIPE_CONNECTED));
  SetEvent(client.done);
  WaitForSingleObject(watchdog, INFINITE);
  CloseHandle(watchdog);
  CloseHandle(client.done);
  CloseHandle(client.handle);
  CloseHandle(server);
}

#else

TEST_F(LiveWait, ThePassThroughCallRunsAsideWhileTheWindowIsKeptAlive) {
  std::atomic<bool> answer{false};
  hook.onEnough = [&] { answer = true; };
  const auto caller = std::this_thread::get_id();
  std::thread::id callThread;
  sgIo = [&] {
    callThread = std::this_thread::get_id();
    for (auto start = Clock::now(); !answer && Clock::now() - start < kWatchdog;)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    errno = EIO;
    return -1;
  };
  PassThroughRequest request = {};
  request.Sptd.Length = sizeof request.Sptd;
  request.Sptd.CdbLength = 12;
  win::DWORD returned = 7;
  EXPECT_EQ(os.DeviceIoControl(nullptr, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &request,
                               sizeof request, &request, sizeof request, &returned, nullptr),
            0);
  EXPECT_EQ(os.GetLastError(), static_cast<win::DWORD>(EIO)) << "the call's own error";
  EXPECT_NE(callThread, caller);
  EXPECT_GE(hook.calls, kCallsBeforeTheEnd) << "the window was left dead during the call";
}

// Where no thread can be started, the call is made on the caller's own thread. A child
// process that may start none (no process left to its user) tells by its exit code.
TEST_F(LiveWait, ThePassThroughCallIsMadeDirectlyWhenNoThreadStarts) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rlimit none = {0, 0};
    if (setrlimit(RLIMIT_NPROC, &none) != 0) _exit(3);
    if (geteuid() == 0 && setuid(65534) != 0) _exit(3);  // root is beyond the limit
    const auto caller = std::this_thread::get_id();
    bool direct = false;
    sgIo = [&] {
      direct = std::this_thread::get_id() == caller;
      return 0;
    };
    PassThroughRequest request = {};
    request.Sptd.Length = sizeof request.Sptd;
    request.Sptd.CdbLength = 12;
    win::DWORD returned = 0;
    win::BOOL ok = os.DeviceIoControl(nullptr, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &request,
                                      sizeof request, &request, sizeof request, &returned, nullptr);
    _exit(ok && direct ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child died: " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

#endif

}  // namespace
