// Prints what the payload of its own executable file holds, as loaded: tests patch a
// copy of this file and check that the copy reports the patched bytes.
#include <cstdio>
#include <cstring>

#include "package/FlashPayload.h"

int main() {
  const FlashPayloadRecord& p = FlashPayload;
  std::printf("image:");
  for (int i = 0; i < 8; ++i) std::printf(" %02X", p.FirmwareImage[i]);
  std::printf("\nlength: %u\n", static_cast<unsigned>(PayloadFirmwareLength(p)));
  bool builder = std::memcmp(p.FirmwareImage, p.TailMark, sizeof p.TailMark) == 0;
  std::printf("mode: %s\n", builder ? "builder" : "flash");
  return 0;
}
