#include "emulator/TraceFiles.h"

#include <string>
#include <vector>

namespace emu {

TraceFiles::TraceFiles(const EmulatorConfig& config, EmulatedBus& bus)
    : config_(config), bus_(bus) {
  if (!config_.tracePath.empty()) {
    trace_ = std::fopen(config_.tracePath.c_str(), "w");
    if (trace_ == nullptr) std::perror(("emulated drive: " + config_.tracePath).c_str());
  }
  bus_.SetListener([this](const TraceEntry& entry) { Record(entry); });
}

TraceFiles::~TraceFiles() {
  bus_.SetListener(nullptr);
  if (trace_ != nullptr) std::fclose(trace_);
}

void TraceFiles::Record(const TraceEntry& entry) {
  std::lock_guard<Mutex> lock(mutex_);
  if (trace_ != nullptr) {
    std::fprintf(trace_, "%s\n", FormatTraceLine(entry).c_str());
    std::fflush(trace_);
  }
  const bool commit = entry.cdb[0] == 0x3B && (entry.cdb[9] == 0x80 || entry.cdb[9] == 0xA0);
  if (commit && entry.outcome == Outcome::Good) WriteImage(entry.drive);
}

void TraceFiles::WriteImage(int drive) {
  const std::string& path = config_.drives[drive].imagePath;
  if (path.empty()) return;
  const std::vector<std::uint8_t> image = bus_.State(drive).committed;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(image.data(), 1, image.size(), file) != image.size())
    std::perror(("emulated drive: " + path).c_str());
  if (file != nullptr) std::fclose(file);
}

}  // namespace emu
