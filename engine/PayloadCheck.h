// What the engine takes from the window: a flash program's payload record, checked in
// full before any device is opened, since the window is the user's and may send anything.
#pragma once

#include <string>

#include "package/FlashPayload.h"

// The box that refuses the record, in the program's own words where it has them; empty
// when the record may reach a drive.
std::string PayloadRefusal(const FlashPayloadRecord& record);
