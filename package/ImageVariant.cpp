// The image variant is not recorded in the payload; it is recognised from marker bytes
// and model names at fixed offsets inside the image itself.
#include <cctype>
#include <cstring>

#include "app/FlashForm.h"
#include "package/FlashPayload.h"

namespace {

bool HasMarker(const std::uint8_t* image, std::size_t offset) {
  return image[offset] == 0x05 && image[offset + 1] == 0x80;
}

bool SameUpperCase(const std::uint8_t* a, const char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (std::toupper(a[i]) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

bool IsDvdRomModel(const std::uint8_t* name) {
  return SameUpperCase(name, "DVD-ROM QRV-310", 15) || SameUpperCase(name, "DVD-ROM QRV-482", 15);
}

}  // namespace

bool TFlashForm::CheckNewFormatBIN() {
  const std::uint8_t* image = Payload().FirmwareImage;
  BinLength = PayloadFirmwareLength(Payload());
  if (HasMarker(image, 0x4000)) {
    if (IsDvdRomModel(image + 0x4010)) DvdProfileImage = 1;
    return true;
  }
  if (HasMarker(image, 0x4008)) {
    if (IsDvdRomModel(image + 0x4018)) DvdProfileImage = 1;
    return true;
  }
  if (HasMarker(image, 0x1100)) {
    CdProfileImage = 1;
    return true;
  }
  CdProfileImage = 0;
  DvdProfileImage = 0;
  return false;
}
