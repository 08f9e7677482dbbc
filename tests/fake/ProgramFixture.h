// The whole program against the headless toolkit, the fake platform and the emulated
// drive, with a payload of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

#include "app/FlashForm.h"
#include "app/Program.h"
#include "drive/Cddrive.h"
#include "package/FlashPayload.h"
#include "tests/fake/FakePlatform.h"
#include "toolkit/headless/HeadlessToolkit.h"

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    payload_.reset(new FlashPayloadRecord(FlashPayload));
    MakeFlashProgram();
    UsePayload(payload_.get());
    InstallPlatform(&fake);
    InstallToolkit(&tk);
  }
  void TearDown() override {
    cddrive::ResetModule();
    UsePayload(nullptr);
    InstallToolkit(nullptr);
    InstallPlatform(nullptr);
  }

  FlashPayloadRecord& P() { return *payload_; }

  static void SetText(char* field, const std::string& text, std::size_t width = kTextFieldSize) {
    std::memset(field, 0, width);
    std::memcpy(field, text.data(), std::min(text.size(), width));
  }
  void SetLength(std::uint32_t length) {
    for (int i = 0; i < 4; ++i)
      P().FirmwareLength[i] = static_cast<std::uint8_t>(length >> (8 * i));
  }
  // A flash program for the example model carrying a recognisable image.
  void MakeFlashProgram() {
    SetText(P().ModelText, "KRW-52088S");
    SetText(P().InquiryText, "KOR-VEL KRW-52088S");
    SetText(P().FirmwareRange, "QF01-QF2Z");
    SetText(P().VendorText, "Korvel-XQ");
    SetText(P().NoteText, "Korvel");
    std::memcpy(P().FirmwareName, "QF05.", 5);
    SetLength(0x80000);
    for (std::size_t i = 0; i < kFirmwareAreaSize; ++i)
      P().FirmwareImage[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
    P().FirmwareImage[0x4000] = 0x02;  // no variant marker
    P().FirmwareImage[0x4008] = 0x82;
    P().FirmwareImage[0x1100] = 0x00;
  }
  void MakeBuilder() { std::memcpy(P().FirmwareImage, "QIRM", 4); }
  // The builder as KFLASH.EXE in a fresh folder of the test's own, which is also the
  // current directory; returns the folder.
  std::string PlaceBuilder() {
    MakeBuilder();
    std::string dir = TempDir();
    fake.modulePath = dir + "/KFLASH.EXE";
    fake.currentDirectory = dir;
    return dir;
  }

  emu::DriveConfig Drive(char letter, const std::string& revision = "QF01",
                         const std::string& product = "KRW-52088S") {
    emu::DriveConfig c;
    c.letter = letter;
    c.revision = revision;
    c.product = product;
    return c;
  }
  static std::string Description(char letter, const std::string& id) {
    return std::string("0-0-0 ") + letter + ": " + id;
  }

  // Runs the program to its end; the user actions run while the window is shown.
  int Run() { return ProgramMain(); }
  const DialogRecord* LastDialog() const {
    return tk.dialogs.empty() ? nullptr : &tk.dialogs.back();
  }

  // Of this process's own: the sanitizer build's run of the same test may be running
  // beside it.
  std::string TempDir() {
    std::string dir = testing::TempDir() + "korvel_" + std::to_string(ProcessId()) + "_" +
                      testing::UnitTest::GetInstance()->current_test_info()->name();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    std::filesystem::create_directories(dir);
    return dir;
  }
  static unsigned long ProcessId() {
#if defined(_WIN32)
    return static_cast<unsigned long>(_getpid());
#else
    return static_cast<unsigned long>(getpid());
#endif
  }
  static void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  FakePlatform fake;
  HeadlessToolkit tk;
  std::unique_ptr<FlashPayloadRecord> payload_;
};
