#include "engine/PayloadCheck.h"

#include <cstring>

namespace {

// The identification and the range are compared with what drives answer, as text.
bool PlainText(const char* field) {
  for (std::size_t i = 0; i < kTextFieldSize && field[i] != '\0'; ++i) {
    unsigned char c = static_cast<unsigned char>(field[i]);
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

std::string Refused(const std::string& why) {
  return "\nERROR:\n\nThe flash engine refused what it was sent as a flash program: " + why +
         ".\n\nNothing was sent to any drive.\n";
}

}  // namespace

std::string PayloadRefusal(const FlashPayloadRecord& p) {
  if (std::memcmp(p.BuildKey, FlashPayload.BuildKey, kBuildKeySize) != 0 ||
      std::memcmp(p.TailMark, FlashPayload.TailMark, kTailMarkSize) != 0)
    return Refused("it is not the payload of a korvel-flash flash program");
  if (IsBuilderPayload(p)) return Refused("it is the builder's, which carries no firmware");
  std::string damage = PayloadDamageReport(p);
  if (!damage.empty()) return damage;
  if (!PlainText(p.InquiryText) || !PlainText(p.FirmwareRange) || !PlainText(p.ModelText) ||
      !PlainText(p.VendorText))
    return Refused("its drive identification or firmware range holds control characters");
  return "";
}
