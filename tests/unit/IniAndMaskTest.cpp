#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/IniReader.h"
#include "toolkit/FileMask.h"

namespace {

class Ini : public ::testing::Test {
 protected:
  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string Read(const char* section, const char* key, win::DWORD size = 2048) {
    std::string buffer(size ? size : 1, 'x');
    win::DWORD n = ReadPrivateProfileString(section, key, "FAIL", &buffer[0], size, path_);
    lastLength_ = n;
    return buffer.substr(0, n);
  }
  void TearDown() override { std::remove(path_.c_str()); }
  // One file per test: CTest runs tests side by side.
  std::string path_ = testing::TempDir() + "ini_" +
                      testing::UnitTest::GetInstance()->current_test_info()->name() + ".ini";
  win::DWORD lastLength_ = 0;
};

TEST_F(Ini, NamesMatchWithoutCaseAndBlanksAroundNamesAndValuesGo) {
  Write("[model00]\r\n  MODEL =  KRW-52088S  \r\nfw-range=QF01-QF2Z\r\n");
  EXPECT_EQ(Read("MODEL00", "Model"), "KRW-52088S");
  EXPECT_EQ(Read(" MODEL00 ", "FW-RANGE"), "QF01-QF2Z");
}

TEST_F(Ini, OnePairOfEnclosingQuotesIsRemoved) {
  Write("[S]\nA=\"KOR-VEL KRW-52088S  \"\nB=\"\"x\"\"\nC=\"open\nD='single'\n");
  EXPECT_EQ(Read("S", "A"), "KOR-VEL KRW-52088S  ");
  EXPECT_EQ(Read("S", "B"), "\"x\"");
  EXPECT_EQ(Read("S", "C"), "\"open");
  EXPECT_EQ(Read("S", "D"), "single");
}

TEST_F(Ini, MissingKeySectionOrFileGivesTheDefault) {
  Write("[S]\nA=1\nNoEquals\n[T]\nB=2\n");
  EXPECT_EQ(Read("S", "B"), "FAIL");
  EXPECT_EQ(Read("U", "A"), "FAIL");
  EXPECT_EQ(Read("S", "NoEquals"), "FAIL");
  std::remove(path_.c_str());
  EXPECT_EQ(Read("S", "A"), "FAIL");
}

TEST_F(Ini, EmptyValueIsNotMissing) {
  Write("[S]\nA=\nB=   \n");
  EXPECT_EQ(Read("S", "A"), "");
  EXPECT_EQ(Read("S", "B"), "");
}

TEST_F(Ini, FirstSectionAndFirstKeyWin) {
  Write("[S]\nA=first\nA=second\n[s]\nA=third\nB=only-in-second\n");
  EXPECT_EQ(Read("S", "A"), "first");
  EXPECT_EQ(Read("S", "B"), "FAIL");
}

TEST_F(Ini, CommentsAndKeysOutsideSectionsAreNotValues) {
  Write("A=outside\n; A=commented\n[S]\n;A=commented\nA=inside");  // no final newline
  EXPECT_EQ(Read("S", "A"), "inside");
}

TEST_F(Ini, LongValueIsCutToTheBuffer) {
  std::string value(3000, 'v');
  Write("[S]\nA=" + value + "\n");
  EXPECT_EQ(Read("S", "A"), std::string(2047, 'v'));
  EXPECT_EQ(lastLength_, 2047u);
  EXPECT_EQ(Read("S", "A", 5), "vvvv");
}

// A file is parsed once and kept while it stays as it was: a rewrite of the same size, a
// new file under the same name, another file, and a rewrite too soon for the file
// system's clock to tell must all be seen.
TEST_F(Ini, ChangedFileIsReadAgain) {
  namespace fs = std::filesystem;
  auto setTime = [](const std::string& path, std::chrono::seconds ago) {
    fs::last_write_time(path, fs::file_time_type::clock::now() - ago);
  };
  const std::chrono::hours hour(1);
  Write("[S]\nA=1\n");
  setTime(path_, hour);
  EXPECT_EQ(Read("S", "A"), "1");
  Write("[S]\nA=2\n");
  setTime(path_, hour - std::chrono::seconds(1));
  EXPECT_EQ(Read("S", "A"), "2");
  std::string other = path_ + ".new";
  std::ofstream(other, std::ios::binary) << "[S]\nA=3\n";
  fs::last_write_time(other, fs::last_write_time(path_));
  fs::rename(other, path_);
  EXPECT_EQ(Read("S", "A"), "3");
  std::ofstream(other, std::ios::binary) << "[S]\nA=4\n";
  char value[8];
  EXPECT_EQ(ReadPrivateProfileString("S", "A", "", value, sizeof value, other), 1u);
  EXPECT_EQ(value[0], '4');
  EXPECT_EQ(Read("S", "A"), "3");
  std::remove(other.c_str());
  Write("[S]\nA=5\n");
  EXPECT_EQ(Read("S", "A"), "5");
  auto written = fs::last_write_time(path_);
  Write("[S]\nA=6\n");
  fs::last_write_time(path_, written);
  EXPECT_EQ(Read("S", "A"), "6");
}

// Windows' own text is UTF-16; the program's on Linux is UTF-8.
TEST_F(Ini, Utf16TextArrivesAsUtf8) {
  std::u16string text = u"[S]\r\nA=Korvel \u00dc \U0001F4BF\r\nB=\xd800x\r\n";
  std::string bytes = "\xff\xfe";
  for (char16_t c : text) bytes += {static_cast<char>(c & 0xff), static_cast<char>(c >> 8)};
  Write(bytes);
  EXPECT_EQ(Read("S", "A"), "Korvel \xc3\x9c \xf0\x9f\x92\xbf");
  EXPECT_EQ(Read("S", "B"), "\xef\xbf\xbdx");  // a lone surrogate
}

TEST(FileMask, MatchesAsWindowsDoes) {
  EXPECT_TRUE(MatchesFileMask("qf05.bin", "QF*.BIN"));
  EXPECT_TRUE(MatchesFileMask("QF05.BIN", "qf??.bin"));
  EXPECT_FALSE(MatchesFileMask("QF5.BIN", "QF??.BIN"));
  EXPECT_TRUE(MatchesFileMask("README", "*.*"));
  EXPECT_TRUE(MatchesFileMask("a.b.c", "*.c"));
  EXPECT_FALSE(MatchesFileMask("a.bin.bak", "*.bin"));
  EXPECT_TRUE(MatchesFileMask("anything", "*"));
  EXPECT_FALSE(MatchesFileMask("anything", ""));
  EXPECT_TRUE(MatchesFileMask("x", "*x*"));
}

}  // namespace
