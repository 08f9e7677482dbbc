// The drives the program can talk to, found once at start-up: every CD-ROM drive letter
// on the NT family, every ASPI address that answers INQUIRY elsewhere.
#pragma once

#include <cstdint>

class CDDrive;

constexpr int kDriveSlots = 24;
constexpr int kAspiAdapters = 20;
constexpr int kAspiTargets = 2;
constexpr std::uint32_t kDriveRootsBufferSize = 80;

class CDDrives {
 public:
  CDDrives();
  ~CDDrives();
  CDDrives(const CDDrives&) = delete;
  CDDrives& operator=(const CDDrives&) = delete;

  std::uint8_t GetCount() const;
  bool SelectDrive(std::int16_t index);

  std::uint8_t DriveCount = 0;
  std::int32_t CurrentIndex = 0;
  CDDrive* DriveSlots[kDriveSlots] = {};
  CDDrive* SelectedDrive = nullptr;

 private:
  void EnumerateDriveLetters();
  void ScanAspiAddresses();
  void Probe(char letter, std::uint8_t adapter, std::uint8_t target);
};
