// Not tests: time one build against copying the same program file, side by side, and
// the builder's start with a large catalogue. All run on the system's own file calls
// (Linux, or Windows under Wine), not the fake's. Run with `ninja builder_benchmark`.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/Text.h"
#include "platform/WinConstants.h"
#include "tests/fake/ProgramFixture.h"
#include "tests/unit/NativePlatform.h"

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
  std::string dir = PlaceBuilder();
  WriteFile(dir + "/KFLASH.INI",
            "[MODEL00]\nModel=KRW-52088S\nInquiry=KOR-VEL KRW-52088S\nFW-Range=QF01-QF2Z\n"
            "BINMask=*.BIN\nVendor=Korvel-XQ\nNote=Korvel\n");
  // A program file of a real program's size with the payload in its middle.
  std::string program(1200000, 'p');
  program += std::string(Payload().BuildKey, kBuildKeySize);
  program += std::string(kBuildHeaderSize + kFirmwareAreaSize + 4, 'a') + std::string(800000, 'q');
  WriteFile(fake.modulePath, program);
  WriteFile(dir + "/QF05.BIN", std::string(kFirmwareAreaSize, 'f'));

  // The build replacing its earlier output, the build into a folder without one, the
  // copy into a new file, and the copy under a name of its own that then takes the
  // output's, as the build does. Each the best of its rounds.
  double replacing = 1e9, fresh = 1e9, copy = 1e9, copyRename = 1e9;
  ProgramFilePlatform native(fake.modulePath);
  std::filesystem::path before = std::filesystem::current_path();
  auto time = [](double& best, const std::function<void()>& run) {
    auto start = Clock::now();
    run();
    best = std::min(best, Seconds(start));
  };
  tk.userActions = {[&] {
    tk.UserClicksFile("QF05.BIN");
    InstallPlatform(&native);
    std::filesystem::current_path(dir);
    for (int round = 0; round < 100; ++round) {
      time(replacing, [&] { tk.UserClicksFlashButton(); });
      std::filesystem::remove(dir + "/QF05.EXE");
      time(fresh, [&] { tk.UserClicksFlashButton(); });
      std::filesystem::remove(dir + "/COPY.EXE");
      time(copy, [&] { PlainCopy(fake.modulePath, dir + "/COPY.EXE"); });
      std::filesystem::remove(dir + "/RENAMED.EXE");
      time(copyRename, [&] {
        PlainCopy(fake.modulePath, dir + "/COPY.TMP");
        Os().MoveFileExA((dir + "/COPY.TMP").c_str(), (dir + "/RENAMED.EXE").c_str(),
                         win::MOVEFILE_REPLACE_EXISTING);
      });
    }
    std::filesystem::current_path(before);
    InstallPlatform(&fake);
  }};
  Run();
  ASSERT_TRUE(tk.dialogs.empty());
  ASSERT_EQ(std::filesystem::file_size(dir + "/QF05.EXE"), program.size());
  ASSERT_EQ(std::filesystem::file_size(dir + "/RENAMED.EXE"), program.size());
  std::printf(
      "program file %zu bytes: plain copy %.2f ms, copy then rename %.2f ms; build %.2f ms "
      "(ratio %.2f to the copy, %.2f to the copy then rename), replacing an earlier build "
      "%.2f ms (ratio %.2f, %.2f)\n",
      program.size(), copy * 1e3, copyRename * 1e3, fresh * 1e3, fresh / copy, fresh / copyRename,
      replacing * 1e3, replacing / copy, replacing / copyRename);
}

// 600 key reads, as a full catalogue needs, behind 10 MB of other sections.
TEST_F(BuildBenchmark, DISABLED_StartWithTenMegabyteCatalogue) {
  std::string dir = PlaceBuilder();
  std::string catalogue;
  for (int n = 0; catalogue.size() < 10000000; ++n)
    catalogue += "[OTHER" + std::to_string(n) + "]\nModel=KRW-" + std::to_string(n) +
                 "\nInquiry=KOR-VEL KRW-52088S\nNote=" + std::string(200, 'n') + "\n";
  for (int n = 0; n < 100; ++n)
    catalogue += Format("[MODEL%02d]\nModel=KRW-%d\nInquiry=KOR-VEL KRW-52088S\n", n, n) +
                 "FW-Range=QF01-QF2Z\nBINMask=*.BIN\nVendor=Korvel-XQ\nNote=Korvel\n";
  WriteFile(dir + "/KFLASH.INI", catalogue);
  // As a catalogue lies beside the program: written a while before. A file read just
  // after it was written is read again for every key.
  std::filesystem::last_write_time(
      dir + "/KFLASH.INI", std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  ProgramFilePlatform native(fake.modulePath);
  std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  InstallPlatform(&native);
  auto start = Clock::now();
  Run();
  double seconds = Seconds(start);
  InstallPlatform(&fake);
  std::filesystem::current_path(before);
  ASSERT_TRUE(tk.dialogs.empty()) << tk.dialogs[0].text;
  ASSERT_EQ(tk.comboItems.size(), 100u);
  std::printf("catalogue of %zu bytes, 100 models: start-up %.3f s\n", catalogue.size(), seconds);
}

}  // namespace
