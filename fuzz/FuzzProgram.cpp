#include "fuzz/FuzzProgram.h"

#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "drive/Cddrive.h"

// The sanitizer holds 256 MB of freed memory back by default; an input frees far less
// than 64 MB, so a use after free within one input is caught all the same, and the
// memory an input gets back is mostly memory already mapped.
extern "C" const char* __asan_default_options() {
  return "quarantine_size_mb=64";
}

namespace {

FlashPayloadRecord& Record() {
  static auto* record = new FlashPayloadRecord(FlashPayload);
  std::memcpy(record, &FlashPayload, offsetof(FlashPayloadRecord, FirmwareImage) + 0x4100);
  return *record;
}

MemoryPlatform& SharedFake() {
  static auto* fake = new MemoryPlatform;
  fake->Clear();
  fake->refuseCreate = false;
  fake->writeRoom.reset();
  fake->moveError.reset();
  fake->unreadableFile.clear();
  fake->opens.clear();
  fake->versionSizes.clear();
  fake->formats.clear();
  return *fake;
}

}  // namespace

FuzzProgram::FuzzProgram(bool builder)
    : own_(builder ? nullptr : new FakePlatform),
      fake(builder ? SharedFake() : *own_),
      files(builder ? static_cast<MemoryPlatform*>(&fake) : nullptr),
      payload_(Record()) {
  if (builder) std::memcpy(payload_.FirmwareImage, "QIRM", 4);
  fake.bus.SetTracing(false);  // the targets judge the program, not the drive's record
  UsePayload(&payload_);
  InstallPlatform(&fake);
  InstallToolkit(&tk);
}

FuzzProgram::~FuzzProgram() {
  cddrive::ResetModule();
  UsePayload(nullptr);
  InstallToolkit(nullptr);
  InstallPlatform(nullptr);
}

namespace {

const std::string* folder = nullptr;

void RemoveFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(*folder, ignored);
}

}  // namespace

std::string FuzzFolder() {
  namespace fs = std::filesystem;
  if (!folder) {
    const char* shm = "/dev/shm";  // no disk writes for millions of runs
    fs::path base = fs::is_directory(shm) ? fs::path(shm) : fs::temp_directory_path();
    folder = new std::string((base / ("korvel_fuzz_" + std::to_string(getpid()))).string());
    fs::create_directories(*folder);
    std::atexit(RemoveFolder);
  }
  for (const auto& entry : fs::directory_iterator(*folder))
    if (entry.path().filename() != "KFLASH.INI") fs::remove_all(entry.path());
  return *folder;
}

void WriteCatalogue(const std::string& path, const std::string& bytes, long long input) {
  namespace fs = std::filesystem;
  WriteBytes(path, bytes);
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(24 * 365) +
                                std::chrono::seconds(input));
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Finding(const std::string& what) {
  std::fprintf(stderr, "finding: %s\n", what.c_str());
  std::abort();
}
