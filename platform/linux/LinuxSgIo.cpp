// The pass-through record as an SG_IO request on the drive's device node, and the
// kernel's answer back in the record as the Windows port driver leaves it.
#include <scsi/sg.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <future>
#include <system_error>

#include "platform/ScsiPassThrough.h"
#include "platform/WinConstants.h"
#include "platform/linux/LinuxInternal.h"
#include "platform/linux/LinuxPlatform.h"

using namespace linuxplatform;

namespace {

constexpr std::uint8_t kDidTimeOut = 0x03;     // host_status
constexpr std::uint8_t kDriverTimeout = 0x06;  // driver_status, low bits

// The record's own view of itself, checked before anything goes to the kernel.
bool ValidRecord(const SCSI_PASS_THROUGH_DIRECT& sptd, win::DWORD inSize, win::DWORD outSize) {
  if (inSize < sizeof sptd || outSize < sizeof sptd || sptd.Length != sizeof sptd) return false;
  if (sptd.CdbLength == 0 || sptd.CdbLength > sizeof sptd.Cdb) return false;
  if (sptd.DataIn > win::SCSI_IOCTL_DATA_IN && sptd.DataTransferLength != 0) return false;
  if (sptd.DataTransferLength != 0 && !sptd.DataBuffer) return false;
  if (sptd.SenseInfoLength == 0) return true;
  return sptd.SenseInfoOffset >= sizeof sptd &&
         static_cast<std::uint64_t>(sptd.SenseInfoOffset) + sptd.SenseInfoLength <= outSize;
}

sg_io_hdr ToSgIo(SCSI_PASS_THROUGH_DIRECT& sptd, unsigned char* sense) {
  sg_io_hdr header = {};
  header.interface_id = 'S';
  if (sptd.DataTransferLength == 0) {
    header.dxfer_direction = SG_DXFER_NONE;
  } else {
    header.dxfer_direction =
        sptd.DataIn == win::SCSI_IOCTL_DATA_IN ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
  }
  header.cmd_len = sptd.CdbLength;
  header.mx_sb_len = sptd.SenseInfoLength;
  header.dxfer_len = sptd.DataTransferLength;
  header.dxferp = sptd.DataBuffer;
  header.cmdp = sptd.Cdb;
  header.sbp = sense;
  std::uint64_t ms = static_cast<std::uint64_t>(sptd.TimeOutValue) * 1000;
  header.timeout = static_cast<unsigned>(std::min<std::uint64_t>(ms, UINT_MAX));
  return header;
}

// Status, sense and the length moved go back into the record as the Windows driver
// leaves them; returns the bytes of the record that now hold results.
win::DWORD FromSgIo(const sg_io_hdr& header, const unsigned char* sense, std::uint8_t* record) {
  auto& sptd = *reinterpret_cast<SCSI_PASS_THROUGH_DIRECT*>(record);
  sptd.ScsiStatus = header.status;
  // A negative residual is an overrun: the buffer is full. One beyond the transfer tells
  // nothing of what moved: say nothing did.
  if (header.resid < 0) {
    sptd.DataTransferLength = header.dxfer_len;
  } else {
    auto resid = static_cast<unsigned>(header.resid);
    sptd.DataTransferLength = resid <= header.dxfer_len ? header.dxfer_len - resid : 0;
  }
  std::size_t senseBytes = std::min<std::size_t>(header.sb_len_wr, sptd.SenseInfoLength);
  if (senseBytes > 0) std::memcpy(record + sptd.SenseInfoOffset, sense, senseBytes);
  return static_cast<win::DWORD>(
      std::max<std::size_t>(sizeof sptd, senseBytes ? sptd.SenseInfoOffset + senseBytes : 0));
}

// Runs the blocking call on a thread of its own while this one keeps the window alive;
// without a thread the call is made here, and the window waits for it.
template <class Call>
auto CallAlive(Call call) {
  WaitHook* hook = InstalledWaitHook();
  if (!hook) return call();
  std::future<decltype(call())> result;
  try {
    result = std::async(std::launch::async, call);
  } catch (const std::system_error&) {
    return call();
  }
  while (result.wait_for(std::chrono::milliseconds(kKeepAliveSliceMs)) != std::future_status::ready)
    hook->KeepAlive();
  return result.get();
}

// The kernel returned, but did the command reach the drive and come back?
int TransportError(const sg_io_hdr& header) {
  bool hostTimeout = header.host_status == kDidTimeOut;
  bool driverTimeout = (header.driver_status & 0x07) == kDriverTimeout;
  if (hostTimeout || driverTimeout) return ETIMEDOUT;
  if (header.host_status != 0 || (header.driver_status & 0x07) != 0) return EIO;
  return 0;
}

}  // namespace

win::BOOL LinuxPlatform::DeviceIoControl(win::HANDLE device, win::DWORD code, void* in,
                                         win::DWORD inSize, void* out, win::DWORD outSize,
                                         win::DWORD* returned, void*) {
  if (returned) *returned = 0;
  if (code != win::IOCTL_SCSI_PASS_THROUGH_DIRECT) return Fail(ENOTTY);
  if (!in || !out) return Fail(EINVAL);
  if (in != out) std::memmove(out, in, std::min(inSize, outSize));
  auto* record = static_cast<std::uint8_t*>(out);
  auto& sptd = *reinterpret_cast<SCSI_PASS_THROUGH_DIRECT*>(record);
  if (!ValidRecord(sptd, inSize, outSize)) return Fail(EINVAL);
  unsigned char sense[256] = {};
  sg_io_hdr header = ToSgIo(sptd, sense);
  // errno belongs to the thread that made the call.
  const int error = CallAlive([&] { return sgIo_(Descriptor(device), &header) < 0 ? errno : 0; });
  if (error) return Fail(error);
  win::DWORD filled = FromSgIo(header, sense, record);
  if (returned) *returned = filled;
  if (int error = TransportError(header)) return Fail(error);
  lastError = 0;
  return 1;
}
