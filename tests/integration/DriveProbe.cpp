// Runs the program's own drive code over the real platform layer against the emulated
// drives of an installed ASPI layer (libwnaspi32.so or WNASPI32.DLL beside this file):
// enumerates, identifies, and sends a few commands to each drive, printing what it
// sees one line at a time for the test that runs it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "drive/Cddrive.h"
#include "drive/Cddrives.h"
#include "platform/Platform.h"
#include "platform/WinConstants.h"
#include "toolkit/headless/HeadlessToolkit.h"

#ifdef _WIN32
#include "platform/win32/Win32Platform.h"
using NativePlatform = Win32Platform;
#else
#include "platform/linux/LinuxPlatform.h"
using NativePlatform = LinuxPlatform;
#endif

namespace {

constexpr std::uint32_t kChunk = 16384;

// Judged as the flash judges it: done, with the whole data phase where there is one.
void Report(int index, const char* step, CDDrive& drive, std::uint32_t needed = 0) {
  std::printf("drive %d: %s: completed %d status %s\n", index, step,
              drive.LastCommandCompleted(needed) ? 1 : 0, drive.GetStatusText().c_str());
}

void Exercise(int index, CDDrive& drive, std::vector<std::uint8_t>& buffer) {
  std::printf("drive %d: description \"%s\"\n", index, drive.GetDescription().c_str());
  std::printf("drive %d: vendor-product \"%s\" revision \"%s\"\n", index,
              drive.GetVendorProduct().c_str(), drive.GetRevision().c_str());
  drive.ExecuteCommand(0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0);
  Report(index, "test unit ready", drive);

  drive.ExecuteCommand(0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 128);
  Report(index, "flash id", drive, 128);
  std::printf("drive %d: flash id bytes %02X %02X %02X %02X\n", index, buffer[0], buffer[1],
              buffer[2], buffer[3]);

  std::vector<std::uint8_t> chunk(kChunk);
  for (std::uint32_t i = 0; i < kChunk; ++i) chunk[i] = static_cast<std::uint8_t>(i * 7 + index);
  std::memcpy(buffer.data(), chunk.data(), kChunk);
  drive.ExecuteCommand(0x3B, 0x05, 0x01, 0, 0, 0, 0x00, 0x40, 0x00, 0x00, 0, 0, 0, kChunk);
  Report(index, "write buffer", drive, kChunk);
  std::memset(buffer.data(), 0, kChunk);
  drive.ExecuteCommand(0x3C, 0x01, 0x01, 0, 0, 0, 0x00, 0x40, 0x00, 0, 0, 0, 1, kChunk);
  Report(index, "read buffer", drive, kChunk);
  std::printf("drive %d: read back %s\n", index,
              std::memcmp(buffer.data(), chunk.data(), kChunk) == 0 ? "same" : "different");

  drive.ExecuteCommand(0xEE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0);
  Report(index, "unknown opcode", drive);
  drive.ExecuteCommand(0x3C, 0x01, 0x01, 0, 0, 0, 0x00, 0x40, 0x01, 0, 0, 0, 1, kChunk + 1);
  Report(index, "oversized read", drive, kChunk + 1);
}

// A drive that never answers: the wait ends at the time-out and the request is aborted.
void Stall(int index, CDDrive& drive) {
  drive.SetTimeout(1);
  drive.ExecuteCommand(0x4E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0);
  Report(index, "stop play", drive);
  drive.SetTimeout(60);
  drive.ExecuteCommand(0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0);
  Report(index, "test unit ready after", drive);
}

}  // namespace

int main() {
  NativePlatform platform;
  HeadlessToolkit toolkit;
  InstallPlatform(&platform);
  InstallToolkit(&toolkit);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // Only the emulated drives: the NT family would mean real device nodes.
  win::OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  Os().GetVersionExA(&version);
  if (version.dwPlatformId == win::VER_PLATFORM_WIN32_NT) {
    std::printf("family: nt (no ASPI layer in use), stopping\n");
    return 2;
  }
  std::printf("family: aspi %u.%u\n", static_cast<unsigned>(version.dwMajorVersion),
              static_cast<unsigned>(version.dwMinorVersion));

  std::vector<std::uint8_t> buffer(kChunk);
  {
    CDDrives drives;
    std::printf("drives: %d\n", drives.GetCount());
    for (int i = 0; i < drives.GetCount(); ++i) {
      drives.SelectDrive(static_cast<std::int16_t>(i));
      CDDrive& drive = *drives.SelectedDrive;
      drive.SetDataBuffer(buffer.data(), kChunk);
      Exercise(i, drive, buffer);
    }
    if (drives.GetCount() > 1) {
      drives.SelectDrive(1);
      Stall(1, *drives.SelectedDrive);
    }
    std::printf("open count: %d\n", cddrive::OpenCount());
  }
  std::printf("released: open count %d\n", cddrive::OpenCount());
  for (const DialogRecord& dialog : toolkit.dialogs) {
    std::printf("dialog: %s\n", dialog.text.c_str());
  }
  std::printf("dialogs: %d\n", static_cast<int>(toolkit.dialogs.size()));
  return 0;
}
