// One optical drive behind the command transport: 12-byte command blocks sent through
// the ASPI for Win32 layer (outside the NT family) or the SCSI pass-through (NT family),
// identification, the sense bytes of the last command and their texts. Much of the state
// is module-wide and shared by every drive object: one back end, one time-out, one data
// buffer, one identification buffer, the open count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Aspi.h"
#include "platform/ScsiPassThrough.h"
#include "platform/WinTypes.h"

// Open status codes of the most recent construction.
constexpr std::uint8_t kOpenOk = 0x00;
constexpr std::uint8_t kOpenAspiNotReady = 0x60;      // support info reported no success
constexpr std::uint8_t kOpenAspiEntryMissing = 0x61;  // an entry point is missing
constexpr std::uint8_t kOpenAspiNotLoaded = 0x62;     // WNASPI32.DLL failed to load
constexpr std::uint8_t kOpenFailed = 0x63;            // no device, or no INQUIRY answer

constexpr std::uint32_t kInternalDataBufferSize = 2352;
constexpr std::uint32_t kIdentificationBufferSize = 256;

// StatusByte of a command that the transport refused to send because its transfer does
// not fit the installed buffer (ASPI's SS_BUFFER_TO_BIG, used on both back ends).
constexpr std::uint8_t kStatusBufferTooBig = 0xE6;
// StatusByte of every command refused because an earlier request of the drive, or one
// that holds the data phase's buffer, did not end when aborted (ASPI's SS_ABORT_FAIL).
constexpr std::uint8_t kStatusRequestStuck = 0xE3;
// The standard INQUIRY data the description reads: vendor, product and revision end at
// byte 36. A drive may return less than the 128 bytes asked, never less than this.
constexpr std::uint32_t kInquiryDataNeeded = 36;
// What the identification buffer holds before each INQUIRY: no identification byte
// (printable ASCII) is ever this.
constexpr std::uint8_t kNoIdentification = 0xFF;
// The alignment of every buffer the transport hands to the system: a page, more than
// any adapter's alignment mask demands.
constexpr std::size_t kTransferAlignment = 4096;

class CDDrive {
 public:
  CDDrive(std::uint8_t driveLetter, std::uint8_t hostAdapter, std::uint8_t targetId,
          std::uint8_t lun);
  ~CDDrive();
  CDDrive(const CDDrive&) = delete;
  CDDrive& operator=(const CDDrive&) = delete;

  // Pass-through: 1 on success; ASPI: transferLength on success. 0 on failure.
  std::uint32_t ExecuteCommand(std::uint8_t cdb0, std::uint8_t cdb1, std::uint8_t cdb2,
                               std::uint8_t cdb3, std::uint8_t cdb4, std::uint8_t cdb5,
                               std::uint8_t cdb6, std::uint8_t cdb7, std::uint8_t cdb8,
                               std::uint8_t cdb9, std::uint8_t cdb10, std::uint8_t cdb11,
                               std::uint8_t dataIn, std::uint32_t transferLength);
  // The judgement of the last command: the transport completed it with status GOOD, the
  // sense triple is 0/0/0, and its data phase moved at least `needed` bytes (a caller
  // that uses the data asks for all of it). The numeric result of ExecuteCommand cannot
  // tell a data-less ASPI success from a failure, and the sense bytes alone cannot tell
  // a failed transport, a BUSY drive or a short transfer from a good answer.
  bool LastCommandCompleted(std::uint32_t needed) const;
  bool SenseEquals(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) const;
  std::string GetStatusText() const;
  void ReportSenseError();

  bool OpenDevice();
  bool Identify();
  std::string GetDescription();
  std::string GetVendorProduct() const;
  std::string GetRevision() const;

  // Module-wide.
  void SetTimeout(std::uint16_t seconds);
  std::uint8_t OpenStatus() const;
  std::uint8_t* GetDataBuffer() const;
  void SetDataBuffer(std::uint8_t* buffer, std::uint32_t length);
  std::uint32_t GetDataBufferLength() const;

  // Fields.
  char DriveLetter = ' ';
  std::uint8_t HostAdapter = 0;
  std::uint8_t TargetId = 0;
  std::uint8_t Lun = 0;
  std::uint8_t SenseKeyByte = 0;
  std::uint8_t SenseAsc = 0;
  std::uint8_t SenseAscq = 0;
  std::uint8_t StatusByte = 0;
  bool IoctlOk = false;
  win::HANDLE DeviceHandle = nullptr;
  ::PassThroughRequest PassThroughRequest = {};
  win::DWORD AccessMode = 0;
  win::DWORD ShareMode = 0;
  win::DWORD BytesReturned = 0;
  win::DWORD LastOsError = 0;
  aspi::SRB_ExecSCSICmd AspiRequest = {};
  std::string Description;
  // Beyond the published record fields, what the transport said of the last command:
  // that it reached the drive and came back with status GOOD (an ASPI underrun report
  // included), and how many bytes its data phase moved (0 where the transport cannot
  // tell). Whether this object entered the open count (only those leave it), and
  // whether one of its ASPI requests never ended: the layer may still write its record,
  // event and buffer, so none of them is ever reused or freed.
  bool TransportCompleted = false;
  std::uint32_t BytesMoved = 0;
  bool Counted = false;
  bool RequestStuck = false;

 private:
  bool LoadAspiLayer();
  bool RefuseOversizedTransfer(std::uint32_t transferLength);
  bool RefuseBehindStuckRequest(std::uint32_t transferLength);
  void NothingSent(std::uint8_t status, win::DWORD osError);
  std::uint8_t* PhaseBuffer() const;
  std::uint32_t ExecutePassThrough(const std::uint8_t cdb[12], std::uint8_t dataIn,
                                   std::uint32_t transferLength);
  std::uint32_t ExecuteAspi(const std::uint8_t cdb[12], std::uint8_t dataIn,
                            std::uint32_t transferLength);
  enum class AspiEnd { Ended, EndedUnsignalled, Stuck };
  AspiEnd WaitForAspi(win::HANDLE event);
  AspiEnd AbortAspi(win::HANDLE event);
  void ReadAspiResult(std::uint32_t transferLength);
  std::size_t DescriptionPrefixLength() const;
};

// The module-wide state, read-only, for tests and diagnostics.
namespace cddrive {
bool PassThroughBackEnd();
bool ErrorDisplay();
std::uint16_t OpenCount();
std::uint16_t Timeout();
win::HMODULE AspiLibrary();
const std::uint8_t* IdentificationBuffer();
const std::string& MessageText();
// A buffer an ASPI request that never ended may still write: its owner must not free it.
bool BufferHeld(const void* buffer);
// Back to the state before first use; frees a loaded ASPI library. Only with no drive
// open: test fixtures call it between cases.
void ResetModule();
}  // namespace cddrive
