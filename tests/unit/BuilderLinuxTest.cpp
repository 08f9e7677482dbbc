// The builder's file calls on Linux, and a flash program built from the real Linux
// program file.
#if defined(__linux__)

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/WinConstants.h"
#include "platform/linux/LinuxPlatform.h"
#include "tests/fake/ProgramFixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string TempFolder(const char* name) {
  std::string dir = testing::TempDir() + "korvel_" + name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

TEST(LinuxFileCalls, WriteSeekReadMoveDeleteAndPermissions) {
  LinuxPlatform os;
  std::string dir = TempFolder("linux_files");
  std::string a = dir + "/a.bin", b = dir + "/b.bin";
  win::HANDLE out = os.CreateFileA(a.c_str(), win::GENERIC_WRITE, 0, nullptr, win::CREATE_ALWAYS,
                                   win::FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(out, win::InvalidHandleValue());
  win::DWORD count = 0;
  ASSERT_TRUE(os.WriteFile(out, "hello ", 6, &count, nullptr));
  EXPECT_EQ(count, 6u);
  ASSERT_TRUE(os.WriteFile(out, "world", 5, &count, nullptr));
  ASSERT_TRUE(os.CloseHandle(out));

  win::HANDLE in = os.CreateFileA(a.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                                  win::OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(in, win::InvalidHandleValue());
  EXPECT_EQ(os.SetFilePointer(in, 0, nullptr, win::FILE_END), 11u);
  EXPECT_EQ(os.SetFilePointer(in, 0, nullptr, win::FILE_BEGIN), 0u);
  char text[32] = {};
  ASSERT_TRUE(os.ReadFile(in, text, sizeof text, &count, nullptr));
  EXPECT_EQ(count, 11u);
  EXPECT_STREQ(text, "hello world");
  // Past the end: nothing, and no error.
  EXPECT_TRUE(os.ReadFile(in, text, sizeof text, &count, nullptr));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(os.SetFilePointer(in, -1, nullptr, win::FILE_BEGIN), win::INVALID_SET_FILE_POINTER);
  EXPECT_EQ(os.GetLastError(), static_cast<win::DWORD>(EINVAL));
  os.CloseHandle(in);

  std::ofstream(b) << "old";
  EXPECT_FALSE(os.MoveFileExA(a.c_str(), b.c_str(), 0));
  EXPECT_EQ(os.GetLastError(), static_cast<win::DWORD>(EEXIST));
  ASSERT_TRUE(os.MoveFileExA(a.c_str(), b.c_str(), win::MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(std::filesystem::exists(a));
  EXPECT_EQ(ReadAll(b).size(), 11u);

  ASSERT_EQ(chmod(b.c_str(), 0700), 0);
  std::ofstream(a) << "x";
  ASSERT_TRUE(os.CopyPermissionBits(b.c_str(), a.c_str()));
  struct stat info;
  ASSERT_EQ(stat(a.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);

  ASSERT_TRUE(os.DeleteFileA(b.c_str()));
  EXPECT_FALSE(std::filesystem::exists(b));
  EXPECT_FALSE(os.DeleteFileA(b.c_str()));
  EXPECT_EQ(os.GetLastError(), static_cast<win::DWORD>(ENOENT));
}

// CTest names the real program file; run by hand without it, the test says so.
class RealProgramBuild : public ProgramTest {};

TEST_F(RealProgramBuild, CopyCarriesTheBuildHeaderAndImageAtThePayload) {
  const char* real = std::getenv("KF_PROGRAM_FILE");
  if (!real) GTEST_SKIP() << "KF_PROGRAM_FILE names the korvel-flash program file";
  std::string dir = TempFolder("real_program");
  std::string program = dir + "/korvel-flash";
  std::filesystem::copy_file(real, program);
  std::ofstream(dir + "/korvel-flash.INI")
      << "[MODEL00]\nModel=KRW-52088S\nInquiry=KOR-VEL KRW-52088S\nFW-Range=QF01-QF2Z\n"
         "BINMask=*.BIN\nVendor=Korvel-XQ\nNote=Korvel\n";
  Bytes firmware(2 * 16384);
  for (std::size_t i = 0; i < firmware.size(); ++i)
    firmware[i] = static_cast<std::uint8_t>(i % 251);
  std::ofstream(dir + "/QF07.BIN", std::ios::binary)
      .write(reinterpret_cast<const char*>(firmware.data()),
             static_cast<std::streamsize>(firmware.size()));
  fake.modulePath = program;
  fake.currentDirectory = dir;
  MakeBuilder();
  tk.userActions = {[&] {
    tk.UserClicksFile("QF07.BIN");
    tk.UserClicksFlashButton();
  }};
  Run();
  ASSERT_TRUE(tk.dialogs.empty()) << tk.dialogs[0].text;

  Bytes before = ReadAll(program), after = ReadAll(dir + "/QF07.EXE");
  ASSERT_EQ(after.size(), before.size());
  std::string key(Payload().BuildKey, kBuildKeySize);
  std::string text(after.begin(), after.end());
  std::size_t at = text.find(key);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(text.find(key, at + 1), std::string::npos);  // exactly once
  std::size_t header = at + kBuildKeySize, area = header + kBuildHeaderSize;
  EXPECT_EQ(text.compare(header, 11, std::string("KRW-52088S\0", 11)), 0);
  EXPECT_EQ(text.compare(header + 125, 8, std::string("QF07.\0\0\0", 8)), 0);
  EXPECT_EQ(text.compare(header + 133, 4, std::string("\x00\x80\x00\x00", 4)), 0);
  EXPECT_TRUE(
      std::equal(firmware.begin(), firmware.end(), after.begin() + static_cast<long>(area)));
  // The program's own bytes everywhere else, the rest of the area and the tail mark included.
  EXPECT_TRUE(std::equal(after.begin(), after.begin() + static_cast<long>(header), before.begin()));
  std::size_t rest = area + firmware.size();
  EXPECT_TRUE(std::equal(after.begin() + static_cast<long>(rest), after.end(),
                         before.begin() + static_cast<long>(rest)));
  EXPECT_EQ(text.compare(area + kFirmwareAreaSize, 4, "QIRM"), 0);
  EXPECT_EQ(std::string(before.begin() + static_cast<long>(area),
                        before.begin() + static_cast<long>(area + 4)),
            "QIRM");  // the program was a builder
  struct stat info;
  ASSERT_EQ(stat((dir + "/QF07.EXE").c_str(), &info), 0);
  EXPECT_NE(info.st_mode & S_IXUSR, 0u);
}

}  // namespace

#endif
