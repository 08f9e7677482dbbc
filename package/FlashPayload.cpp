#include "package/FlashPayload.h"

#include "app/Text.h"

namespace {
const FlashPayloadRecord* active = &FlashPayload;
}

const FlashPayloadRecord& Payload() {
  return *active;
}

void UsePayload(const FlashPayloadRecord* record) {
  active = record ? record : &FlashPayload;
}

std::size_t ChipProfileOffset(const FlashPayloadRecord& p, int entry) {
  std::size_t offset = 0;
  for (int i = 0; i < entry && i < kChipTableEntries; ++i)
    if (i != 2) offset += ChipProfileLength(p.ChipTable[i]);
  return offset;
}

int FirstUnsoundChipEntry(const FlashPayloadRecord& p) {
  for (int i = 0; i < kChipTableEntries; ++i)
    if (ChipProfileOffset(p, i) + ChipProfileLength(p.ChipTable[i]) > kChipProfilesSize) return i;
  return -1;
}

std::string PayloadDamage(const FlashPayloadRecord& p) {
  constexpr std::uint32_t kChunk = 16384;
  std::uint32_t length = PayloadFirmwareLength(p);
  if (length == 0 || length > kFirmwareAreaSize || length % kChunk != 0) {
    return Format(
        "its firmware image is %u bytes long, but it must be a multiple of 16384 bytes, "
        "from 16384 to 524288",
        static_cast<unsigned>(length));
  }
  int entry = FirstUnsoundChipEntry(p);
  if (entry < 0) return "";
  return Format(
      "entry %d of its chip table gives a profile of %u bytes at offset %u, beyond the %u "
      "bytes of profiles it carries",
      entry, ChipProfileLength(p.ChipTable[entry]),
      static_cast<unsigned>(ChipProfileOffset(p, entry)), static_cast<unsigned>(kChipProfilesSize));
}

std::string PayloadDamageReport(const FlashPayloadRecord& p) {
  std::string damage = PayloadDamage(p);
  if (damage.empty()) return "";
  return "\nERROR:\n\nThis flash program is damaged: " + damage +
         ".\n\nNothing was sent to any drive.\n";
}
