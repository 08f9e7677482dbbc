// What the flash engine reads from the user's window: the payload record, the answers to
// its calls and the window's events. The first byte chooses the record: none but what the
// input's frames hold, or a sound flash program with up to three bytes of its header,
// chip table, length or variant markers changed by the input, sent ahead of its frames;
// and whether the window stops reading after some messages.
// Two emulated drives, the second the one the record matches. Whatever the window sends,
// no drive hears a command unless the record passed its checks, none after the window
// was lost, the drive the record does not match is never written, and no drive is
// committed without a Yes to the update question asked before it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/FlashForm.h"
#include "engine/Engine.h"
#include "engine/PayloadCheck.h"
#include "fuzz/FuzzChannel.h"
#include "fuzz/FuzzProgram.h"

namespace {

// The bytes the input may change: the chip table to the image length, and the image's
// variant markers.
std::size_t Patchable(std::uint8_t pick) {
  constexpr std::size_t kTable = offsetof(FlashPayloadRecord, ChipTable);
  constexpr std::size_t kImage = offsetof(FlashPayloadRecord, FirmwareImage);
  constexpr std::size_t kHeader = kImage - kTable;  // 194
  static_assert(kHeader + 2 + 0x28 <= 256, "one byte picks a patchable byte");
  if (pick < kHeader) return kTable + pick;
  if (pick < kHeader + 2) return kImage + 0x1100 + (pick - kHeader);
  return kImage + 0x4000 + (pick - kHeader - 2) % 0x28;
}

// A flash program for the emulated drive's model, as the builder writes one.
const FlashPayloadRecord& SoundRecord() {
  static const FlashPayloadRecord* record = [] {
    auto* p = new FlashPayloadRecord(FlashPayload);
    auto text = [](char* field, const char* value) {
      std::memset(field, 0, kTextFieldSize);
      std::memcpy(field, value, std::strlen(value));
    };
    text(p->ModelText, "KRW-52088S");
    text(p->InquiryText, "KOR-VEL KRW-52088S");
    text(p->FirmwareRange, "QF01-QF2Z");
    text(p->VendorText, "Korvel-XQ");
    text(p->NoteText, "Korvel");
    std::memcpy(p->FirmwareName, "QF05.", 5);
    const std::uint32_t length = 0x80000;
    for (int i = 0; i < 4; ++i) p->FirmwareLength[i] = static_cast<std::uint8_t>(length >> (8 * i));
    for (std::size_t i = 0; i < kFirmwareAreaSize; ++i)
      p->FirmwareImage[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
    p->FirmwareImage[0x4000] = 0x02;  // no variant marker
    p->FirmwareImage[0x4008] = 0x82;
    p->FirmwareImage[0x1100] = 0x00;
    if (!PayloadRefusal(*p).empty()) Finding("the sound record is refused");
    return p;
  }();
  return *record;
}

// The record's message body, sent ahead of the input's frames, or null; moves `data`
// past the patches used.
const std::vector<std::uint8_t>* RecordBody(std::uint8_t mode, const std::uint8_t*& data,
                                            std::size_t& size) {
  if ((mode & 1) == 0) return nullptr;
  // Reused: a fresh half megabyte each run would cost more than the run.
  static auto* body = new std::vector<std::uint8_t>(1 + 4 + sizeof(FlashPayloadRecord));
  std::uint8_t* bytes = body->data();
  bytes[0] = static_cast<std::uint8_t>(remote::Op::Payload);
  for (int i = 0; i < 4; ++i) bytes[1 + i] = sizeof(FlashPayloadRecord) >> (8 * i) & 0xFF;
  std::memcpy(bytes + 5, &SoundRecord(), sizeof(FlashPayloadRecord));
  for (int patches = mode >> 1 & 3; patches > 0 && size >= 2; --patches, data += 2, size -= 2)
    bytes[5 + Patchable(data[0])] = data[1];
  return body;
}

static_assert(alignof(FlashPayloadRecord) == 1, "a record at any address");

bool IsCommit(const emu::TraceEntry& e) {
  return e.cdb[0] == 0x3B && (e.cdb[9] == 0x80 || e.cdb[9] == 0xA0);
}

// What the window has said so far, and what that allows the engine.
struct Watch {
  bool recordSound = false;  // a record came and passed the checks
  int yesToUpdate = 0;       // Yes answers to the update question not yet used by a commit
  std::vector<remote::Message> calls;  // the engine's calls awaiting their answers
  TFlashForm* form = nullptr;          // the run's form, left behind when the window is lost

  void Sent(const remote::Message& m) {
    if (FlashForm) form = FlashForm;
    if (m.op != remote::Op::Return && m.op != remote::Op::Hello && m.op != remote::Op::Exit)
      calls.push_back(m);
  }
  void Received(const remote::Message& m) {
    if (m.op == remote::Op::Payload && calls.empty())  // packed: any address will do
      recordSound =
          PayloadRefusal(*reinterpret_cast<const FlashPayloadRecord*>(m.text.data())).empty();
    if (m.op != remote::Op::Return || calls.empty()) return;
    const remote::Message call = calls.back();
    calls.pop_back();
    if (call.op == remote::Op::MessageDialog &&
        call.n[1] == static_cast<int>(DialogButtons::YesNo) &&
        call.text.find("Update Firmware") != std::string::npos &&
        m.n[0] == static_cast<int>(ModalResult::Yes))
      ++yesToUpdate;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = *data++;
  --size;
  const std::vector<std::uint8_t>* record = RecordBody(mode, data, size);
  FuzzProgram program(false);
  if (record) {              // the raw input brings no record
    emu::DriveConfig other;  // drive 0, which no flash program of the record's model matches
    other.product = "KRW-40000X";
    other.target = 1;
    program.fake.AddDrive(other);
    emu::DriveConfig drive;
    drive.letter = 'E';
    program.fake.AddDrive(drive);
  }

  FuzzChannel window(data, size, remote::Side::Window);
  window.Lead(record);
  if (mode >> 3) window.sendsLeft = (mode >> 3) * 8;  // then the window stops reading
  Watch watch;
  window.onSend = [&](const remote::Message& m) { watch.Sent(m); };
  window.onReceive = [&](const remote::Message& m) { watch.Received(m); };
  program.fake.bus.SetListener([&](const emu::TraceEntry& e) {
    if (!watch.recordSound) Finding("a drive command without a sound record");
    if (window.ended) Finding("a drive command after the window was lost");
    if (e.drive == 0 && e.cdb[0] == 0x3B) Finding("a write to a drive the record does not match");
    if (IsCommit(e) && watch.yesToUpdate-- <= 0)
      Finding("a commit without a Yes to the update question");
  });

  const int code = RunEngine(window);
  if (code != 0 && code != kEngineRefused && code != kEngineWindowLost) Finding("exit code");
  if (code == kEngineRefused && !program.fake.bus.Trace().empty())
    Finding("a refused record, and drive commands");
  // The engine leaves a lost window's form as it is; the target frees it for the next run.
  if (code == kEngineWindowLost && watch.form) {
    InstallToolkit(&program.tk);
    delete watch.form;
  }
  program.fake.bus.SetListener(nullptr);
  return 0;
}
