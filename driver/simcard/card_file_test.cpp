#include "driver/simcard/card_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace simcard {
namespace {

constexpr char kCard[] = R"(# A kind-1 board with an EEPROM-programmed tuner code
name   Kind 1 test board
memory 0xE0000000 0x4000000
interrupt 17 9 level shared
firmware-signature 0x200
i2c 0xA0 eeprom size=256 page=8
data 0xA0 0x10 0xAA 0x55 0x00 7
i2c 0x42 registers8
answer 0x42 0x00 0x15
i2c 0x86 registers8
i2c 0xC0 plain read=0x46,0x42
switch nak 0x86
)";

TEST(CardFile, ReadsEveryPartOfACardDescription) {
  CardDescription card;
  ParseResult result = ParseCardFile(kCard, &card);
  ASSERT_TRUE(result.ok) << result.line << ": " << result.error;
  EXPECT_EQ(card.name, "Kind 1 test board");
  EXPECT_EQ(card.memoryAddress, 0xE0000000u);
  EXPECT_EQ(card.memoryLength, 0x4000000u);
  EXPECT_EQ(card.vector, 17u);
  EXPECT_EQ(card.irql, 9);
  EXPECT_FALSE(card.latched);
  EXPECT_TRUE(card.shared);
  EXPECT_EQ(card.signatureOffset, 0x200u);
  ASSERT_EQ(card.devices.size(), 4u);
  EXPECT_EQ(card.devices[0].model, I2cDeviceConfig::Model::Eeprom);
  EXPECT_EQ(card.devices[0].page, 8u);
  EXPECT_THAT(card.devices[0].data, ::testing::ElementsAre(::testing::Pair(0x10, 0xAA), ::testing::Pair(0x11, 0x55),
                                                           ::testing::Pair(0x12, 0x00), ::testing::Pair(0x13, 7)));
  EXPECT_THAT(card.devices[1].answers, ::testing::ElementsAre(::testing::Pair(0, 0x15)));
  EXPECT_THAT(card.devices[3].readBytes, ::testing::ElementsAre(0x46, 0x42));
  EXPECT_THAT(card.nakAddresses, ::testing::ElementsAre(0x86));
  EXPECT_FALSE(card.interruptStorm);
  EXPECT_FALSE(card.firmwareSilent);
  EXPECT_EQ(card.answerDelay, 100u) << "the firmware's usual answer time";
  EXPECT_TRUE(card.droppedCommands.empty());
  EXPECT_TRUE(card.droppedCodes.empty());
}

TEST(CardFile, FirmwareSwitchesAccumulate) {
  CardDescription card;
  ParseResult result = ParseCardFile(std::string(kCard) +
                                         "switch firmware-silent\n"
                                         "switch answer-delay 205000\n"
                                         "switch drop-command 3\n"
                                         "switch drop-command 0x10\n"
                                         "switch drop-code 0xC4\n",
                                     &card);
  ASSERT_TRUE(result.ok) << result.line << ": " << result.error;
  EXPECT_TRUE(card.firmwareSilent);
  EXPECT_EQ(card.answerDelay, 205000u);
  EXPECT_THAT(card.droppedCommands, ::testing::ElementsAre(3u, 16u));
  EXPECT_THAT(card.droppedCodes, ::testing::ElementsAre(0xC4u));
}

TEST(CardFile, DriverDataValuesKeepTheirOrderAndSubkeys) {
  CardDescription card;
  ParseResult result = ParseCardFile(std::string(kCard) +
                                         "driverdata BoardType 0\n"
                                         "driverdata XBarPin0\\PinType 0x1\n"
                                         "driverdata TunerCountryCode 0xFFFFFFFF\n"
                                         "switch i2c-fail 7 8\n",
                                     &card);
  ASSERT_TRUE(result.ok) << result.line << ": " << result.error;
  EXPECT_THAT(card.driverData,
              ::testing::ElementsAre(DriverValue{"", "BoardType", 0}, DriverValue{"XBarPin0", "PinType", 1},
                                     DriverValue{"", "TunerCountryCode", 0xFFFFFFFF}));
  EXPECT_EQ(card.i2cFailFirst, 7u);
  EXPECT_EQ(card.i2cFailCount, 8u);
}

TEST(CardFile, ErrorsNameTheLineAndTheFault) {
  const std::string head = "memory 0xE0000000 0x4000000\ninterrupt 17 9 level shared\n";
  struct Case {
    std::string text;
    int line;
    const char* error;
  } cases[] = {
      {"memory 0xE0000000 0x1000000\n", 1, "the card's window is 0x4000000 bytes"},
      {"memory 0xE2000000 0x4000000\n", 1, "aligned to its length"},
      {"memory 0xE0000000\n", 1, "missing memory length"},
      {"memory 0xZZ 0x4000000\n", 1, "bad memory address '0xZZ'"},
      {"interrupt 17 2 level shared\n", 1, "levels are 3 to 26"},
      {"interrupt 17 27 level shared\n", 1, "level 27 is out of range"},
      {"interrupt 17 9 edge shared\n", 1, "mode is 'level' or 'latched'"},
      {head + "i2c 0xA1 eeprom\n", 3, "has bit 0 set"},
      {head + "i2c 0xA0 eeprom\ni2c 0xA0 registers8\n", 4, "declared twice"},
      {head + "i2c 0xA0 flash\n", 3, "unknown device model 'flash'"},
      {head + "i2c 0xA0 eeprom size=257\n", 3, "1 to 256 bytes"},
      {head + "i2c 0xA0 eeprom page=6\n", 3, "power of two"},
      {head + "i2c 0x42 registers8 page=8\n", 3, "does not apply to a registers8 device"},
      {head + "data 0xA0 0 1\n", 3, "no i2c device declared at 0xA0"},
      {head + "i2c 0xA0 eeprom size=16\ndata 0xA0 14 1 2\n", 4, ""},
      {head + "i2c 0xA0 eeprom size=16\ndata 0xA0 15 1 2\n", 4, "runs past the end"},
      {head + "i2c 0x42 registers8\ndata 0x42 0 256\n", 4, "byte 256 is out of range"},
      {head + "i2c 0x42 registers8\nanswer 0x42 0x100 1\n", 4, "register 0x100 is out of range"},
      {head + "i2c 0xC0 plain\nanswer 0xC0 0 1\n", 4, "plain device has no registers"},
      {head + "switch nak 0x86\n", 3, "names an address with no device"},
      {head + "switch firmware-mute\n", 3, "unknown switch 'firmware-mute'"},
      {head + "switch firmware-silent 1\n", 3, "unexpected '1'"},
      {head + "switch answer-delay\n", 3, "missing answer delay"},
      {head + "switch answer-delay 10000000\n", 0, ""},
      {head + "switch answer-delay 10000001\n", 3, "answer delay 10000001 is out of range"},
      {head + "switch drop-command 0\n", 3, "counted from 1"},
      {head + "switch drop-command 0x100000000\n", 3, "command number 0x100000000 is out of range"},
      {head + "switch drop-code 0xC4 0xC5\n", 3, "unexpected '0xC5'"},
      {head + "colour blue\n", 3, "unknown directive 'colour'"},
      {head + "driverdata BoardType\n", 3, "missing value"},
      {head + "driverdata BoardType 0x100000000\n", 3, "value 0x100000000 is out of range"},
      {head + "driverdata BoardType 1\ndriverdata boardtype 2\n", 4, "given twice"},
      {head + "driverdata XBarPin0\\ 1\n", 3, "bad value name"},
      {head + "driverdata BoardType 1 2\n", 3, "unexpected '2'"},
      {head + "switch i2c-fail 0\n", 3, "counted from 1"},
      {head + "switch i2c-fail 3 0\n", 3, "at least one"},
      {head + "switch i2c-fail 3\n", 0, ""},
      {"interrupt 17 9 level shared\n", 1, "no 'memory' line"},
      {"memory 0xE0000000 0x4000000\n", 1, "no 'interrupt' line"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    CardDescription card;
    card.name = "untouched";
    ParseResult result = ParseCardFile(c.text, &card);
    if (*c.error == 0) {
      EXPECT_TRUE(result.ok) << result.error;
      continue;
    }
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.line, c.line);
    EXPECT_THAT(result.error, ::testing::HasSubstr(c.error));
    EXPECT_EQ(card.name, "untouched");
  }
}

}  // namespace
}  // namespace simcard
