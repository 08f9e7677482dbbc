// The embedded flash payload: one byte-exact record in the program's initialised,
// writable data. The builder finds it in the executable file by its build key and
// rewrites the build header and the firmware area in a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

constexpr std::size_t kChipProfilesSize = 5606;
constexpr int kChipTableEntries = 7;
constexpr std::size_t kBuildKeySize = 15;
constexpr std::size_t kTextFieldSize = 25;
constexpr std::size_t kBuildHeaderSize = 137;
constexpr std::size_t kFirmwareAreaSize = 0x80000;
constexpr std::size_t kTailMarkSize = 4;

#pragma pack(push, 1)
struct ChipTableEntry {
  std::uint8_t ChipId[2];
  std::uint8_t ProfileLengthBE[2];  // big-endian
  std::uint8_t ExtendedId[2];
};

struct FlashPayloadRecord {
  std::uint8_t ChipProfiles[kChipProfilesSize];
  ChipTableEntry ChipTable[kChipTableEntries];
  char BuildKey[kBuildKeySize];
  // The build header: ModelText through FirmwareLength.
  char ModelText[kTextFieldSize];
  char InquiryText[kTextFieldSize];
  char FirmwareRange[kTextFieldSize];
  char VendorText[kTextFieldSize];
  char NoteText[kTextFieldSize];
  char FirmwareName[5];
  std::uint8_t Reserved[3];
  std::uint8_t FirmwareLength[4];  // little-endian
  std::uint8_t FirmwareImage[kFirmwareAreaSize];
  char TailMark[kTailMarkSize];
};
#pragma pack(pop)

static_assert(sizeof(ChipTableEntry) == 6, "chip table entry");
static_assert(offsetof(FlashPayloadRecord, ChipProfiles) == 0, "ChipProfiles");
static_assert(offsetof(FlashPayloadRecord, ChipTable) == 5606, "ChipTable");
static_assert(sizeof(FlashPayloadRecord::ChipTable) == 42, "ChipTable width");
static_assert(offsetof(FlashPayloadRecord, BuildKey) == 5648, "BuildKey");
static_assert(offsetof(FlashPayloadRecord, ModelText) == 5663, "ModelText");
static_assert(offsetof(FlashPayloadRecord, InquiryText) == 5688, "InquiryText");
static_assert(offsetof(FlashPayloadRecord, FirmwareRange) == 5713, "FirmwareRange");
static_assert(offsetof(FlashPayloadRecord, VendorText) == 5738, "VendorText");
static_assert(offsetof(FlashPayloadRecord, NoteText) == 5763, "NoteText");
static_assert(offsetof(FlashPayloadRecord, FirmwareName) == 5788, "FirmwareName");
static_assert(offsetof(FlashPayloadRecord, Reserved) == 5793, "reserved");
static_assert(offsetof(FlashPayloadRecord, FirmwareLength) == 5796, "FirmwareLength");
static_assert(offsetof(FlashPayloadRecord, FirmwareImage) == 5800, "FirmwareImage");
static_assert(offsetof(FlashPayloadRecord, TailMark) == 5800 + 524288, "TailMark");
static_assert(sizeof(FlashPayloadRecord) == 5800 + 524288 + 4, "record size");
static_assert(offsetof(FlashPayloadRecord, FirmwareImage) -
                      offsetof(FlashPayloadRecord, ModelText) ==
                  kBuildHeaderSize,
              "BuildHeader");

// Defined in assembly, so the optimiser never sees its bytes and a patched copy of the
// executable behaves as patched.
extern "C" const FlashPayloadRecord FlashPayload;

inline std::uint32_t PayloadFirmwareLength(const FlashPayloadRecord& p) {
  return std::uint32_t{p.FirmwareLength[0]} | std::uint32_t{p.FirmwareLength[1]} << 8 |
         std::uint32_t{p.FirmwareLength[2]} << 16 | std::uint32_t{p.FirmwareLength[3]} << 24;
}

// Builder mode: the firmware area begins with the tail mark, as in the program as built.
inline bool IsBuilderPayload(const FlashPayloadRecord& p) {
  return std::memcmp(p.FirmwareImage, p.TailMark, kTailMarkSize) == 0;
}

inline unsigned ChipProfileLength(const ChipTableEntry& e) {
  return unsigned{e.ProfileLengthBE[0]} << 8 | e.ProfileLengthBE[1];
}

// The payload the program works with: its own embedded record. Tests substitute a
// record of their own.
const FlashPayloadRecord& Payload();
void UsePayload(const FlashPayloadRecord* record);  // nullptr: the embedded one

// Where entry `entry`'s profile begins in ChipProfiles: the blocks of the entries before
// it back to back, entry 2 sharing the block of entry 3. Entry 7 gives the end.
std::size_t ChipProfileOffset(const FlashPayloadRecord& p, int entry);

// The first chip table entry whose profile does not lie inside ChipProfiles, -1 when
// every entry is sound: a damaged or tampered table must not make the profile step copy
// past the profiles, nor past the work buffer they are copied into.
int FirstUnsoundChipEntry(const FlashPayloadRecord& p);

// What makes a flash program's payload unfit to reach a drive (an image length the flash
// cannot send in whole 16 KiB chunks, a chip table past the profiles), in words for the
// user; empty when it is sound.
std::string PayloadDamage(const FlashPayloadRecord& p);
// The error box that refuses a damaged payload; empty when it is sound.
std::string PayloadDamageReport(const FlashPayloadRecord& p);
