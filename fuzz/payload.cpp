// A flash program whose payload comes from the input: its chip table and profile
// lengths, its image length and variant markers, its identification texts, and the
// drive's flash ID. The program starts as it would, and FLASH runs against the emulated
// drive, on either back end, sometimes cut short by a refused WRITE BUFFER.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzProgram.h"

namespace {

void SetText(char* field, const std::string& text, std::size_t width = kTextFieldSize) {
  std::memset(field, 0, width);
  std::memcpy(field, text.data(), std::min(text.size(), width));
}

void Overlay(FuzzedDataProvider& in, void* to, std::size_t size) {
  std::vector<std::uint8_t> bytes = in.ConsumeBytes<std::uint8_t>(size);
  if (!bytes.empty()) std::memcpy(to, bytes.data(), bytes.size());
}

// A flash program for the example model, as the builder writes one.
void MakeFlashProgram(FlashPayloadRecord& p, FuzzedDataProvider& in) {
  SetText(p.ModelText, "KRW-52088S");
  SetText(p.InquiryText, "KOR-VEL KRW-52088S");
  SetText(p.FirmwareRange, "QF01-QF2Z");
  SetText(p.VendorText, "Korvel-XQ");
  SetText(p.NoteText, in.ConsumeBool() ? "FLASH-ALL" : "Korvel");
  std::memcpy(p.FirmwareName, "QF05.", 5);
  std::memcpy(p.FirmwareImage, "FW01", 4);
  if (in.ConsumeBool()) Overlay(in, p.InquiryText, kTextFieldSize);
  if (in.ConsumeBool()) Overlay(in, p.FirmwareRange, kTextFieldSize);
}

void ChipTable(FlashPayloadRecord& p, FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
      Overlay(in, p.ChipTable, sizeof p.ChipTable);
      break;
    case 1: {
      ChipTableEntry& e = p.ChipTable[in.ConsumeIntegralInRange(0, kChipTableEntries - 1)];
      auto length = in.ConsumeIntegral<std::uint16_t>();
      e.ProfileLengthBE[0] = static_cast<std::uint8_t>(length >> 8);
      e.ProfileLengthBE[1] = static_cast<std::uint8_t>(length);
      break;
    }
    default:
      break;  // as shipped
  }
}

void ImageLength(FlashPayloadRecord& p, FuzzedDataProvider& in) {
  std::uint32_t length = in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 34) * 16384u
                                          : in.ConsumeIntegral<std::uint32_t>();
  for (int i = 0; i < 4; ++i) p.FirmwareLength[i] = static_cast<std::uint8_t>(length >> (8 * i));
}

void Variant(FlashPayloadRecord& p, FuzzedDataProvider& in) {
  std::uint8_t* image = p.FirmwareImage;
  auto marker = [&](std::size_t at) {
    image[at] = 0x05;
    image[at + 1] = 0x80;
  };
  switch (in.ConsumeIntegralInRange(0, 4)) {
    case 1:
      marker(0x1100);
      break;
    case 2:
      marker(0x4000);
      std::memcpy(image + 0x4010, in.ConsumeBool() ? "DVD-ROM QRV-310" : "dvd-rom qrv-482", 15);
      break;
    case 3:
      marker(0x4008);
      std::memcpy(image + 0x4018, "DVD-ROM QRV-482", 15);
      break;
    case 4:
      Overlay(in, image + 0x1100, 2);
      Overlay(in, image + 0x4000, 0x28);
      break;
    default:
      break;  // no variant
  }
}

emu::DriveConfig Drive(const FlashPayloadRecord& p, FuzzedDataProvider& in) {
  emu::DriveConfig drive;
  if (in.ConsumeBool()) {
    const ChipTableEntry& e = p.ChipTable[in.ConsumeIntegralInRange(0, kChipTableEntries - 1)];
    const std::uint8_t id[4] = {e.ChipId[0], e.ChipId[1], e.ExtendedId[0], e.ExtendedId[1]};
    std::memcpy(drive.flashId, id, 4);
  } else {
    Overlay(in, drive.flashId, 4);
  }
  if (in.ConsumeBool()) drive.revision = in.ConsumeBytesAsString(4);
  return drive;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  FuzzProgram program(false);
  FlashPayloadRecord& p = program.Payload();
  MakeFlashProgram(p, in);
  ChipTable(p, in);
  ImageLength(p, in);
  Variant(p, in);
  emu::DriveConfig drive = Drive(p, in);
  if (in.ConsumeBool()) program.fake.UseWin98();
  int index = program.fake.AddDrive(drive);
  if (in.ConsumeBool()) {
    emu::Fault cut;  // the flash stops at a WRITE BUFFER: the profile's, or an image chunk's
    cut.opcode = 0x3B;
    cut.occurrence = in.ConsumeIntegralInRange(0, 3);
    program.fake.bus.AddFault(index, cut);
  }
  program.tk.answers = {ModalResult::Yes};
  program.tk.userActions = {[&] {
    program.tk.answers.push_back(ModalResult::Yes);
    program.tk.answers.push_back(ModalResult::No);
    program.tk.UserClicksFlashButton();
  }};
  program.Run();
  return 0;
}
