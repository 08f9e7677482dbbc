// A data buffer for drive commands, placed where any adapter takes it: aligned to
// kTransferAlignment (a pass-through call refuses a buffer that breaks the adapter's
// alignment mask) and zero-filled.
#pragma once

#include <cstdint>
#include <memory>

struct FreeTransferBuffer {
  void operator()(std::uint8_t* buffer) const;
};
using TransferBuffer = std::unique_ptr<std::uint8_t[], FreeTransferBuffer>;

TransferBuffer NewTransferBuffer(std::uint32_t size);
