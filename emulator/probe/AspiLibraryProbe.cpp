// Loads the emulated ASPI library the way the program does (LoadLibrary / dlopen), and
// runs commands through its two entry points with event notification: identification,
// an absent address, a DRAM write and a commit. Checks the trace and image files the
// library writes. Arguments: library, trace file, image file. Exit code 0 on success.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Aspi.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#endif

namespace {

aspi::GetASPI32SupportInfoFn supportInfo;
aspi::SendASPI32CommandFn sendCommand;
int failures = 0;

void Expect(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  if (!ok) ++failures;
}

#ifdef _WIN32
bool Load(const char* library) {
  HMODULE module = ::LoadLibraryA(library);
  if (module == nullptr) return false;
  supportInfo = reinterpret_cast<aspi::GetASPI32SupportInfoFn>(
      reinterpret_cast<void*>(::GetProcAddress(module, "GetASPI32SupportInfo")));
  sendCommand = reinterpret_cast<aspi::SendASPI32CommandFn>(
      reinterpret_cast<void*>(::GetProcAddress(module, "SendASPI32Command")));
  return supportInfo != nullptr && sendCommand != nullptr;
}
void* NewEvent() {
  return ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
}
bool Wait(void* event, int ms) {
  return ::WaitForSingleObject(event, ms) == WAIT_OBJECT_0;
}
void CloseEvent(void* event) {
  ::CloseHandle(event);
}
#else
bool Load(const char* library) {
  void* module = ::dlopen(library, RTLD_NOW);
  if (module == nullptr) return false;
  supportInfo =
      reinterpret_cast<aspi::GetASPI32SupportInfoFn>(dlsym(module, "GetASPI32SupportInfo"));
  sendCommand = reinterpret_cast<aspi::SendASPI32CommandFn>(dlsym(module, "SendASPI32Command"));
  return supportInfo != nullptr && sendCommand != nullptr;
}
void* NewEvent() {
  return reinterpret_cast<void*>(std::intptr_t(::eventfd(0, EFD_CLOEXEC)));
}
bool Wait(void* event, int ms) {
  pollfd p{int(reinterpret_cast<std::intptr_t>(event)), POLLIN, 0};
  std::uint64_t value = 0;
  return ::poll(&p, 1, ms) == 1 && ::read(p.fd, &value, sizeof(value)) == sizeof(value) &&
         value == 1;
}
void CloseEvent(void* event) {
  ::close(int(reinterpret_cast<std::intptr_t>(event)));
}
#endif

struct Outcome {
  win::DWORD returned;
  bool signalled;
  aspi::SRB_ExecSCSICmd srb;
};

Outcome Exec(std::uint8_t target, std::uint8_t adapter, std::vector<std::uint8_t> cdb, bool dataIn,
             std::uint8_t* data, std::uint32_t length) {
  Outcome out{};
  void* event = NewEvent();
  aspi::SRB_ExecSCSICmd& srb = out.srb;
  srb.SRB_Cmd = aspi::SC_EXEC_SCSI_CMD;
  srb.SRB_HaId = adapter;
  srb.SRB_Target = target;
  srb.SRB_Flags =
      std::uint8_t((dataIn ? aspi::SRB_DIR_IN : aspi::SRB_DIR_OUT) | aspi::SRB_EVENT_NOTIFY);
  srb.SRB_BufLen = length;
  srb.SRB_BufPointer = data;
  srb.SRB_SenseLen = aspi::SENSE_LEN;
  srb.SRB_CDBLen = 12;
  srb.SRB_PostProc = event;
  std::memcpy(srb.CDBByte, cdb.data(), cdb.size());
  out.returned = sendCommand(&srb);
  if (out.returned == aspi::SS_PENDING) out.signalled = Wait(event, 5000);
  CloseEvent(event);
  return out;
}

std::string Text(const std::uint8_t* data, std::size_t length) {
  return std::string(reinterpret_cast<const char*>(data), length);
}

std::vector<std::string> ReadLines(const char* path) {
  std::vector<std::string> lines;
  std::FILE* file = std::fopen(path, "r");
  char line[256];
  while (file != nullptr && std::fgets(line, sizeof(line), file) != nullptr) {
    lines.emplace_back(line, std::strcspn(line, "\r\n"));
  }
  if (file != nullptr) std::fclose(file);
  return lines;
}

std::vector<std::uint8_t> ReadFile(const char* path) {
  std::vector<std::uint8_t> bytes;
  std::FILE* file = std::fopen(path, "rb");
  int c;
  while (file != nullptr && (c = std::fgetc(file)) != EOF) bytes.push_back(std::uint8_t(c));
  if (file != nullptr) std::fclose(file);
  return bytes;
}

void Identify(const char* expectedRevision) {
  std::uint8_t inquiry[128] = {};
  const Outcome o = Exec(0, 0, {0x12, 0, 0, 0, 0x80}, true, inquiry, sizeof(inquiry));
  Expect(o.returned == aspi::SS_PENDING, "INQUIRY returns SS_PENDING");
  Expect(o.signalled, "INQUIRY signals its event");
  Expect(o.srb.SRB_Status == aspi::SS_COMP, "INQUIRY completes with SS_COMP");
  Expect(Text(inquiry + 8, 28) == std::string("KOR-VEL KRW-52088S      ") + expectedRevision,
         "INQUIRY data: " + Text(inquiry + 8, 28));
}

void HostAdapter() {
  std::uint8_t srb[60] = {aspi::SC_HA_INQUIRY};
  Expect(sendCommand(srb) == aspi::SS_COMP && srb[8] == 2, "SC_HA_INQUIRY: 2 host adapters");
}

void FlashChunk(const char* imagePath) {
  std::vector<std::uint8_t> chunk(16384);
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = std::uint8_t(i * 7 + 1);
  Outcome o = Exec(0, 0, {0x3B, 5, 1, 0, 0, 0, 0, 0x40, 0, 0}, false, chunk.data(), 16384);
  Expect(o.signalled && o.srb.SRB_Status == aspi::SS_COMP, "WRITE BUFFER chunk");
  std::uint8_t reply[16];
  o = Exec(0, 0, {0x3B, 5, 1, 0, 0, 0, 0, 0, 0, 0x80}, true, reply, sizeof(reply));
  Expect(o.signalled && o.srb.SRB_Status == aspi::SS_COMP, "commit");
  const std::vector<std::uint8_t> image = ReadFile(imagePath);
  Expect(image.size() == 0x80000 && std::memcmp(image.data(), chunk.data(), chunk.size()) == 0,
         "the image file holds the DRAM image: " + std::to_string(image.size()) + " bytes");
}

void CheckTrace(const char* tracePath) {
  const std::vector<std::string> lines = ReadLines(tracePath);
  Expect(lines.size() == 4, "trace lines: " + std::to_string(lines.size()));
  if (lines.size() < 4) return;
  Expect(lines[0].rfind("0 120000008000000000000000 I 00000080 00000060 ", 0) == 0 &&
             lines[0].size() == 77 && lines[0].substr(63) == " GOOD 00/00/00",
         "trace of INQUIRY: " + lines[0]);
  Expect(lines[2].rfind("0 3B0501000000000000800000 I 00000010 00000010 ", 0) == 0,
         "trace of the commit: " + lines[2]);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s library trace-file image-file\n", argv[0]);
    return 2;
  }
  std::remove(argv[3]);
  if (!Load(argv[1])) {
    std::printf("FAIL cannot load %s\n", argv[1]);
    return 1;
  }
  const win::DWORD info = supportInfo();
  Expect(info == 0x0102, "GetASPI32SupportInfo = SS_COMP, 2 adapters: " + std::to_string(info));
  HostAdapter();
  Identify("QF01");
  std::uint8_t data[128];
  const Outcome absent = Exec(5, 0, {0x12, 0, 0, 0, 0x80}, true, data, sizeof(data));
  Expect(absent.returned == aspi::SS_NO_DEVICE && absent.srb.SRB_Status == aspi::SS_NO_DEVICE,
         "an empty address gives SS_NO_DEVICE");
  FlashChunk(argv[3]);
  Identify("QF05");
  CheckTrace(argv[2]);
  std::printf("%d failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}
