#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "package/FlashPayload.h"

namespace {

struct ShippedEntry {
  std::uint8_t id0, id1;
  unsigned length;
  std::uint8_t ext0, ext1;
  unsigned profileStart;
};

// The chip table the drive maker ships, with where each profile starts.
const ShippedEntry kShipped[kChipTableEntries] = {
    {0xDA, 0xC8, 314, 0x00, 0x00, 0},     {0xBF, 0xB4, 452, 0x00, 0x00, 314},
    {0xBF, 0xD6, 1280, 0x00, 0x01, 766},  {0xBF, 0xB6, 1280, 0x00, 0x01, 766},
    {0x37, 0x8C, 1280, 0x00, 0x01, 2046}, {0xBF, 0xD7, 1000, 0x00, 0x01, 3326},
    {0x37, 0x0D, 1280, 0x00, 0x01, 4326},
};

TEST(Payload, ChipTableIsAsShipped) {
  for (int i = 0; i < kChipTableEntries; ++i) {
    const ChipTableEntry& e = FlashPayload.ChipTable[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(e.ChipId[0], kShipped[i].id0);
    EXPECT_EQ(e.ChipId[1], kShipped[i].id1);
    EXPECT_EQ(ChipProfileLength(e), kShipped[i].length);
    EXPECT_EQ(e.ExtendedId[0], kShipped[i].ext0);
    EXPECT_EQ(e.ExtendedId[1], kShipped[i].ext1);
  }
}

TEST(Payload, ProfilesFillTheirAreaExactlyWithEntryTwoSharingEntryThree) {
  unsigned offset = 0;
  for (int i = 0; i < kChipTableEntries; ++i) {
    EXPECT_EQ(offset, kShipped[i].profileStart) << i;
    if (i != 2) offset += ChipProfileLength(FlashPayload.ChipTable[i]);
  }
  EXPECT_EQ(offset, kChipProfilesSize);
}

TEST(Payload, PlaceholderProfilesHaveTheMakersLeadBytesAndDifferFromEachOther) {
  const std::uint8_t lead[] = {0x7A, 0x07, 0x00, 0xFF, 0xFF, 0x00, 0x01, 0x00};
  EXPECT_EQ(0, std::memcmp(FlashPayload.ChipProfiles + 0, lead, sizeof lead));
  EXPECT_EQ(0, std::memcmp(FlashPayload.ChipProfiles + 314, lead, sizeof lead));
  // Distinct blocks, so a profile sent from the wrong offset cannot pass for the right one.
  const unsigned starts[] = {766, 2046, 3326, 4326};
  for (unsigned a : starts) {
    for (unsigned b : starts) {
      if (a != b) {
        EXPECT_NE(0, std::memcmp(FlashPayload.ChipProfiles + a, FlashPayload.ChipProfiles + b, 64));
      }
    }
  }
}

TEST(Payload, BuildKeyAndTailMark) {
  EXPECT_EQ(std::string(FlashPayload.BuildKey, 15), std::string("Q731-4-2260958") + '\0');
  EXPECT_EQ(std::string(FlashPayload.TailMark, 4), "QIRM");
}

TEST(Payload, ShippedProgramIsABuilder) {
  EXPECT_EQ(0, std::memcmp(FlashPayload.FirmwareImage, FlashPayload.TailMark, 4));
  // The shipped image bytes the variant check reads: no marker anywhere.
  EXPECT_EQ(FlashPayload.FirmwareImage[0x4000], 0x02);
  EXPECT_EQ(FlashPayload.FirmwareImage[0x4001], 0xAE);
  EXPECT_EQ(FlashPayload.FirmwareImage[0x4008], 0x82);
  EXPECT_EQ(FlashPayload.FirmwareImage[0x4009], 0x00);
  EXPECT_EQ(FlashPayload.FirmwareImage[0x1100], 0x00);
  EXPECT_EQ(FlashPayload.FirmwareImage[0x1101], 0x00);
  std::string straddle(
      reinterpret_cast<const char*>(FlashPayload.FirmwareImage) + kFirmwareAreaSize - 8, 12);
  EXPECT_EQ(straddle, "KORVELXQQIRM");
}

TEST(Payload, BuildHeaderTextsAreTerminatedWithinTheirFields) {
  const char* fields[] = {FlashPayload.ModelText, FlashPayload.InquiryText,
                          FlashPayload.FirmwareRange, FlashPayload.VendorText,
                          FlashPayload.NoteText};
  for (const char* f : fields) EXPECT_NE(nullptr, std::memchr(f, 0, kTextFieldSize));
  EXPECT_STREQ(FlashPayload.InquiryText, "KOR-VEL KRW-52088S");
  EXPECT_EQ(0, std::memcmp(FlashPayload.Reserved, "\0\0\0", 3));
}

TEST(Payload, FirmwareLengthIsLittleEndian) {
  FlashPayloadRecord* copy = new FlashPayloadRecord(FlashPayload);
  const std::uint8_t bytes[] = {0x00, 0x40, 0x07, 0x00};
  std::memcpy(copy->FirmwareLength, bytes, 4);
  EXPECT_EQ(PayloadFirmwareLength(*copy), 0x74000u);
  delete copy;
}

}  // namespace
