#include "emulator/EmulatorConfig.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(EmulatedConfigTest, ReadsEveryDriveSetting) {
  const std::string text =
      "# two drives\n"
      "trace Z:/tmp/trace.txt\r\n"
      "adapters 3\n"
      "completion sync\n"
      "abort-signal-ms 50\n"
      "\n"
      "drive\n"
      "  letter E\n"
      "  address 2 1 0\n"
      "  type 0\n"
      "  vendor NEC CORP   # the vendor\n"
      "  product  CD-RW  52X \n"
      "  revision QF03\n"
      "  revision-after-commit QG00\n"
      "  flash-id BF d6 12 0x34\n"
      "  becoming-ready -1\n"
      "  disc yes\n"
      "  delay-ms 0x20\n"
      "  commit-delay-ms 70000\n"
      "  image /tmp/image#1 one.bin\n"
      "  residual no\n"
      "  underrun always\n"
      "drive\n";
  emu::EmulatorConfig config;
  std::string error;
  ASSERT_TRUE(emu::ParseConfig(text, config, error)) << error;
  EXPECT_EQ(config.tracePath, "Z:/tmp/trace.txt");
  EXPECT_EQ(config.adapters, 3);
  EXPECT_FALSE(config.asynchronous);
  EXPECT_EQ(config.abortSignalMs, 50);
  ASSERT_EQ(config.drives.size(), 2u);
  const emu::DriveConfig& d = config.drives[0].config;
  EXPECT_EQ(d.letter, 'E');
  EXPECT_EQ(d.adapter, 2);
  EXPECT_EQ(d.target, 1);
  EXPECT_EQ(d.lun, 0);
  EXPECT_EQ(d.peripheralType, 0);
  EXPECT_EQ(d.vendor, "NEC CORP");
  EXPECT_EQ(d.product, "CD-RW  52X");
  EXPECT_EQ(d.revision, "QF03");
  EXPECT_EQ(d.revisionAfterCommit, "QG00");
  EXPECT_EQ(std::memcmp(d.flashId, "\xBF\xD6\x12\x34", 4), 0);
  EXPECT_EQ(d.becomingReadyPasses, -1);
  EXPECT_TRUE(d.discPresent);
  EXPECT_EQ(d.completionDelayMs, 32);
  EXPECT_EQ(d.commitDelayMs, 70000);
  EXPECT_EQ(config.drives[0].imagePath, "/tmp/image#1 one.bin");
  EXPECT_FALSE(d.reportsResidual);
  EXPECT_TRUE(d.underrunAlways);

  const emu::DriveConfig defaults;
  EXPECT_EQ(config.drives[1].config.vendor, defaults.vendor);
  EXPECT_EQ(config.drives[1].config.revision, defaults.revision);
  EXPECT_TRUE(config.drives[1].imagePath.empty());
  EXPECT_TRUE(config.drives[1].config.reportsResidual);
  EXPECT_FALSE(config.drives[1].config.underrunAlways);
}

TEST(EmulatedConfigTest, ReadsFaults) {
  const std::string text =
      "drive\n"
      "fault sense opcode=3B at=2 sense=03/0c/02\n"
      "fault transport at=5 count=0  # for ever\n"
      "fault never opcode=any\n"
      "fault corrupt opcode=3C at=1 offset=0x100\n"
      "fault status opcode=3B at=34 status=18\n"
      "fault short opcode=3C count=8 moved=0x10\n"
      "fault late late-ms=2500\n";
  emu::EmulatorConfig config;
  std::string error;
  ASSERT_TRUE(emu::ParseConfig(text, config, error)) << error;
  const std::vector<emu::Fault>& f = config.drives.at(0).faults;
  ASSERT_EQ(f.size(), 7u);
  EXPECT_EQ(f[0].kind, emu::FaultKind::Sense);
  EXPECT_EQ(f[0].opcode, 0x3B);
  EXPECT_EQ(f[0].occurrence, 2);
  EXPECT_EQ(f[0].count, 1);
  EXPECT_TRUE(f[0].sense == (emu::Sense{0x03, 0x0C, 0x02}));
  EXPECT_EQ(f[1].kind, emu::FaultKind::TransportFailure);
  EXPECT_EQ(f[1].opcode, -1);
  EXPECT_EQ(f[1].occurrence, 5);
  EXPECT_EQ(f[1].count, 0);
  EXPECT_EQ(f[2].kind, emu::FaultKind::NeverCompletes);
  EXPECT_EQ(f[2].occurrence, 0);
  EXPECT_EQ(f[3].kind, emu::FaultKind::CorruptRead);
  EXPECT_EQ(f[3].corruptOffset, 0x100u);
  EXPECT_EQ(f[4].kind, emu::FaultKind::Status);
  EXPECT_EQ(f[4].status, 0x18);
  EXPECT_EQ(f[5].kind, emu::FaultKind::ShortTransfer);
  EXPECT_EQ(f[5].moved, 16u);
  EXPECT_EQ(f[5].count, 8);
  EXPECT_EQ(f[6].kind, emu::FaultKind::LateAfterAbort);
  EXPECT_EQ(f[6].lateMs, 2500);
}

TEST(EmulatedConfigTest, ReportsTheFirstBadLine) {
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"letter D\n", "line 1: 'letter' before the first 'drive'"},
      {"drive\ncolour blue\n", "line 2: bad or unknown setting 'colour'"},
      {"drive\nflash-id BF B6 00\n", "line 2: bad or unknown setting 'flash-id'"},
      {"drive\naddress 0 x 0\n", "line 2: bad or unknown setting 'address'"},
      {"drive\n\nfault sense sense=03-0C-00\n", "line 3: bad or unknown setting 'fault'"},
      {"drive\nfault sometimes\n", "line 2: bad or unknown setting 'fault'"},
      {"completion later\n", "line 1: bad value for completion"},
      {"trace\n", "line 1: bad value for trace"},
      {"abort-signal-ms -2\n", "line 1: bad value for abort-signal-ms"},
      {"drive\nunderrun sometimes\n", "line 2: bad or unknown setting 'underrun'"},
  };
  for (const Case& c : cases) {
    emu::EmulatorConfig config;
    std::string error;
    EXPECT_FALSE(emu::ParseConfig(c.text, config, error)) << c.text;
    EXPECT_EQ(error, c.error);
  }
}

TEST(EmulatedConfigTest, MissingFileIsAnError) {
  emu::EmulatorConfig config;
  std::string error;
  EXPECT_FALSE(emu::LoadConfig("/nonexistent/korvel/emulator.cfg", config, error));
  EXPECT_EQ(error, "cannot read /nonexistent/korvel/emulator.cfg");
}

TEST(EmulatedConfigTest, DrivesAndFaultsGoOntoTheBus) {
  emu::EmulatorConfig config;
  std::string error;
  ASSERT_TRUE(
      emu::ParseConfig("drive\ndrive\naddress 0 1 0\nfault sense opcode=00\n", config, error));
  emu::EmulatedBus bus;
  emu::AddDrives(config, bus);
  ASSERT_EQ(bus.DriveCount(), 2);
  EXPECT_EQ(bus.FindByAddress(0, 1, 0), 1);
  const std::uint8_t tur[12] = {};
  EXPECT_EQ(bus.Execute(0, tur, true, nullptr, 0).outcome, emu::Outcome::Good);
  EXPECT_EQ(bus.Execute(1, tur, true, nullptr, 0).outcome, emu::Outcome::CheckCondition);

  const emu::EmulatorConfig defaults = emu::DefaultConfig();
  ASSERT_EQ(defaults.drives.size(), 1u);
  EXPECT_EQ(defaults.drives[0].config.letter, 'D');
  EXPECT_TRUE(defaults.asynchronous);
}

TEST(EmulatedConfigTest, TraceLineIsFixedWidthHex) {
  emu::TraceEntry entry;
  entry.drive = 1;
  const std::uint8_t cdb[12] = {0x3B, 0x05, 0x01, 0x08, 0, 0, 0, 0x01, 0x3E, 0x7F, 0, 0};
  std::memcpy(entry.cdb, cdb, 12);
  entry.dataIn = false;
  entry.transferLength = 318;
  entry.transferred = 0;
  entry.digest = 0xCBF29CE484222325ull;
  entry.outcome = emu::Outcome::CheckCondition;
  entry.sense = emu::Sense{0x05, 0x24, 0x00};
  EXPECT_EQ(emu::FormatTraceLine(entry),
            "1 3B050108000000013E7F0000 O 0000013E 00000000 CBF29CE484222325 CHECK 05/24/00");
  entry.outcome = emu::Outcome::NeverCompletes;
  entry.dataIn = true;
  EXPECT_NE(emu::FormatTraceLine(entry).find(" I 0000013E "), std::string::npos);
  EXPECT_NE(emu::FormatTraceLine(entry).find(" NEVER "), std::string::npos);
}

}  // namespace
