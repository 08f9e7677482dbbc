// CDDrive's way to the drive: the refusals that send nothing, and the SCSI pass-through
// (the NT family; SG_IO on Linux). What came back is judged in Cddrive.cpp.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "drive/Cddrive.h"
#include "drive/CddriveModule.h"
#include "platform/Platform.h"
#include "platform/WinConstants.h"

using namespace cddrive::detail;

std::uint32_t CDDrive::ExecuteCommand(std::uint8_t cdb0, std::uint8_t cdb1, std::uint8_t cdb2,
                                      std::uint8_t cdb3, std::uint8_t cdb4, std::uint8_t cdb5,
                                      std::uint8_t cdb6, std::uint8_t cdb7, std::uint8_t cdb8,
                                      std::uint8_t cdb9, std::uint8_t cdb10, std::uint8_t cdb11,
                                      std::uint8_t dataIn, std::uint32_t transferLength) {
  const std::uint8_t cdb[12] = {cdb0, cdb1, cdb2, cdb3, cdb4,  cdb5,
                                cdb6, cdb7, cdb8, cdb9, cdb10, cdb11};
  if (RefuseOversizedTransfer(transferLength) || RefuseBehindStuckRequest(transferLength)) return 0;
  return M.passThrough ? ExecutePassThrough(cdb, dataIn, transferLength)
                       : ExecuteAspi(cdb, dataIn, transferLength);
}

std::uint8_t* CDDrive::PhaseBuffer() const {
  return M.identifying ? M.identification : M.dataBuffer;
}

// Nothing reaches the drive, so there is no sense and no drive status.
void CDDrive::NothingSent(std::uint8_t status, win::DWORD osError) {
  SenseKeyByte = SenseAsc = SenseAscq = 0;
  StatusByte = status;
  IoctlOk = false;
  LastOsError = osError;
  TransportCompleted = false;
  BytesMoved = 0;
}

bool CDDrive::RefuseOversizedTransfer(std::uint32_t transferLength) {
  std::uint32_t room = M.identifying ? kIdentificationBufferSize : M.dataBufferLength;
  if (!M.dataBuffer && !M.identifying) room = 0;
  bool noTransport = !M.passThrough && !M.sendCommand;
  if (transferLength <= room && !noTransport) return false;
  NothingSent(kStatusBufferTooBig, 0);
  return true;
}

// A request the layer never let go of may still write its record and its buffer.
bool CDDrive::RefuseBehindStuckRequest(std::uint32_t transferLength) {
  if (!RequestStuck && !(transferLength > 0 && Held(PhaseBuffer()))) return false;
  NothingSent(kStatusRequestStuck, 0);
  ReportSenseError();
  return true;
}

std::uint32_t CDDrive::ExecutePassThrough(const std::uint8_t cdb[12], std::uint8_t dataIn,
                                          std::uint32_t transferLength) {
  std::memset(&PassThroughRequest, 0, sizeof PassThroughRequest);
  SCSI_PASS_THROUGH_DIRECT& sptd = PassThroughRequest.Sptd;
  sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
  sptd.PathId = HostAdapter;
  sptd.TargetId = TargetId;
  sptd.Lun = Lun;
  sptd.CdbLength = 12;
  sptd.SenseInfoLength = 24;
  sptd.DataIn = dataIn == 1 ? win::SCSI_IOCTL_DATA_IN : win::SCSI_IOCTL_DATA_OUT;
  sptd.DataTransferLength = transferLength;
  sptd.TimeOutValue = M.timeout;
  sptd.DataBuffer = PhaseBuffer();
  sptd.SenseInfoOffset = offsetof(::PassThroughRequest, Sense);
  std::memcpy(sptd.Cdb, cdb, 12);

  win::BOOL ok =
      Os().DeviceIoControl(DeviceHandle, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, &PassThroughRequest,
                           sizeof PassThroughRequest, &PassThroughRequest,
                           sizeof PassThroughRequest, &BytesReturned, nullptr);
  IoctlOk = ok != 0;
  LastOsError = IoctlOk ? 0 : Os().GetLastError();
  StatusByte = sptd.ScsiStatus;
  TransportCompleted = IoctlOk && StatusByte == 0;
  BytesMoved = TransportCompleted ? std::min(sptd.DataTransferLength, transferLength) : 0;
  SenseKeyByte = PassThroughRequest.Sense[2];
  SenseAsc = PassThroughRequest.Sense[12];
  SenseAscq = PassThroughRequest.Sense[13];
  if (TransportCompleted && SenseKeyByte == 0) return 1;
  ReportSenseError();
  return 0;
}
