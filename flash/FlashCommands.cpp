// The vendor flash protocol: WRITE BUFFER and READ BUFFER on the drive's DRAM, the
// vendor opcode 0xDF, the chip lookup and the profile block. Every command is one
// 12-byte block in Cdb, its data passes through IoBuffer.
#include <algorithm>
#include <cstring>

#include "app/FlashForm.h"
#include "drive/Cddrive.h"
#include "package/FlashPayload.h"

namespace {

constexpr std::uint8_t kWriteBuffer = 0x3B, kReadBuffer = 0x3C, kVendor = 0xDF;
constexpr std::uint8_t kProfileControl = 0x7F;
// The flash ID answer: the chip ID and the extended ID are all the lookup reads of it.
constexpr std::uint32_t kFlashIdLength = 128, kFlashIdUsed = 4;
// A profile checked to lie inside the payload's profiles fits the work buffer behind its
// longest header and an odd length's pad byte.
static_assert(6 + kChipProfilesSize + 1 <= kIoBufferSize, "profile work buffer");

bool IsCommit(std::uint8_t control) {
  return control == 0x80 || control == 0xA0;
}

}  // namespace

void TFlashForm::SetCdb(std::initializer_list<std::uint8_t> bytes) {
  std::memset(Cdb, 0, sizeof Cdb);
  std::copy(bytes.begin(), bytes.end(), Cdb);
}

void TFlashForm::SetBufferCdb(std::uint8_t opcode, std::uint8_t mode, std::uint32_t offset,
                              std::uint32_t length, std::uint8_t control) {
  SetCdb({opcode, mode, 0x01, static_cast<std::uint8_t>(offset >> 16),
          static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset),
          static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 8),
          static_cast<std::uint8_t>(length), control});
}

// Sends Cdb and judges it: done only when the transport completed it with status GOOD,
// the drive answered without sense, and the data phase moved at least the bytes needed
// (all of them unless told; a failed call leaves the sense bytes zero).
bool TFlashForm::SendCdb(const char* failurePrefix, std::uint8_t dataIn,
                         std::uint32_t transferLength, std::uint32_t needed) {
  CurrentDrive->ExecuteCommand(Cdb[0], Cdb[1], Cdb[2], Cdb[3], Cdb[4], Cdb[5], Cdb[6], Cdb[7],
                               Cdb[8], Cdb[9], Cdb[10], Cdb[11], dataIn, transferLength);
  if (CurrentDrive->LastCommandCompleted(std::min(needed, transferLength))) return true;
  if (failurePrefix) ShowMessage(failurePrefix + CurrentDrive->GetStatusText());
  return false;
}

// Data to send goes into IoBuffer first; the transport refuses what does not fit.
void TFlashForm::StageOut(const std::uint8_t* data, std::uint32_t length) {
  if (data) std::memcpy(IoBuffer.get(), data, std::min(length, kIoBufferSize));
}

// Before a read whose bytes are compared: IoBuffer holds the complement of what the drive
// should return, so no byte the transfer did not move can compare equal, whatever the
// transport said of the length (libata reports no residual, ASPI no count).
void TFlashForm::StageIn(const std::uint8_t* expected, std::uint32_t length) {
  std::uint8_t* buffer = IoBuffer.get();
  const std::uint32_t n = std::min(length, kIoBufferSize);
  std::uint32_t i = 0;
  for (; i + 8 <= n; i += 8) {  // a word at a time where a build checks every access
    std::uint64_t word;
    std::memcpy(&word, expected + i, 8);
    word = ~word;
    std::memcpy(buffer + i, &word, 8);
  }
  for (; i < n; ++i) buffer[i] = static_cast<std::uint8_t>(~expected[i]);
}

// A first chip ID byte that no entry of the chip table has.
std::uint8_t TFlashForm::UnlistedChipByte() const {
  for (int candidate = 0xFF;; --candidate) {
    bool listed = false;
    for (const ChipTableEntry& e : Payload().ChipTable) listed = listed || e.ChipId[0] == candidate;
    if (!listed) return static_cast<std::uint8_t>(candidate);
  }
}

bool TFlashForm::WriteBuffer(std::uint32_t offset, const std::uint8_t* data, std::uint32_t length,
                             std::uint8_t control) {
  SetBufferCdb(kWriteBuffer, 0x05, offset, length, control);
  // The commit's block asks for no data: a drive that returns none is right.
  if (IsCommit(control)) return SendCdb("Write Buffer> ", 1, 16, 0);
  StageOut(data, length);
  return SendCdb("Write Buffer> ", 0, length);
}

bool TFlashForm::ReadBuffer(std::uint32_t offset, std::uint8_t* destination, std::uint32_t length,
                            const std::uint8_t* expected) {
  SetBufferCdb(kReadBuffer, 0x01, offset, length, 0x00);
  StageIn(expected, length);
  if (!SendCdb("Read Buffer> ", 1, length)) return false;
  std::memcpy(destination, IoBuffer.get(), std::min(length, kIoBufferSize));
  return true;
}

int TFlashForm::LookUpChip() {
  const std::uint8_t* id = IoBuffer.get();
  int found = kChipTableEntries;
  for (int i = 0; i < kChipTableEntries && found == kChipTableEntries; ++i) {
    const ChipTableEntry& e = Payload().ChipTable[i];
    bool chip = id[0] == e.ChipId[0] && id[1] == e.ChipId[1];
    bool extended = id[2] == e.ExtendedId[0] && id[3] == e.ExtendedId[1];
    if (chip && (CdProfileImage || (DvdProfileImage && extended))) found = i;
  }
  ProfileDataOffset = static_cast<int>(ChipProfileOffset(Payload(), found));
  if (found == kChipTableEntries) return -1;
  ProfileMatched = 1;
  return found;
}

bool TFlashForm::SetupFlashProfile(std::uint8_t* work) {
  SetCdb({kVendor, 0x11});
  // An ID that never arrived finds no chip, rather than an earlier answer's.
  std::memset(IoBuffer.get(), UnlistedChipByte(), kFlashIdLength);
  if (!SendCdb("Read Flash ID> ", 1, kFlashIdLength, kFlashIdUsed)) return false;
  int entry = LookUpChip();
  int length = 0, header = 4;
  if (entry >= 0) {
    const ChipTableEntry& e = Payload().ChipTable[entry];
    length = static_cast<int>(ChipProfileLength(e));
    header = DvdProfileImage ? 6 : 4;
    ProfileHeaderLength = header;
    std::uint8_t* p = work;
    *p++ = e.ChipId[0];
    *p++ = e.ChipId[1];
    if (DvdProfileImage) {
      *p++ = e.ExtendedId[0];
      *p++ = e.ExtendedId[1];
    }
    *p++ = static_cast<std::uint8_t>(length >> 8);
    *p++ = static_cast<std::uint8_t>(length);
    std::memcpy(work + header, Payload().ChipProfiles + ProfileDataOffset, length);
    if (length % 2) work[header + length++] = 0;  // the pad byte of an odd length
  } else {
    const std::uint8_t none[4] = {0xFF, 0xFF, 0x00, 0x00};
    std::memcpy(work, none, sizeof none);
  }
  ProfileLength = CdProfileImage ? length + header : length;
  StageOut(work, static_cast<std::uint32_t>(ProfileLength));
  SetCdb({kWriteBuffer, 0x05, 0x01, static_cast<std::uint8_t>(DvdProfileImage ? 0x00 : 0x08), 0, 0,
          0, static_cast<std::uint8_t>(ProfileLength >> 8),
          static_cast<std::uint8_t>(ProfileLength), kProfileControl});
  return SendCdb("Write Profile> ", 0, static_cast<std::uint32_t>(ProfileLength));
}

bool TFlashForm::ReadVerifyProfile(const std::uint8_t* block) {
  if (DvdProfileImage) {
    const std::uint8_t* profile = Payload().ChipProfiles + ProfileDataOffset;
    for (int i = 0; i < ProfileLength - ProfileHeaderLength; ++i)
      if (block[ProfileHeaderLength + i] != profile[i]) return false;
    return true;
  }
  SetCdb({kReadBuffer, 0x01, 0x01, 0x08, 0, 0, 0, static_cast<std::uint8_t>(ProfileLength >> 8),
          static_cast<std::uint8_t>(ProfileLength)});
  StageIn(block, static_cast<std::uint32_t>(ProfileLength));
  if (!SendCdb("Read Profile> ", 1, static_cast<std::uint32_t>(ProfileLength))) return false;
  if (std::memcmp(IoBuffer.get(), block, static_cast<std::size_t>(ProfileLength)) != 0) {
    ShowMessage("Compared profile error!");
    return false;
  }
  return true;
}

bool TFlashForm::EntryCritical() {
  SetCdb({kWriteBuffer, 0x05, 0x01, 0, 0, 0, 0, 0, 0, kProfileControl});
  return SendCdb("Entry critical> ", 1, 0);
}

bool TFlashForm::WriteE2(const std::uint8_t* data, std::uint16_t address, std::uint8_t count) {
  for (int i = 0; i < count; ++i) {
    SetCdb({kVendor, 0x0A, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(address >> 8),
            static_cast<std::uint8_t>(address), data[i]});
    if (!SendCdb("Write E2> ", 1, 0)) return false;
    ++address;
  }
  return true;
}

bool TFlashForm::CheckDisc() {
  SetCdb({0x45, 0, 0, 0, 0, 0x4B, 0, 0x60});
  return !SendCdb(nullptr, 1, 8, 0);
}
