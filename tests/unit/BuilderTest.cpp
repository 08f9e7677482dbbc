// The Build button: the flash program written from a program file, byte for byte, with
// the chosen model and firmware file in its build header and firmware area; every
// refusal and failure leaving no partial file and any earlier build intact.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fake/ProgramFixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Bytes Pattern(std::size_t size, unsigned seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>((i * 131 + seed) ^ (i >> 8));
  return bytes;
}

Bytes Key() {
  return Bytes(Payload().BuildKey, Payload().BuildKey + kBuildKeySize);
}

std::string KeyText() {
  return std::string(Payload().BuildKey, kBuildKeySize);
}

Bytes Append(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A program file as the builder finds one: bytes, the key, a build header, the
// firmware area beginning with the tail mark, the tail mark, more bytes.
struct SyntheticProgram {
  Bytes bytes;
  std::size_t headerAt;  // first byte after the key
  std::size_t AreaAt() const { return headerAt + kBuildHeaderSize; }
  std::size_t TailAt() const { return AreaAt() + kFirmwareAreaSize; }

  static SyntheticProgram Make(const Bytes& before = Pattern(3000, 1)) {
    Bytes area = Pattern(kFirmwareAreaSize, 3);
    std::memcpy(area.data(), "QIRM", 4);
    Bytes bytes = Append(before, Key());
    std::size_t headerAt = bytes.size();
    bytes = Append(bytes, Bytes(kBuildHeaderSize, 'H'));
    bytes = Append(bytes, area);
    bytes = Append(bytes, {'Q', 'I', 'R', 'M'});
    bytes = Append(bytes, Pattern(5000, 7));
    return {bytes, headerAt};
  }
};

class FlashProgramBuild : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    dir_ = PlaceBuilder();
    WriteFile(dir_ + "/KFLASH.INI",
              "[MODEL00]\nModel=" + kModel +
                  "\nInquiry=KOR-VEL KRW-52088S\n"
                  "FW-Range=QF01-QF2Z\nBINMask=*\nVendor=Korvel-XQ\nNote=FLASH-ALL\n");
    program_ = SyntheticProgram::Make();
    WriteAll(fake.modulePath, program_.bytes);
  }

  // Starts the builder, clicks the file and the Build button; returns Build's result as
  // the window shows it.
  void Build(const std::string& fileName, const Bytes& firmware,
             const std::function<void()>& beforeClick = {}) {
    WriteAll(dir_ + "/" + fileName, firmware);
    tk.userActions = {[&] {
      tk.UserClicksFile(fileName);
      if (beforeClick) beforeClick();
      tk.UserClicksFlashButton();
      binLength_ = FlashForm->BinLength;
    }};
    Run();
  }
  std::string Caption() { return tk.Control(ControlId::GroupBox2).text; }
  std::vector<std::string> DialogTexts() const {
    std::vector<std::string> texts;
    for (const DialogRecord& d : tk.dialogs) texts.push_back(d.text);
    return texts;
  }
  bool PartialFilesLeft() const {
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
      if (entry.path().extension() == ".building") return true;
    return false;
  }
  // What the output must be: the program, with header and image written over it.
  Bytes Expected(const Bytes& header, const Bytes& image) const {
    Bytes out = program_.bytes;
    std::copy(header.begin(), header.end(), out.begin() + static_cast<long>(program_.headerAt));
    std::copy(image.begin(), image.end(), out.begin() + static_cast<long>(program_.AreaAt()));
    return out;
  }
  static Bytes Header(const std::string& name5, std::uint32_t length) {
    Bytes h(kBuildHeaderSize, 0);
    auto put = [&](std::size_t at, const std::string& text) {
      std::copy(text.begin(), text.end(), h.begin() + static_cast<long>(at));
    };
    put(0, kModel);
    put(25, "KOR-VEL KRW-52088S      ");  // the catalogue reader pads it to 24
    put(50, "QF01-QF2Z");
    put(75, "Korvel-XQ");
    put(100, "FLASH-ALL");
    put(125, name5);
    for (int i = 0; i < 4; ++i) h[133 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    return h;
  }
  // How often the byte-wise copy steps the bar for a key ending at keyEnd.
  std::size_t ExpectedSteps(std::size_t keyEnd, std::size_t imageLength) const {
    std::size_t steps = 0, length = program_.bytes.size();
    for (std::size_t j = 0; j <= keyEnd; ++j) steps += j % 1024 == 0;
    steps += imageLength / 1024;
    for (std::size_t j = keyEnd + kBuildHeaderSize + imageLength; j + 1 < length; ++j)
      steps += j % 1024 == 0;
    return steps;
  }

  static const std::string kModel;
  std::string dir_;
  SyntheticProgram program_;
  std::uint32_t binLength_ = 0xFFFFFFFFu;
};

// 24 characters: the 25th byte of the field must still be zero.
const std::string FlashProgramBuild::kModel = "KRW-52088S-ABCDEFGHIJKLM";

TEST_F(FlashProgramBuild, WritesHeaderAndImageAndCopiesEverythingElse) {
  Bytes firmware = Pattern(16384, 9);
  Build("qf05.bin", firmware);
  EXPECT_TRUE(tk.dialogs.empty()) << tk.dialogs[0].text;
  Bytes out = ReadAll(dir_ + "/qf05.EXE");
  ASSERT_EQ(out.size(), program_.bytes.size());
  EXPECT_TRUE(out == Expected(Header("QF05.", 16384), firmware));
  // The rest of the area is the program's, the tail mark included.
  EXPECT_TRUE(std::equal(out.begin() + static_cast<long>(program_.AreaAt() + 16384), out.end(),
                         program_.bytes.begin() + static_cast<long>(program_.AreaAt() + 16384)));
  EXPECT_EQ(binLength_, 16384u);
  EXPECT_EQ(Caption(), "Build qf05.EXE complete!");
  EXPECT_GE(tk.Control(ControlId::GroupBox2).repaints, 2);
  EXPECT_EQ(tk.progressMax, static_cast<int>(program_.bytes.size()));
  EXPECT_EQ(tk.progressStep, 1024);
  EXPECT_EQ(tk.progressPosition, 0);
  // One SetPosition(0) before the copy, one after, and the copy's steps between.
  EXPECT_EQ(tk.progressTrace.size(), ExpectedSteps(program_.headerAt - 1, 16384) + 2);
  EXPECT_FALSE(PartialFilesLeft());
  EXPECT_EQ(fake.filesOpened, fake.filesClosed);
}

TEST_F(FlashProgramBuild, FullAreaImageKeepsTheTailMarkAndLeavesBuilderMode) {
  Bytes firmware = Pattern(kFirmwareAreaSize, 11);
  Build("QF2Z.BIN", firmware);
  EXPECT_TRUE(tk.dialogs.empty());
  Bytes out = ReadAll(dir_ + "/QF2Z.EXE");
  ASSERT_EQ(out.size(), program_.bytes.size());
  EXPECT_TRUE(out == Expected(Header("QF2Z.", kFirmwareAreaSize), firmware));
  EXPECT_EQ(std::string(out.begin() + static_cast<long>(program_.TailAt()),
                        out.begin() + static_cast<long>(program_.TailAt() + 4)),
            "QIRM");
  EXPECT_NE(std::string(out.begin() + static_cast<long>(program_.AreaAt()),
                        out.begin() + static_cast<long>(program_.AreaAt() + 4)),
            "QIRM");
}

TEST_F(FlashProgramBuild, EmptyFileGivesABuilderAgain) {
  Build("qf05.bin", {});
  EXPECT_TRUE(tk.dialogs.empty());
  Bytes out = ReadAll(dir_ + "/qf05.EXE");
  EXPECT_TRUE(out == Expected(Header("QF05.", 0), {}));
  EXPECT_EQ(binLength_, 0u);
  EXPECT_EQ(Caption(), "Build qf05.EXE complete!");
}

TEST_F(FlashProgramBuild, OutputNameTakesAtMostFourCharactersAsWritten) {
  struct Case {
    std::string file, output, name5, caption;
  } cases[] = {
    // The caption keeps the message's own format, "%4.4s".
    {"A.B", "A.B.EXE", "A.B", "Build  A.B.EXE complete!"},
#if !defined(_WIN32)
    // Only '/' separates folders here: a backslash is part of the name.
    {"Q\\F5.BIN", "Q\\F5.EXE", "Q\\F5.", "Build Q\\F5.EXE complete!"},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    tk = HeadlessToolkit();
    Build(c.file, Pattern(16384, 2));
    EXPECT_TRUE(tk.dialogs.empty());
    EXPECT_TRUE(ReadAll(dir_ + "/" + c.output) ==
                Expected(Header(c.name5, 16384), Pattern(16384, 2)));
    EXPECT_EQ(Caption(), c.caption);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/ A.B.EXE"));
  }
}

TEST_F(FlashProgramBuild, ExistingOutputIsOverwrittenWithoutAQuestion) {
  WriteFile(dir_ + "/qf05.EXE", std::string(3 * 1024 * 1024, 'x'));
  Build("qf05.bin", Pattern(32768, 5));
  EXPECT_TRUE(tk.dialogs.empty());
  EXPECT_TRUE(ReadAll(dir_ + "/qf05.EXE") == Expected(Header("QF05.", 32768), Pattern(32768, 5)));
}

#if !defined(_WIN32)  // Windows files carry no permission bits
TEST_F(FlashProgramBuild, BuiltProgramKeepsTheProgramsPermissionBits) {
  ASSERT_EQ(chmod(fake.modulePath.c_str(), 0751), 0);
  Build("qf05.bin", Pattern(16384, 5));
  struct stat info;
  ASSERT_EQ(stat((dir_ + "/qf05.EXE").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0751u);
}
#endif

// The byte that breaks a partial match is not tried again as the key's first byte, and
// the first complete occurrence counts.
TEST_F(FlashProgramBuild, KeySearchFindsTheFirstOccurrenceThatStartsAfterNoPartialMatch) {
  std::string key = KeyText();
  const std::size_t kNone = std::string::npos;
  struct Case {
    std::string before;
    std::size_t headerAt;  // in `before`; kNone: the key is not found
  } cases[] = {
      {"Q" + key, kNone},                   // "QQ731-...": begins inside a partial match
      {key.substr(0, 5) + key, kNone},      // broken after five characters by a "Q"
      {"Q" + key + "...." + key, 35},       // a later clean occurrence is found
      {key.substr(0, 14) + "x" + key, 30},  // broken by a byte that is not "Q"
      {"x" + key, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    tk = HeadlessToolkit();
    std::filesystem::remove(dir_ + "/qf05.EXE");
    Bytes file = Append(Pattern(2000, 4), Bytes(c.before.begin(), c.before.end()));
    file = Append(file, Pattern(600000, 8));
    WriteAll(fake.modulePath, file);
    Build("qf05.bin", {});
    if (c.headerAt == kNone) {
      EXPECT_EQ(DialogTexts(),
                std::vector<std::string>{"Building fail: not found key-word in KFLASH.EXE"});
      EXPECT_FALSE(std::filesystem::exists(dir_ + "/qf05.EXE"));
      continue;
    }
    EXPECT_TRUE(tk.dialogs.empty());
    std::size_t at = 2000 + c.headerAt;
    Bytes out = ReadAll(dir_ + "/qf05.EXE");
    ASSERT_EQ(out.size(), file.size());
    EXPECT_EQ(std::string(out.begin() + static_cast<long>(at),
                          out.begin() + static_cast<long>(at + kModel.size() + 1)),
              kModel + std::string(1, '\0'));
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<long>(at), file.begin()));
    EXPECT_TRUE(std::equal(out.begin() + static_cast<long>(at + kBuildHeaderSize), out.end(),
                           file.begin() + static_cast<long>(at + kBuildHeaderSize)));
  }
}

TEST_F(FlashProgramBuild, OnlyTheFirstOfTwoKeysIsWrittenAfter) {
  Bytes file = Append(program_.bytes, Key());
  file = Append(file, Pattern(400, 6));
  WriteAll(fake.modulePath, file);
  Build("qf05.bin", Pattern(16384, 1));
  Bytes out = ReadAll(dir_ + "/qf05.EXE");
  ASSERT_EQ(out.size(), file.size());
  std::size_t second = program_.bytes.size() + kBuildKeySize;
  EXPECT_TRUE(std::equal(out.begin() + static_cast<long>(second), out.end(),
                         file.begin() + static_cast<long>(second)));
  EXPECT_EQ(out[program_.headerAt], static_cast<std::uint8_t>(kModel[0]));
}

// Every refusal and failure: its message, no partial file, an earlier build intact, and
// every file closed.
TEST_F(FlashProgramBuild, RefusalsAndFailuresLeaveNoPartialFileAndKeepTheOldOne) {
  const std::string old = "an earlier build";
  const std::string lengthRule =
      " bytes long: a firmware image must be a multiple of 16384 bytes and at most 524288 bytes.";
  const std::string notAFile = "qf05.bin is not a file: a firmware image is read from a file.";
  struct Case {
    const char* what;
    std::size_t firmwareSize;
    std::function<void()> arrange;  // before the Build click
    std::string message;
  } cases[] = {
    {"longer than the area", kFirmwareAreaSize + 16384, {}, "qf05.bin is 540672" + lengthRule},
    {"not whole chunks", 16385, {}, "qf05.bin is 16385" + lengthRule},
    {"firmware file gone", 16384, [&] { std::filesystem::remove(dir_ + "/qf05.bin"); },
     "Open qf05.bin fail!"},
    {"program file gone", 16384, [&] { std::filesystem::remove(fake.modulePath); },
     "Open " + fake.modulePath + " fail!"},
    {"output not created", 16384, [&] { fake.refuseCreate = true; }, "Create qf05.EXE Fail"},
    {"key missing", 16384, [&] { WriteAll(fake.modulePath, Pattern(700000, 1)); },
     "Building fail: not found key-word in KFLASH.EXE"},
    {"image past the end", 16384,
     [&] { WriteAll(fake.modulePath, Append(Pattern(1000, 1), Append(Key(), Pattern(9000, 2)))); },
     "Building fail: some problem in KFLASH.EXE"},
    // A failing read delivers nothing: the image would be all zeros.
    {"firmware unreadable", 16384, [&] { fake.unreadableFile = dir_ + "/qf05.bin"; },
     "Building fail: some problem in KFLASH.EXE"},
    {"disk full", 16384, [&] { fake.writeRoom = 200000; },
     "Building fail: some problem in KFLASH.EXE"},
    {"move refused", 16384, [&] { fake.moveError = FakePlatform::kErrorAccessDenied; },
     "Create qf05.EXE Fail"},
    {"no model chosen", 16384, [&] { tk.UserTypesIntoCombo("KRW"); },
     "Choose a model from the list first."},
    // Its length taken modulo 4 GiB would be a good one.
    {"4 GiB and more", 16384,
     [&] { std::filesystem::resize_file(dir_ + "/qf05.bin", (std::uint64_t{1} << 32) + 16384); },
     "qf05.bin is 4294983680" + lengthRule},
    {"a folder", 16384,
     [&] {
       std::filesystem::remove(dir_ + "/qf05.bin");
       std::filesystem::create_directory(dir_ + "/qf05.bin");
     },
     notAFile},
#if !defined(_WIN32)
    // Opening it would wait for a writer forever.
    {"a FIFO", 16384,
     [&] {
       std::filesystem::remove(dir_ + "/qf05.bin");
       ASSERT_EQ(mkfifo((dir_ + "/qf05.bin").c_str(), 0644), 0);
     },
     notAFile},
    {"a device", 16384,
     [&] {
       std::filesystem::remove(dir_ + "/qf05.bin");
       std::filesystem::create_symlink("/dev/zero", dir_ + "/qf05.bin");
     },
     notAFile},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tk = HeadlessToolkit();
    fake.refuseCreate = false;
    fake.writeRoom.reset();
    fake.moveError.reset();
    fake.unreadableFile.clear();
    fake.filesOpened = fake.filesClosed = 0;
    std::filesystem::remove_all(dir_ + "/qf05.bin");
    WriteAll(fake.modulePath, program_.bytes);
    WriteFile(dir_ + "/qf05.EXE", old);
    Build("qf05.bin", Pattern(c.firmwareSize, 3), c.arrange);
    EXPECT_EQ(DialogTexts(), std::vector<std::string>{c.message});
    std::ifstream in(dir_ + "/qf05.EXE", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), old);
    EXPECT_FALSE(PartialFilesLeft());
    EXPECT_EQ(fake.filesOpened, fake.filesClosed);
    EXPECT_EQ(Caption(), "Building qf05.bin failed.");
  }
}

// The same file, whatever its path looks like; another file, however alike its name.
TEST_F(FlashProgramBuild, RefusesToWriteOverTheRunningProgramItself) {
  Bytes catalogue = ReadAll(dir_ + "/KFLASH.INI");
  struct Case {
    std::string program, currentDirectory;
    bool refused;
  } cases[] = {
    {"qf05.EXE", dir_, true},
    {"qf05.EXE", dir_ + "/", true},  // as at a root folder: "/" + name
#if defined(_WIN32)
    {"QF05.exe", dir_, true},  // a folder without case
#else
    {"QF05.exe", dir_, false},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program + " in " + c.currentDirectory);
    tk = HeadlessToolkit();
    std::filesystem::remove(dir_ + "/qf05.EXE");
    fake.modulePath = dir_ + "/" + c.program;
    fake.currentDirectory = c.currentDirectory;
    WriteAll(fake.modulePath, program_.bytes);
    WriteAll(dir_ + "/" + c.program.substr(0, 4) + ".INI", catalogue);
    Build("qf05.bin", Pattern(16384, 3));
    EXPECT_TRUE(ReadAll(fake.modulePath) == program_.bytes);
    EXPECT_FALSE(PartialFilesLeft());
    if (c.refused) {
      EXPECT_EQ(DialogTexts(),
                std::vector<std::string>{"Can't build qf05.EXE over the running program itself."});
      continue;
    }
    EXPECT_TRUE(tk.dialogs.empty());
    EXPECT_TRUE(ReadAll(dir_ + "/qf05.EXE") == Expected(Header("QF05.", 16384), Pattern(16384, 3)));
  }
}

// The build's own name until it is complete is never a file that is there: here the
// chosen firmware file, and another one.
TEST_F(FlashProgramBuild, PartialNameIsNeverAnExistingFile) {
  WriteFile(dir_ + "/qf05.EXE.1.building", "someone else's");
  Build("qf05.EXE.building", Pattern(16384, 4));
  EXPECT_TRUE(tk.dialogs.empty()) << tk.dialogs[0].text;
  EXPECT_TRUE(ReadAll(dir_ + "/qf05.EXE") == Expected(Header("QF05.", 16384), Pattern(16384, 4)));
  EXPECT_TRUE(ReadAll(dir_ + "/qf05.EXE.building") == Pattern(16384, 4));
  std::ifstream in(dir_ + "/qf05.EXE.1.building", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "someone else's");
}

}  // namespace
