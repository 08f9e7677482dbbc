// ASPI for Win32, as published: the records are byte-packed and both entry points use
// the C calling convention.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/WinTypes.h"

namespace aspi {

constexpr std::uint8_t SC_HA_INQUIRY = 0x00;
constexpr std::uint8_t SC_EXEC_SCSI_CMD = 0x02;
constexpr std::uint8_t SC_ABORT_SRB = 0x03;

constexpr std::uint8_t SS_PENDING = 0x00;
constexpr std::uint8_t SS_COMP = 0x01;
constexpr std::uint8_t SS_ABORTED = 0x02;
constexpr std::uint8_t SS_ERR = 0x04;
constexpr std::uint8_t SS_INVALID_CMD = 0x80;
constexpr std::uint8_t SS_INVALID_HA = 0x81;
constexpr std::uint8_t SS_NO_DEVICE = 0x82;

constexpr std::uint8_t SRB_DIR_IN = 0x08;
constexpr std::uint8_t SRB_DIR_OUT = 0x10;
constexpr std::uint8_t SRB_EVENT_NOTIFY = 0x40;

constexpr int SENSE_LEN = 14;

#pragma pack(push, 1)
struct SRB_ExecSCSICmd {
  std::uint8_t SRB_Cmd;
  std::uint8_t SRB_Status;
  std::uint8_t SRB_HaId;
  std::uint8_t SRB_Flags;
  std::uint32_t SRB_Hdr_Rsvd;
  std::uint8_t SRB_Target;
  std::uint8_t SRB_Lun;
  std::uint16_t SRB_Rsvd1;
  std::uint32_t SRB_BufLen;
  std::uint8_t* SRB_BufPointer;
  std::uint8_t SRB_SenseLen;
  std::uint8_t SRB_CDBLen;
  std::uint8_t SRB_HaStat;
  std::uint8_t SRB_TargStat;
  void* SRB_PostProc;  // the event to signal, with SRB_EVENT_NOTIFY
  std::uint8_t SRB_Rsvd2[20];
  std::uint8_t CDBByte[16];
  std::uint8_t SenseArea[SENSE_LEN + 2];
};

struct SRB_Abort {
  std::uint8_t SRB_Cmd;
  std::uint8_t SRB_Status;
  std::uint8_t SRB_HaId;
  std::uint8_t SRB_Flags;
  std::uint32_t SRB_Hdr_Rsvd;
  void* SRB_ToAbort;
};
#pragma pack(pop)

constexpr std::size_t kPtr = sizeof(void*);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == 12, "SRB_BufLen");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16, "SRB_BufPointer");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == 16 + kPtr, "SRB_SenseLen");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 20 + kPtr, "SRB_PostProc");
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 40 + 2 * kPtr, "CDBByte");
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 56 + 2 * kPtr, "SenseArea");
static_assert(sizeof(SRB_ExecSCSICmd) == 72 + 2 * kPtr, "80 bytes on 32-bit, 88 on 64-bit");
static_assert(kPtr != 4 || sizeof(SRB_ExecSCSICmd) == 80, "the 32-bit record");
static_assert(offsetof(SRB_Abort, SRB_ToAbort) == 8, "SRB_ToAbort");

using GetASPI32SupportInfoFn = win::DWORD (*)();
using SendASPI32CommandFn = win::DWORD (*)(void* srb);

}  // namespace aspi
