// The whole program for one fuzz input, installed for the input's life and released
// after: a payload record, a fake platform and a fresh headless toolkit. The record is
// the process's one copy of the embedded payload, given back its header, chip table and
// the image's first 0x4100 bytes (what the inputs change) each time. A flash program
// gets a fake of its own, for its drives; a builder shares the process's one, with its
// files in memory, its file settings and records reset and its files gone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/Program.h"
#include "fuzz/MemoryPlatform.h"
#include "package/FlashPayload.h"
#include "tests/fake/FakePlatform.h"
#include "toolkit/headless/HeadlessToolkit.h"

class FuzzProgram {
 public:
  // A builder or a flash program with the embedded payload's fields.
  explicit FuzzProgram(bool builder);
  ~FuzzProgram();
  FuzzProgram(const FuzzProgram&) = delete;
  FuzzProgram& operator=(const FuzzProgram&) = delete;

  FlashPayloadRecord& Payload() { return payload_; }
  int Run() { return ProgramMain(); }

 private:
  std::unique_ptr<FakePlatform> own_;

 public:
  FakePlatform& fake;
  MemoryPlatform* const files;  // a builder's; nullptr for a flash program
  HeadlessToolkit tk;

 private:
  FlashPayloadRecord& payload_;
};

// A folder of this process's own for the files one input needs, emptied on each call but
// for a catalogue (KFLASH.INI).
std::string FuzzFolder();

void WriteBytes(const std::string& path, const std::string& bytes);
// A catalogue dated back, a second apart for each input number: the reader keeps one
// parse for the start-up's reads, and no two inputs look alike to it.
void WriteCatalogue(const std::string& path, const std::string& bytes, long long input);
std::string ReadBytes(const std::string& path);

// Stops the run as a finding: libFuzzer saves the input that led here.
[[noreturn]] void Finding(const std::string& what);
