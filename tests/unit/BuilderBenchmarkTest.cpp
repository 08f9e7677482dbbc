// Not a test: times one build against copying the same program file, side by side, and
// prints the ratio. Run with `ninja builder_benchmark`.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/WinConstants.h"
#include "tests/fake/ProgramFixture.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// The same file copied through the platform's file calls in 64 KiB blocks.
void PlainCopy(const std::string& from, const std::string& to) {
  win::HANDLE in = Os().CreateFileA(from.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                                    win::OPEN_EXISTING, 0, nullptr);
  win::HANDLE out =
      Os().CreateFileA(to.c_str(), win::GENERIC_WRITE, 0, nullptr, win::CREATE_ALWAYS, 0, nullptr);
  std::vector<char> block(64 * 1024);
  win::DWORD got = 0, put = 0;
  while (Os().ReadFile(in, block.data(), static_cast<win::DWORD>(block.size()), &got, nullptr) &&
         got > 0)
    Os().WriteFile(out, block.data(), got, &put, nullptr);
  Os().CloseHandle(in);
  Os().CloseHandle(out);
}

class BuildBenchmark : public ProgramTest {};

TEST_F(BuildBenchmark, DISABLED_BuildAgainstCopy) {
  MakeBuilder();
  std::string dir = TempDir();
  fake.modulePath = dir + "/KFLASH.EXE";
  fake.currentDirectory = dir;
  WriteFile(dir + "/KFLASH.INI",
            "[MODEL00]\nModel=KRW-52088S\nInquiry=KOR-VEL KRW-52088S\nFW-Range=QF01-QF2Z\n"
            "BINMask=*.BIN\nVendor=Korvel-XQ\nNote=Korvel\n");
  // A program file of a real program's size with the payload in its middle.
  std::string program(1200000, 'p');
  program += std::string(Payload().BuildKey, kBuildKeySize);
  program += std::string(kBuildHeaderSize + kFirmwareAreaSize + 4, 'a') + std::string(800000, 'q');
  WriteFile(fake.modulePath, program);
  WriteFile(dir + "/QF05.BIN", std::string(kFirmwareAreaSize, 'f'));

  double build = 1e9, copy = 1e9;
  tk.userActions = {[&] {
    tk.UserClicksFile("QF05.BIN");
    for (int round = 0; round < 25; ++round) {
      auto start = Clock::now();
      tk.UserClicksFlashButton();
      build = std::min(build, Seconds(start));
      // A new file each time, as the build's output is.
      std::filesystem::remove(dir + "/COPY.EXE");
      start = Clock::now();
      PlainCopy(fake.modulePath, dir + "/COPY.EXE");
      copy = std::min(copy, Seconds(start));
    }
  }};
  Run();
  ASSERT_TRUE(tk.dialogs.empty());
  ASSERT_EQ(std::filesystem::file_size(dir + "/QF05.EXE"), program.size());
  std::printf("program file %zu bytes: build %.2f ms, plain copy %.2f ms, ratio %.2f\n",
              program.size(), build * 1e3, copy * 1e3, build / copy);
}

}  // namespace
