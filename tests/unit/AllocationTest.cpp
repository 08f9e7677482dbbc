// The flash allocates nothing per command: the buffers exist before the first command and
// every transfer goes through them in place.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "tests/fake/ProgramFixture.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
thread_local int paused = 0;

void* Allocate(std::size_t size) {
  if (counting && paused == 0) ++allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
  return Allocate(size);
}
void* operator new[](std::size_t size) {
  return Allocate(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

// What the drive and its emulation allocate is not the program's.
class UncountedDevicePlatform : public FakePlatform {
 public:
  win::BOOL DeviceIoControl(win::HANDLE device, win::DWORD code, void* in, win::DWORD inSize,
                            void* out, win::DWORD outSize, win::DWORD* returned,
                            void* overlapped) override {
    ++paused;
    win::BOOL ok =
        FakePlatform::DeviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped);
    --paused;
    return ok;
  }
};

class Allocation : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    InstallPlatform(&platform_);
  }
  UncountedDevicePlatform platform_;
};

// Counting runs from the first chunk's command to the last chunk's, separately for the
// image write and the read-back (the status line between them is not a command).
TEST_F(Allocation, NoneInTheChunkLoopsOfASecondRun) {
  long during[2] = {-1, -1};
  platform_.bus.SetListener([&](const emu::TraceEntry& e) {
    bool chunk = (e.cdb[0] == 0x3B && e.cdb[9] == 0x00) || (e.cdb[0] == 0x3C && e.cdb[3] != 0x08);
    if (!chunk) return;
    std::uint32_t offset = std::uint32_t{e.cdb[3]} << 16 | std::uint32_t{e.cdb[4]} << 8;
    if (offset == 0) {
      allocations = 0;
      counting = true;
    } else if (offset == 31 * 16384u) {
      counting = false;
      during[e.cdb[0] == 0x3C] = allocations;
    }
  });
  platform_.AddDrive(Drive('D'));
  tk.progressTrace.reserve(1024);
  tk.answers = {ModalResult::Yes};
  bool secondRunMeasured = false;
  auto flash = [&] {
    tk.answers = {ModalResult::Yes, ModalResult::No};
    during[0] = during[1] = -1;
    tk.UserClicksFlashButton();
  };
  tk.userActions = {flash, flash, [&] { secondRunMeasured = during[0] >= 0 && during[1] >= 0; }};
  Run();
  counting = false;
  EXPECT_TRUE(secondRunMeasured);
  EXPECT_EQ(during[0], 0) << "allocations during 32 chunk writes";
  EXPECT_EQ(during[1], 0) << "allocations during 32 chunk reads";
  EXPECT_EQ(tk.Control(ControlId::GroupBox2).text, "Flash Completed.");
}

// The counter itself must see allocations, or the test above proves nothing.
TEST_F(Allocation, TheCounterCountsTheProgramsAllocations) {
  allocations = 0;
  counting = true;
  std::string* text = new std::string(100, 'x');
  counting = false;
  delete text;
  EXPECT_GE(allocations.load(), 2);
}

}  // namespace
