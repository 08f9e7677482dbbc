// The Windows SCSI pass-through record, as the system headers publish it, and the
// request the program hands to DeviceIoControl: the record, filler, and a 32-byte sense
// area behind it.
#pragma once

#include <cstddef>
#include <cstdint>

struct SCSI_PASS_THROUGH_DIRECT {
  std::uint16_t Length;
  std::uint8_t ScsiStatus;
  std::uint8_t PathId;
  std::uint8_t TargetId;
  std::uint8_t Lun;
  std::uint8_t CdbLength;
  std::uint8_t SenseInfoLength;
  std::uint8_t DataIn;
  std::uint32_t DataTransferLength;
  std::uint32_t TimeOutValue;  // seconds
  void* DataBuffer;
  std::uint32_t SenseInfoOffset;
  std::uint8_t Cdb[16];
};

struct PassThroughRequest {
  SCSI_PASS_THROUGH_DIRECT Sptd;
  std::uint32_t Filler;
  std::uint8_t Sense[32];
};

constexpr std::size_t kSptdPtr = sizeof(void*);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12, "DataTransferLength");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16, "TimeOutValue");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == (kSptdPtr == 4 ? 20 : 24),
              "DataBuffer");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == (kSptdPtr == 4 ? 24 : 32),
              "SenseInfoOffset");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == (kSptdPtr == 4 ? 28 : 36), "Cdb");
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == (kSptdPtr == 4 ? 44 : 56), "record size");
static_assert(offsetof(PassThroughRequest, Sense) == (kSptdPtr == 4 ? 48 : 60), "sense area");
static_assert(sizeof(PassThroughRequest) == (kSptdPtr == 4 ? 80 : 96), "request size");
