#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "driver/simcard/firmware_image.h"
#include "driver/tools/pelgarsim_report.h"

namespace pelgarsim {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

Inputs CardInputs(const std::string& file, bool firmware = true) {
  std::ifstream in(std::string(TV_CARDS_DIR) + "/" + file);
  std::stringstream text;
  text << in.rdbuf();
  Inputs inputs;
  simcard::ParseResult parsed = simcard::ParseCardFile(text.str(), &inputs.card);
  EXPECT_TRUE(parsed.ok) << file << ":" << parsed.line << ": " << parsed.error;
  if (firmware) inputs.driverFiles.emplace_back(simcard::kFirmwareFileName, simcard::TestFirmwareImage());
  return inputs;
}

TEST(PelgarSimRegFile, ReadsDwordsAndDeletionsUnderTheirKeys) {
  std::vector<RegEdit> edits;
  std::string error;
  ASSERT_TRUE(
      ParseRegFile("REGEDIT4\r\n\r\n; board type forced\r\n[DriverData]\r\n\"BoardType\"=dword:00000000\r\n"
                   "\"TunerCountryCode\"=-\r\n[DriverData\\XBarPin0]\r\n\"PinType\"=dword:0000000A\r\n",
                   &edits, &error))
      << error;
  EXPECT_THAT(edits, ElementsAre(RegEdit{"DriverData", "BoardType", false, 0},
                                 RegEdit{"DriverData", "TunerCountryCode", true, 0},
                                 RegEdit{"DriverData\\XBarPin0", "PinType", false, 10}));
}

TEST(PelgarSimRegFile, RefusesWhatItCannotApply) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"", "does not start with REGEDIT4"},
      {"Windows Registry Editor Version 5.00\n", "line 1: the file does not start with REGEDIT4"},
      {"REGEDIT4\n\"BoardType\"=dword:00000000\n", "line 2: a value before the first key"},
      {"REGEDIT4\n[DriverData\n", "line 2: bad key line"},
      {"REGEDIT4\n[DriverData]\n\"BoardType\"=dword:0000000G\n", "line 3: bad dword"},
      {"REGEDIT4\n[DriverData]\n\"BoardType\"=dword:1\n", "line 3: only dword:XXXXXXXX"},
      {"REGEDIT4\n[DriverData]\n\"Name\"=\"text\"\n", "line 3: only dword:XXXXXXXX"},
      {"REGEDIT4\n[DriverData]\nBoardType=dword:00000000\n", "line 3: a value line starts with its quoted name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<RegEdit> edits{RegEdit{"kept", "kept", false, 1}};
    std::string error;
    EXPECT_FALSE(ParseRegFile(c.text, &edits, &error));
    EXPECT_THAT(error, HasSubstr(c.error));
    EXPECT_EQ(edits.size(), 1u) << "nothing appended";
  }
}

TEST(PelgarSim, ReportsTheBoardEachSampleCardDescribes) {
  const struct {
    const char* file;
    ULONG boardKind;
    ULONG tunerType;
    std::vector<ULONG> peripherals;
  } cases[] = {
      {"kind0.card", 0, 4, {}},    {"kind1.card", 1, 7, {}},   {"kind2.card", 2, 4, {0xB8, 0x24, 0xF4}},
      {"kind3.card", 3, 3028, {}}, {"kind78.card", 1, 78, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    Report r = Simulate(CardInputs(c.file));
    EXPECT_EQ(r.startStatus, STATUS_SUCCESS);
    EXPECT_EQ(r.boardKind, c.boardKind);
    EXPECT_EQ(r.tunerType, c.tunerType);
    EXPECT_EQ(r.peripherals, c.peripherals);
    EXPECT_EQ(r.poolOutstanding, 0u);
    EXPECT_THAT(r.faults, IsEmpty());
    EXPECT_TRUE(r.Clean());
  }
}

TEST(PelgarSim, RegistryFileOverridesTheCardsDriverData) {
  Inputs inputs = CardInputs("kind1.card");
  inputs.registry = {RegEdit{"DriverData", "BoardType", false, 0}};
  EXPECT_EQ(Simulate(inputs).boardKind, 0u) << "kind1.card says BoardType 1";

  inputs.registry = {RegEdit{"DriverData", "BoardType", false, 5}};
  Report refused = Simulate(inputs);
  EXPECT_EQ(refused.startStatus, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(refused.poolOutstanding, 0u);
  EXPECT_THAT(refused.faults, IsEmpty());
  EXPECT_FALSE(refused.Clean());

  inputs = CardInputs("kind0.card");
  inputs.registry = {RegEdit{"DriverData", "BoardType", true, 0}};
  EXPECT_EQ(Simulate(inputs).boardKind, 1u) << "without the value the probe runs (default 1)";
}

TEST(PelgarSim, FirmwareLoadsOnlyWhenTheImageIsInTheDriverFolder) {
  Inputs inputs = CardInputs("kind1.card");
  inputs.powerCycles = 2;
  Report loaded = Simulate(inputs);
  EXPECT_TRUE(loaded.bringUp.firmwareLoaded);
  ASSERT_EQ(loaded.powerCycles.size(), 2u);
  for (const PowerCycle& c : loaded.powerCycles) {
    EXPECT_EQ(c.queryPower, STATUS_SUCCESS);
    EXPECT_TRUE(c.bringUp.firmwareLoaded) << "the firmware is loaded again after each return to D0";
  }
  EXPECT_EQ(loaded.poolOutstanding, 0u);
  EXPECT_THAT(loaded.faults, IsEmpty());

  Report missing = Simulate(CardInputs("kind1.card", /*firmware=*/false));
  EXPECT_EQ(missing.startStatus, STATUS_SUCCESS) << "the bring-up runs after start, on its own thread";
  EXPECT_FALSE(missing.bringUp.firmwareLoaded);
  EXPECT_FALSE(NT_SUCCESS(missing.bringUp.status));
  EXPECT_EQ(missing.poolOutstanding, 0u);
  EXPECT_THAT(missing.faults, IsEmpty());
}

TEST(PelgarSim, JsonCarriesEveryFact) {
  Report r;
  r.card = "Kind 2 board";
  r.addStatus = STATUS_SUCCESS;
  r.startStatus = static_cast<NTSTATUS>(0xC000009A);
  r.boardKind = 2;
  r.tunerType = 4;
  r.peripherals = {0xB8, 0x24};
  r.bringUp = {true, STATUS_SUCCESS};
  r.powerCycles = {PowerCycle{STATUS_SUCCESS, {false, static_cast<NTSTATUS>(0xC00000A3)}}};
  EXPECT_EQ(Json(r),
            "{\n"
            "  \"card\": \"Kind 2 board\",\n"
            "  \"addStatus\": \"0x00000000\",\n"
            "  \"startStatus\": \"0xC000009A\",\n"
            "  \"boardKind\": 2,\n"
            "  \"tunerType\": 4,\n"
            "  \"peripherals\": [\n"
            "    \"0xB8\",\n"
            "    \"0x24\"\n"
            "  ],\n"
            "  \"firmwareLoaded\": true,\n"
            "  \"bringUpStatus\": \"0x00000000\",\n"
            "  \"powerCycles\": [\n"
            "    {\n"
            "      \"queryPowerStatus\": \"0x00000000\",\n"
            "      \"firmwareLoaded\": false,\n"
            "      \"bringUpStatus\": \"0xC00000A3\"\n"
            "    }\n"
            "  ],\n"
            "  \"poolOutstanding\": 0,\n"
            "  \"outstanding\": [],\n"
            "  \"faults\": []\n"
            "}\n");
}

}  // namespace
}  // namespace pelgarsim
