// The transport module's own state, one copy for the whole program and every drive
// object, shared by the files of drive/ that make up CDDrive. Nothing else uses it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drive/Cddrive.h"
#include "platform/Aspi.h"
#include "platform/WinTypes.h"

namespace cddrive::detail {

constexpr std::uint16_t kDefaultTimeout = 60;

struct Module {
  bool passThrough = false;
  bool errorDisplay = false;
  bool identifying = false;
  std::uint16_t openCount = 0;
  std::uint16_t timeout = kDefaultTimeout;
  std::uint8_t openStatus = kOpenFailed;
  win::HMODULE library = nullptr;
  aspi::SendASPI32CommandFn sendCommand = nullptr;
  std::string messageText;
  std::uint8_t* dataBuffer = nullptr;
  std::uint32_t dataBufferLength = 0;
  // An adapter may refuse a data buffer that breaks its alignment mask.
  alignas(kTransferAlignment) std::uint8_t identification[kIdentificationBufferSize] = {};
  alignas(kTransferAlignment) std::uint8_t internalBuffer[kInternalDataBufferSize] = {};
  bool missingLibraryShown = false;
  // What requests that never ended still hold: kept here for the rest of the run.
  std::vector<const void*> heldBuffers;
  std::vector<CDDrive*> stuckDrives;
  std::vector<win::HANDLE> keptEvents;
};

extern Module M;

// Handle values below 32 are error codes on the platforms the ASPI layer comes from.
bool IsLoaded(win::HMODULE library);
// A buffer a request that never ended may still write.
bool Held(const void* buffer);

}  // namespace cddrive::detail
