// The whole program in this process on the Qt toolkit and the real Linux platform layer,
// with its executable placed in a folder of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include <QtCore/QTimer>
#include <QtWidgets/QWidget>

#include "app/Program.h"
#include "platform/linux/LinuxPlatform.h"
#include "toolkit/qt/QtToolkit.h"

// The Linux platform with the program in the folder and no device nodes at all.
class PlacedPlatform : public LinuxPlatform {
 public:
  explicit PlacedPlatform(const std::filesystem::path& folder)
      : LinuxPlatform(folder.string(), (folder / "dev").string(),
                      [](int, sg_io_hdr*) { return errno = ENODEV, -1; }),
        program_((folder / "korvel-flash").string()) {}
  win::DWORD GetModuleFileNameA(win::HMODULE, char* buffer, win::DWORD size) override {
    std::size_t n = std::min<std::size_t>(program_.size(), size - 1);
    std::memcpy(buffer, program_.data(), n);
    buffer[n] = '\0';
    return static_cast<win::DWORD>(n);
  }
  // A test must never restart the machine it runs on.
  win::BOOL ExitWindowsEx(win::UINT, win::DWORD) override {
    ++restarts;
    return 1;
  }
  int restarts = 0;

 private:
  std::string program_;
};

class QtProgramFixture : public ::testing::Test {
 public:
  // A fresh folder (with an empty dev/) for the program, the platform and toolkit installed.
  void PlaceProgram(const std::string& folderName) {
    folder = std::filesystem::path(testing::TempDir()) / folderName;
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder / "dev");
    platform = std::make_unique<PlacedPlatform>(folder);
    InstallPlatform(platform.get());
    InstallToolkit(&toolkit);
  }
  void TearDown() override {
    InstallToolkit(nullptr);
    InstallPlatform(nullptr);
  }

  QWidget* ShownMainWindow() {
    QWidget* window = toolkit.Widget(ControlId::Form);
    return window && window->isVisible() ? window : nullptr;
  }
  // Runs the program; `user` acts once the window shows and must close it. A watchdog
  // ends the loop if it does not.
  int RunProgram(const std::function<void(QWidget&)>& user, int watchdogMs = 30000) {
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (QWidget* window = ShownMainWindow()) {
        poll.stop();
        windowShown = true;
        user(*window);
      }
    });
    poll.start(10);
    QTimer::singleShot(watchdogMs, &poll, [&] {
      watchdogFired = true;
      toolkit.PostQuit();
    });
    return ProgramMain();
  }

  std::filesystem::path folder;
  std::unique_ptr<PlacedPlatform> platform;
  QtToolkit toolkit;
  bool windowShown = false;
  bool watchdogFired = false;
};
