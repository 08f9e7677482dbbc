// The files an emulated drive leaves for a test to read: every command block as a line of
// the trace file, and each drive's image after every commit that ended well.
#pragma once

#include <cstdio>

#include "emulator/EmulatorConfig.h"

namespace emu {

class TraceFiles {
 public:
  // Opens the configuration's trace file and listens to the bus.
  TraceFiles(const EmulatorConfig& config, EmulatedBus& bus);
  ~TraceFiles();
  TraceFiles(const TraceFiles&) = delete;
  TraceFiles& operator=(const TraceFiles&) = delete;

 private:
  void Record(const TraceEntry& entry);
  void WriteImage(int drive);

  const EmulatorConfig& config_;
  EmulatedBus& bus_;
  Mutex mutex_;
  std::FILE* trace_ = nullptr;
};

}  // namespace emu
