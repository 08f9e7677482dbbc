#include "package/FlashPayload.h"

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
