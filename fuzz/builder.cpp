// The builder against its algorithm written byte by byte: a program file made from
// the input (bytes, runs of one byte, the build key and parts of it), a firmware file
// of a chosen length and name, sometimes a failing file call; the built file, the
// progress steps and the message must be what the byte-wise copy gives.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/FuzzProgram.h"
#include "fuzz/MemoryPlatform.h"

namespace {

const std::string kCatalogue =
    "[MODEL00]\nModel=KRW-52088S\nInquiry=KOR-VEL KRW-52088S\nFW-Range=QF01-QF2Z\n"
    "BINMask=*\nVendor=Korvel-XQ\nNote=Korvel\n";

enum class Fault { None, DiskFull, FirmwareUnreadable, MoveRefused, CreateRefused };

struct Outcome {
  std::string message;        // empty: built
  std::string& output;        // a buffer of the process's, whose room the next input reuses
  std::size_t positions = 0;  // the bar's positions: its reset, the steps, the end's reset
};

std::string CreateFailed(const std::string& name) {
  return "Create " + std::string(4 - std::min<std::size_t>(4, name.size()), ' ') +
         name.substr(0, 4) + ".EXE Fail";
}

std::string Header(const std::string& name, std::uint32_t length) {
  std::string h(137, '\0');
  const char* fields[5] = {"KRW-52088S", "KOR-VEL KRW-52088S      ", "QF01-QF2Z", "Korvel-XQ",
                           "Korvel"};
  for (int i = 0; i < 5; ++i) h.replace(i * 25, std::string(fields[i]).size(), fields[i]);
  for (std::size_t i = 0; i < 5 && i < name.size(); ++i)
    h[125 + i] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
  for (int i = 0; i < 4; ++i) h[133 + i] = static_cast<char>(length >> (8 * i));
  return h;
}

// The copy and search as the algorithm states it, one byte at a time; left out of the
// coverage the fuzzer steers by, which is the builder's, and of the address checks, as
// it only walks its own two buffers.
__attribute__((no_sanitize("coverage", "address"))) Outcome Model(const std::string& program,
                                                                  const std::string& firmware,
                                                                  const std::string& name,
                                                                  Fault fault) {
  static std::string output;
  Outcome o{"", output, 0};
  if (firmware.size() > 524288 || firmware.size() % 16384 != 0) {
    output.clear();
    o.message = name + " is " + std::to_string(firmware.size()) +
                " bytes long: a firmware image must be a multiple of 16384 bytes and at most "
                "524288 bytes.";
    return o;
  }
  const char* key = Payload().BuildKey;
  const char* in = program.data();
  std::size_t length = program.size(), j = 0, m = 0, at = 0, steps = 0;
  // Room for the longest result: every program byte, the header and the image.
  output.resize(length + 137 + firmware.size());
  char* out = &output[0];
  std::size_t put = 0;
  o.positions = 1;
  if (fault == Fault::CreateRefused) {
    output.clear();
    o.message = CreateFailed(name);
    return o;
  }
  for (; j < length; ++j) {
    char byte = in[at++];
    out[put++] = byte;
    if (j % 1024 == 0) ++steps;
    if (byte == key[m]) {
      if (++m == kBuildKeySize) break;
    } else {
      m = 0;
    }
  }
  if (j == length) {
    output.resize(put);
    o.positions += steps;
    o.message = "Building fail: not found key-word in KFLASH.EXE";
    return o;
  }
  auto binLength = static_cast<std::uint32_t>(firmware.size());
  std::string header = Header(name, binLength);
  std::memcpy(out + put, header.data(), header.size());
  std::memcpy(out + put + header.size(), firmware.data(), binLength);
  put += header.size() + binLength;
  at += 137 + binLength;
  steps += binLength / 1024;
  j += 137 + binLength;
  for (; j + 1 < length; ++j) {
    out[put++] = in[at++];
    if (j % 1024 == 0) ++steps;
  }
  output.resize(put);
  o.positions += steps;
  bool complete = j + 1 == length;
  if (fault == Fault::DiskFull || (fault == Fault::FirmwareUnreadable && binLength > 0))
    complete = false;
  if (!complete) {
    o.message = "Building fail: some problem in KFLASH.EXE";
  } else if (fault == Fault::MoveRefused) {
    o.message = CreateFailed(name);
  } else {
    ++o.positions;
  }
  return o;
}

// Bytes, runs of one byte, the key and its beginnings, in the input's order.
void MakeProgram(FuzzedDataProvider& in, std::string& program) {
  const std::string key(Payload().BuildKey, kBuildKeySize);
  while (in.remaining_bytes() > 0 && program.size() < 65536) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0:
        program += in.ConsumeBytesAsString(in.ConsumeIntegralInRange(1, 64));
        break;
      case 1:
        program += key.substr(0, in.ConsumeIntegralInRange<std::size_t>(1, kBuildKeySize));
        break;
      case 2: {
        // Now and then long enough to hold a window of a few image chunks; this build's
        // copy blocks are 4 KiB.
        std::size_t run = in.ConsumeIntegral<std::uint8_t>() < 240
                              ? in.ConsumeIntegralInRange(1, 2048)
                              : in.ConsumeIntegralInRange(1, 40000);
        program.append(run, in.ConsumeIntegral<char>());
        break;
      }
      default:
        return;
    }
  }
}

std::string FileName(FuzzedDataProvider& in) {
  static const char* const names[] = {"qf05.bin",          "A.B",     "Q\\F5.BIN", "x",
                                      "qf05.EXE.building", "ABCD.EXE"};
  if (in.ConsumeBool()) return names[in.ConsumeIntegralInRange(0, 5)];
  std::string name;
  for (char c : in.ConsumeBytesAsString(in.ConsumeIntegralInRange(1, 12)))
    name += c < 0x20 || c > 0x7E || c == '/' ? '_' : c;
  if (name.empty() || name == "." || name == ".." || name == "KFLASH.EXE" || name == "KFLASH.INI")
    name = "fw";
  return name;
}

// A folder never made on disk, so that every file is memory's and the file list, which
// reads the disk, finds the folder empty at once.
const std::string& Folder() {
  static const std::string folder = FuzzFolder() + "/memory";
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::string name = FileName(in);
  auto pick = in.ConsumeIntegral<std::uint8_t>();  // mostly small, as the copy's cost goes
  std::size_t chunks = pick < 224 ? pick % 3 : pick - 224 + 3;
  std::size_t length = chunks * 16384 + (in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange(0, 3));
  char fill = in.ConsumeIntegral<char>();
  auto fault = static_cast<Fault>(in.ConsumeIntegralInRange(0, 8) % 5);

  const std::string& dir = Folder();
  FuzzProgram run(true);
  MemoryPlatform& files = *run.files;
  run.fake.modulePath = dir + "/KFLASH.EXE";
  run.fake.currentDirectory = dir;
  files.NewFile(dir + "/KFLASH.INI") = kCatalogue;
  std::string& firmware = files.NewFile(dir + "/" + name);
  firmware.assign(length, fill);
  std::string& program = files.NewFile(run.fake.modulePath);
  MakeProgram(in, program);
  // Before the run: the built program may take the firmware file's place.
  Outcome want = Model(program, firmware, name, fault);
  if (fault == Fault::DiskFull) run.fake.writeRoom = program.empty() ? 0 : program.size() - 1;
  if (fault == Fault::FirmwareUnreadable) run.fake.unreadableFile = dir + "/" + name;
  if (fault == Fault::MoveRefused) run.fake.moveError = FakePlatform::kErrorAccessDenied;
  if (fault == Fault::CreateRefused) run.fake.refuseCreate = true;
  run.tk.userActions = {[&] {
    run.tk.files.push_back(name);  // the list box would show it, were it on disk
    run.tk.UserClicksFile(name);
    run.tk.progressTrace.clear();
    run.tk.UserClicksFlashButton();
  }};
  run.Run();

  std::vector<std::string> dialogs;
  for (const DialogRecord& d : run.tk.dialogs) dialogs.push_back(d.text);
  if (dialogs !=
      (want.message.empty() ? std::vector<std::string>{} : std::vector<std::string>{want.message}))
    Finding("the message is not \"" + want.message + "\" but \"" +
            (dialogs.empty() ? "" : dialogs[0]) + "\"");
  if (run.tk.progressTrace.size() != want.positions) Finding("the progress steps differ");
  // Named as the program names it: "A:\\x" is a drive's root to the fake, not in dir.
  const std::string* built = files.Find(name.substr(0, 4) + ".EXE");
  if (want.message.empty() && (!built || *built != want.output)) Finding("the built file differs");
  for (const std::string& path : files.Paths()) {
    std::filesystem::path file(path);
    if (file.extension() == ".building" && file.filename() != name)
      Finding("a partial file was left: " + file.filename().string());
  }
  return 0;
}
