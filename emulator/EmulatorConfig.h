// The configuration text of the emulated ASPI libraries (the format is in README.md
// beside this file) and the trace line they write per command.
#pragma once

#include <string>
#include <vector>

#include "emulator/EmulatedBus.h"

namespace emu {

struct DriveSetup {
  DriveConfig config;
  std::vector<Fault> faults;
  std::string imagePath;  // the committed image is written here after each commit
};

struct EmulatorConfig {
  std::vector<DriveSetup> drives;
  std::string tracePath;
  int adapters = -1;  // -1: from the drives
  bool asynchronous = true;
  int abortSignalMs = -1;  // -1: an aborted request is never signalled
};

// False with a message naming the line on the first error.
bool ParseConfig(const std::string& text, EmulatorConfig& config, std::string& error);
bool LoadConfig(const std::string& path, EmulatorConfig& config, std::string& error);
EmulatorConfig DefaultConfig();  // one drive at 0:0:0, letter D

void AddDrives(const EmulatorConfig& config, EmulatedBus& bus);

// "<drive> <cdb hex> <I|O> <length> <moved> <digest> <outcome> <key>/<asc>/<ascq>"
std::string FormatTraceLine(const TraceEntry& entry);

}  // namespace emu
