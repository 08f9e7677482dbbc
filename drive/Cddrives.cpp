#include "drive/Cddrives.h"

#include <vector>

#include "drive/Cddrive.h"
#include "platform/Platform.h"
#include "platform/WinConstants.h"

namespace {

constexpr int kRootStride = 4;  // letter, colon, backslash, zero
constexpr int kRootReadAttempts = 4;

// The roots as the system filled them in, with a zero of our own behind them. A list
// longer than the first buffer is read again with the size the system asks for.
std::vector<char> ReadDriveRoots() {
  std::vector<char> roots(kDriveRootsBufferSize, '\0');
  win::DWORD filled = Os().GetLogicalDriveStringsA(kDriveRootsBufferSize, roots.data());
  for (int attempt = 0; filled > roots.size() && attempt < kRootReadAttempts; ++attempt) {
    roots.assign(filled, '\0');
    filled = Os().GetLogicalDriveStringsA(static_cast<win::DWORD>(roots.size()), roots.data());
  }
  if (filled > roots.size()) filled = 0;
  roots.resize(filled);
  roots.push_back('\0');
  return roots;
}

// A drive whose ASPI request never ended stays: the layer may still write into it.
void Release(CDDrive* drive) {
  if (drive && !drive->RequestStuck) delete drive;
}

}  // namespace

CDDrives::CDDrives() {
  DriveCount = 0;
  CurrentIndex = 0;
  win::OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  Os().GetVersionExA(&version);
  if (version.dwPlatformId == win::VER_PLATFORM_WIN32_NT) {
    EnumerateDriveLetters();
  } else {
    ScanAspiAddresses();
  }
  if (DriveCount > 0) SelectDrive(0);
}

CDDrives::~CDDrives() {
  for (CurrentIndex = DriveCount - 1; CurrentIndex >= 0; --CurrentIndex) {
    Release(DriveSlots[CurrentIndex]);
    DriveSlots[CurrentIndex] = nullptr;
  }
  CurrentIndex = 0;
}

void CDDrives::EnumerateDriveLetters() {
  std::vector<char> roots = ReadDriveRoots();
  std::size_t filled = roots.size() - 1;
  for (std::size_t at = 0; at < filled && roots[at] != '\0'; at += kRootStride) {
    if (Os().GetDriveTypeA(&roots[at]) == win::DRIVE_CDROM) Probe(roots[at], 0, 0);
  }
}

void CDDrives::ScanAspiAddresses() {
  for (int adapter = 0; adapter < kAspiAdapters; ++adapter) {
    for (int target = 0; target < kAspiTargets; ++target) {
      Probe(' ', static_cast<std::uint8_t>(adapter), static_cast<std::uint8_t>(target));
    }
  }
}

void CDDrives::Probe(char letter, std::uint8_t adapter, std::uint8_t target) {
  auto* drive = new CDDrive(static_cast<std::uint8_t>(letter), adapter, target, 0);
  // Objects not kept are released at once; their destructor leaves the open count as
  // it was before the probe and the ASPI library loaded.
  if (drive->OpenStatus() != kOpenOk || CurrentIndex >= kDriveSlots) {
    Release(drive);
    return;
  }
  DriveSlots[CurrentIndex] = drive;
  ++CurrentIndex;
  ++DriveCount;
}

std::uint8_t CDDrives::GetCount() const {
  return DriveCount;
}

bool CDDrives::SelectDrive(std::int16_t index) {
  if (index < 0 || index >= DriveCount) return false;
  CurrentIndex = index;
  SelectedDrive = DriveSlots[index];
  return true;
}
