// The builder on the system's own file calls (Linux, or Windows under Wine): the Linux
// file calls, the refusals and the output name on a real file system, and a flash
// program built from the real Linux program file.
#include <sys/stat.h>
#include <sys/types.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/WinConstants.h"
#include "tests/fake/ProgramFixture.h"
#include "tests/unit/NativePlatform.h"

namespace {

#if defined(__linux__)
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

// What a file is, as the builder asks: type, attributes, size and identity; a FIFO
// opens at once (the watchdog ends a run that would wait for its writer).
TEST(LinuxFileCalls, FileTypeAndIdentity) {
  LinuxPlatform os;
  std::string dir = TempFolder("linux_identity");
  std::ofstream(dir + "/a") << "12345";
  ASSERT_EQ(link((dir + "/a").c_str(), (dir + "/b").c_str()), 0);
  std::ofstream(dir + "/c") << "12345";
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0644), 0);
  struct Case {
    std::string path;
    win::DWORD type, attributes;
  } cases[] = {
      {dir + "/a", win::FILE_TYPE_DISK, win::FILE_ATTRIBUTE_NORMAL},
      {dir, win::FILE_TYPE_DISK, win::FILE_ATTRIBUTE_DIRECTORY},
      {"/dev/null", win::FILE_TYPE_CHAR, win::FILE_ATTRIBUTE_DEVICE},
      {dir + "/fifo", win::FILE_TYPE_PIPE, 0},
  };
  alarm(20);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    win::HANDLE h = os.CreateFileA(c.path.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                                   win::OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, win::InvalidHandleValue());
    EXPECT_EQ(os.GetFileType(h), c.type);
    win::BY_HANDLE_FILE_INFORMATION info = {};
    EXPECT_TRUE(os.GetFileInformationByHandle(h, &info));
    if (c.attributes) {
      EXPECT_EQ(info.dwFileAttributes, c.attributes);
    }
    os.CloseHandle(h);
  }
  alarm(0);
  auto identity = [&](const std::string& path) {
    win::HANDLE h =
        os.CreateFileA(path.c_str(), win::GENERIC_READ, 0, nullptr, win::OPEN_EXISTING, 0, nullptr);
    win::BY_HANDLE_FILE_INFORMATION info = {};
    os.GetFileInformationByHandle(h, &info);
    os.CloseHandle(h);
    return std::vector<win::DWORD>{info.dwVolumeSerialNumber, info.nFileIndexHigh,
                                   info.nFileIndexLow, info.nFileSizeLow, info.nNumberOfLinks};
  };
  EXPECT_EQ(identity(dir + "/a"), identity(dir + "/b"));  // a hard link is the same file
  EXPECT_NE(identity(dir + "/a"), identity(dir + "/c"));
  EXPECT_EQ(identity(dir + "/a")[3], 5u);
  EXPECT_EQ(identity(dir + "/a")[4], 2u);
}
#endif

// Builds on the system's own calls: the program starts on the fake, which reads the same
// files, and the Build button runs on the system's calls in the folder.
class NativeBuild : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    dir_ = PlaceBuilder();
  }
  // A program file of the program's name with the key, a build header and a firmware
  // area, and its catalogue beside it.
  void MakeProgram(const std::string& name) {
    program_ = std::string(3000, 'p') + std::string(Payload().BuildKey, kBuildKeySize) +
               std::string(kBuildHeaderSize, 'h') + std::string(kFirmwareAreaSize, 'a') + "QIRM" +
               std::string(1000, 'q');
    fake.modulePath = dir_ + "/" + name;
    WriteFile(fake.modulePath, program_);
    WriteFile(dir_ + "/" + name.substr(0, name.find('.')) + ".INI",
              "[MODEL00]\nModel=KRW-52088S\nInquiry=KOR-VEL KRW-52088S\nFW-Range=QF01-QF2Z\n"
              "BINMask=*\nVendor=Korvel-XQ\nNote=Korvel\n");
  }
  // Clicks the file (one the list shows, or a name of the system's own) and the Build
  // button after `arrange`; returns the messages.
  std::vector<std::string> Build(const std::string& file, const std::function<void()>& arrange) {
    ProgramFilePlatform native(fake.modulePath);
    std::filesystem::path before = std::filesystem::current_path();
    tk.userActions = {[&] {
      if (std::find(tk.files.begin(), tk.files.end(), file) == tk.files.end())
        tk.files.push_back(file);
      tk.UserClicksFile(file);
      arrange();
      std::filesystem::current_path(dir_);
      InstallPlatform(&native);
      tk.UserClicksFlashButton();
      InstallPlatform(&fake);
      std::filesystem::current_path(before);
    }};
    Run();
    std::vector<std::string> texts;
    for (const DialogRecord& d : tk.dialogs) texts.push_back(d.text);
    return texts;
  }
  std::string Text(const std::string& name) const {
    std::ifstream in(dir_ + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string dir_, program_;
};

// Every refusal before anything is written, the build's own name never an existing
// file, and the running program told from another file by identity.
TEST_F(NativeBuild, RefusalsAndNamesOnARealFileSystem) {
  const std::string image(16384, 'f');
  const std::string notAFile = " is not a file: a firmware image is read from a file.";
  auto replaceWith = [&](const std::function<void(const std::string&)>& make) {
    return [&, make] {
      std::filesystem::remove(dir_ + "/qf05.bin");
      make(dir_ + "/qf05.bin");
    };
  };
  struct Case {
    const char* what;
    std::string program, file;
    std::function<void()> arrange;
    std::string message;  // empty: built
  } cases[] = {
    {"the build's first name is the firmware file", "KFLASH.EXE", "qf05.EXE.building", [] {}, ""},
    {"a folder", "KFLASH.EXE", "qf05.bin",
     replaceWith([](const std::string& p) { std::filesystem::create_directory(p); }),
     "qf05.bin" + notAFile},
    {"4 GiB and more", "KFLASH.EXE", "qf05.bin",
     [&] { std::filesystem::resize_file(dir_ + "/qf05.bin", (std::uint64_t{1} << 32) + 16384); },
     "qf05.bin is 4294983680 bytes long: a firmware image must be a multiple of 16384 bytes "
     "and at most 524288 bytes."},
    {"the output is the program", "qf05.EXE", "qf05.bin", [] {},
     "Can't build qf05.EXE over the running program itself."},
#if defined(_WIN32)
    {"a device", "KFLASH.EXE", "NUL", [] {}, "NUL" + notAFile},
    {"the output is the program by its case", "QF05.exe", "qf05.bin", [] {},
     "Can't build qf05.EXE over the running program itself."},
#else
    {"a device", "KFLASH.EXE", "qf05.bin",
     replaceWith([](const std::string& p) { std::filesystem::create_symlink("/dev/zero", p); }),
     "qf05.bin" + notAFile},
    {"a FIFO", "KFLASH.EXE", "qf05.bin",
     replaceWith([](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); }),
     "qf05.bin" + notAFile},
    {"another file whose name differs in case", "QF05.exe", "qf05.bin", [] {}, ""},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tk = HeadlessToolkit();
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
      std::filesystem::remove_all(entry.path());
    MakeProgram(c.program);
    WriteFile(dir_ + "/" + c.file, image);
    WriteFile(dir_ + "/qf05.EXE.1.building", "someone else's");
#if !defined(_WIN32)
    alarm(20);  // a FIFO's open would wait for a writer
#endif
    EXPECT_EQ(Build(c.file, c.arrange),
              c.message.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.message});
#if !defined(_WIN32)
    alarm(0);
#endif
    EXPECT_TRUE(Text(c.program) == program_);
    EXPECT_EQ(Text("qf05.EXE.1.building"), "someone else's");
    if (!c.message.empty()) {
      EXPECT_EQ(tk.Control(ControlId::GroupBox2).text, "Building " + c.file + " failed.");
      continue;
    }
    EXPECT_TRUE(Text(c.file) == image);
    std::string out = Text("qf05.EXE");
    ASSERT_EQ(out.size(), program_.size());
    std::size_t area = 3000 + kBuildKeySize + kBuildHeaderSize;
    EXPECT_TRUE(out.compare(area, image.size(), image) == 0);
    EXPECT_TRUE(out.compare(0, 3000, program_, 0, 3000) == 0);
  }
}

#if defined(__linux__)
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

#endif

}  // namespace
