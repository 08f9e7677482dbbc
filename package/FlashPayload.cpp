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
