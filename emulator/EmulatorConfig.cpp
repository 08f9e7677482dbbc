#include "emulator/EmulatorConfig.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

namespace emu {

namespace {

bool ToNumber(const std::string& text, int base, long min, long max, long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text.c_str(), &end, base);
  return errno == 0 && *end == '\0' && value >= min && value <= max;
}

bool ToByte(const std::string& text, int base, std::uint8_t& value) {
  long n = 0;
  if (!ToNumber(text, base, 0, 255, n)) return false;
  value = std::uint8_t(n);
  return true;
}

std::string RestOfLine(std::istringstream& in) {
  std::string rest;
  std::getline(in, rest);
  const auto first = rest.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  const auto last = rest.find_last_not_of(" \t\r");
  return rest.substr(first, last - first + 1);
}

bool ParseSense(const std::string& text, Sense& sense) {
  const auto a = text.find('/'), b = text.rfind('/');
  if (a == std::string::npos || a == b) return false;
  return ToByte(text.substr(0, a), 16, sense.key) &&
         ToByte(text.substr(a + 1, b - a - 1), 16, sense.asc) &&
         ToByte(text.substr(b + 1), 16, sense.ascq);
}

bool ParseFaultKind(const std::string& word, FaultKind& kind) {
  static const std::pair<const char*, FaultKind> kinds[] = {
      {"sense", FaultKind::Sense},
      {"status", FaultKind::Status},
      {"transport", FaultKind::TransportFailure},
      {"never", FaultKind::NeverCompletes},
      {"late", FaultKind::LateAfterAbort},
      {"corrupt", FaultKind::CorruptRead},
      {"short", FaultKind::ShortTransfer}};
  for (const auto& [name, value] : kinds) {
    if (word == name) {
      kind = value;
      return true;
    }
  }
  return false;
}

bool ParseOpcode(const std::string& value, int& opcode) {
  std::uint8_t byte = 0;
  if (value == "any") {
    opcode = -1;
  } else if (ToByte(value, 16, byte)) {
    opcode = byte;
  } else {
    return false;
  }
  return true;
}

template <typename T>
bool ParseCount(const std::string& value, T& field) {
  long n = 0;
  if (!ToNumber(value, 0, 0, 0x7FFFFFFF, n)) return false;
  field = T(n);
  return true;
}

bool ParseFaultOption(const std::string& option, Fault& fault) {
  const auto eq = option.find('=');
  if (eq == std::string::npos) return false;
  const std::string name = option.substr(0, eq), value = option.substr(eq + 1);
  if (name == "opcode") return ParseOpcode(value, fault.opcode);
  if (name == "sense") return ParseSense(value, fault.sense);
  if (name == "at") return ParseCount(value, fault.occurrence);
  if (name == "count") return ParseCount(value, fault.count);
  if (name == "offset") return ParseCount(value, fault.corruptOffset);
  if (name == "status") return ToByte(value, 16, fault.status);
  if (name == "moved") return ParseCount(value, fault.moved);
  if (name == "late-ms") return ParseCount(value, fault.lateMs);
  return false;
}

bool ParseFault(std::istringstream& in, std::vector<Fault>& faults) {
  Fault fault;
  std::string word;
  if (!(in >> word) || !ParseFaultKind(word, fault.kind)) return false;
  while (in >> word) {
    if (!ParseFaultOption(word, fault)) return false;
  }
  faults.push_back(fault);
  return true;
}

bool ParseFlashId(std::istringstream& in, DriveConfig& drive) {
  for (std::uint8_t& byte : drive.flashId) {
    std::string word;
    if (!(in >> word) || !ToByte(word, 16, byte)) return false;
  }
  return true;
}

bool ParseAddress(std::istringstream& in, DriveConfig& drive) {
  std::string a, t, l;
  return (in >> a >> t >> l) && ToByte(a, 0, drive.adapter) && ToByte(t, 0, drive.target) &&
         ToByte(l, 0, drive.lun);
}

bool ParseInt(std::istringstream& in, long min, long max, int& value) {
  std::string word;
  long n = 0;
  if (!(in >> word) || !ToNumber(word, 0, min, max, n)) return false;
  value = int(n);
  return true;
}

bool ParseType(std::istringstream& in, std::uint8_t& type) {
  int n = 0;
  if (!ParseInt(in, 0, 31, n)) return false;
  type = std::uint8_t(n);
  return true;
}

bool ParseText(std::istringstream& in, std::string& text, bool mayBeEmpty = true) {
  text = RestOfLine(in);
  return mayBeEmpty || !text.empty();
}

bool ParseLetter(std::istringstream& in, char& letter) {
  const std::string word = RestOfLine(in);
  if (word.size() != 1) return false;
  letter = word[0];
  return true;
}

bool ParseChoice(std::istringstream& in, const char* on, const char* off, bool& value) {
  std::string word;
  in >> word;
  if (word != on && word != off) return false;
  value = word == on;
  return true;
}

bool ParseDriveKey(const std::string& key, std::istringstream& in, DriveSetup& setup) {
  DriveConfig& d = setup.config;
  if (key == "letter") return ParseLetter(in, d.letter);
  if (key == "address") return ParseAddress(in, d);
  if (key == "type") return ParseType(in, d.peripheralType);
  if (key == "vendor") return ParseText(in, d.vendor);
  if (key == "product") return ParseText(in, d.product);
  if (key == "revision") return ParseText(in, d.revision);
  if (key == "revision-after-commit") return ParseText(in, d.revisionAfterCommit);
  if (key == "flash-id") return ParseFlashId(in, d);
  if (key == "becoming-ready") return ParseInt(in, -1, 1000000, d.becomingReadyPasses);
  if (key == "delay-ms") return ParseInt(in, 0, 600000, d.completionDelayMs);
  if (key == "commit-delay-ms") return ParseInt(in, 0, 600000, d.commitDelayMs);
  if (key == "disc") return ParseChoice(in, "yes", "no", d.discPresent);
  if (key == "residual") return ParseChoice(in, "yes", "no", d.reportsResidual);
  if (key == "underrun") return ParseChoice(in, "always", "faults", d.underrunAlways);
  if (key == "image") return ParseText(in, setup.imagePath, false);
  if (key == "fault") return ParseFault(in, setup.faults);
  return false;
}

bool ParseGlobalKey(const std::string& key, std::istringstream& in, EmulatorConfig& config,
                    bool& known) {
  known = true;
  if (key == "trace") return ParseText(in, config.tracePath, false);
  if (key == "adapters") return ParseInt(in, 0, 255, config.adapters);
  if (key == "completion") return ParseChoice(in, "async", "sync", config.asynchronous);
  if (key == "abort-signal-ms") return ParseInt(in, -1, 600000, config.abortSignalMs);
  if (key == "drive") {
    config.drives.emplace_back();
    return true;
  }
  known = false;
  return false;
}

// A comment starts with '#' at the start of a line or after a blank.
std::string WithoutComment(const std::string& line) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
      return line.substr(0, i);
    }
  }
  return line;
}

bool ParseLine(const std::string& line, EmulatorConfig& config, std::string& problem) {
  std::istringstream in(WithoutComment(line));
  std::string key;
  if (!(in >> key)) return true;
  bool known = false;
  if (ParseGlobalKey(key, in, config, known)) return true;
  if (known) return problem = "bad value for " + key, false;
  if (config.drives.empty()) return problem = "'" + key + "' before the first 'drive'", false;
  if (!ParseDriveKey(key, in, config.drives.back())) {
    return problem = "bad or unknown setting '" + key + "'", false;
  }
  return true;
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Good:
      return "GOOD";
    case Outcome::CheckCondition:
      return "CHECK";
    case Outcome::BadStatus:
      return "STATUS";
    case Outcome::TransportFailure:
      return "TRANSPORT";
    case Outcome::NeverCompletes:
      return "NEVER";
  }
  return "?";
}

}  // namespace

bool ParseConfig(const std::string& text, EmulatorConfig& config, std::string& error) {
  config = EmulatorConfig();
  std::istringstream in(text);
  std::string line, problem;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!ParseLine(line, config, problem)) {
      error = "line " + std::to_string(number) + ": " + problem;
      return false;
    }
  }
  return true;
}

bool LoadConfig(const std::string& path, EmulatorConfig& config, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot read " + path;
    return false;
  }
  std::ostringstream text;
  text << file.rdbuf();
  return ParseConfig(text.str(), config, error);
}

EmulatorConfig DefaultConfig() {
  EmulatorConfig config;
  config.drives.emplace_back();
  return config;
}

void AddDrives(const EmulatorConfig& config, EmulatedBus& bus) {
  for (const DriveSetup& setup : config.drives) {
    const int drive = bus.AddDrive(setup.config);
    for (const Fault& fault : setup.faults) bus.AddFault(drive, fault);
  }
}

std::string FormatTraceLine(const TraceEntry& entry) {
  char cdb[25] = {};
  for (int i = 0; i < 12; ++i) std::snprintf(cdb + 2 * i, 3, "%02X", entry.cdb[i]);
  char line[128];
  std::snprintf(
      line, sizeof(line), "%d %s %c %08" PRIX32 " %08" PRIX32 " %016" PRIX64 " %s %02X/%02X/%02X",
      entry.drive, cdb, entry.dataIn ? 'I' : 'O', entry.transferLength, entry.transferred,
      entry.digest, OutcomeName(entry.outcome), entry.sense.key, entry.sense.asc, entry.sense.ascq);
  return line;
}

}  // namespace emu
