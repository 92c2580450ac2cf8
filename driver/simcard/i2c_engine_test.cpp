#include "driver/simcard/i2c_engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace simcard {
namespace {

// A bus master that moves the two lines the way the driver's bit-banging master does.
class BitMaster {
 public:
  explicit BitMaster(I2cEngine& bus) : bus_(bus) {}

  // The driver's calls take true for "pull the line low".
  void Start() {
    bus_.DriveData(false);
    bus_.DriveClock(false);
    bus_.DriveData(true);
  }
  // Clock is held low between bytes: release data, then clock, then pull data low while the clock is high.
  void RepeatedStart() { Start(); }
  // Sends a byte MSB first; returns the slave's acknowledge.
  bool Send(uint8_t byte) {
    for (int bit = 7; bit >= 0; --bit) {
      bus_.DriveClock(true);
      bus_.DriveData(((byte >> bit) & 1) == 0);
      bus_.DriveClock(false);
    }
    bus_.DriveClock(true);
    bus_.DriveData(false);
    bus_.DriveClock(false);
    bool ack = !bus_.Data();
    bus_.DriveClock(true);
    return ack;
  }
  uint8_t Receive(bool last) {
    bus_.DriveData(false);
    uint8_t byte = 0;
    for (int i = 0; i < 8; ++i) {
      bus_.DriveClock(true);
      bus_.DriveClock(false);
      byte = static_cast<uint8_t>((byte << 1) | (bus_.Data() ? 1 : 0));
    }
    bus_.DriveClock(true);
    bus_.DriveData(!last);
    bus_.DriveClock(false);
    bus_.DriveClock(true);
    return byte;
  }
  void Stop() {
    bus_.DriveClock(true);
    bus_.DriveData(true);
    bus_.DriveClock(false);
    bus_.DriveData(false);
  }
  bool Write(uint8_t address, std::vector<uint8_t> bytes, bool stop = true) {
    Start();
    bool ok = Send(address);
    for (size_t i = 0; ok && i < bytes.size(); ++i) ok = Send(bytes[i]);
    if (stop || !ok) Stop();
    return ok;
  }
  std::vector<uint8_t> Read(uint8_t address, size_t count, bool repeated = false) {
    repeated ? RepeatedStart() : Start();
    std::vector<uint8_t> bytes;
    if (Send(address | 1))
      for (size_t i = 0; i < count; ++i) bytes.push_back(Receive(i + 1 == count));
    Stop();
    return bytes;
  }

 private:
  I2cEngine& bus_;
};

class I2cEngineTest : public ::testing::Test {
 protected:
  I2cEngineTest() : bus([this](const std::string& f) { faults.push_back(f); }), master(bus) {
    I2cDeviceConfig eeprom{0xA0, I2cDeviceConfig::Model::Eeprom, 256, 8, {{0x10, 0xAA}, {0x11, 0x55}, {0x13, 7}}, {},
                           {}};
    bus.Attach(0xA0, std::make_unique<RegisterDevice>(eeprom));
    I2cDeviceConfig decoder{0x42, I2cDeviceConfig::Model::Registers8, 256, 0, {}, {{0x00, 0x15}}, {}};
    bus.Attach(0x42, std::make_unique<RegisterDevice>(decoder));
    I2cDeviceConfig wide{0x44, I2cDeviceConfig::Model::Registers16, 0x10000, 0, {}, {}, {}};
    bus.Attach(0x44, std::make_unique<RegisterDevice>(wide));
    bus.Attach(0xC0, std::make_unique<PlainDevice>(std::vector<uint8_t>{0x46, 0x42}));
  }
  std::vector<std::string> faults;
  I2cEngine bus;
  BitMaster master;
};

TEST_F(I2cEngineTest, EepromWriteIsLoggedByteByByteAndStored) {
  EXPECT_TRUE(master.Write(0xA0, {0x10, 0x04, 0x00, 0x55, 0xAA}));
  EXPECT_EQ(bus.LogText(), "S A0+ 10+ 04+ 00+ 55+ AA+ P");
  auto* eeprom = static_cast<RegisterDevice*>(bus.DeviceAt(0xA0));
  EXPECT_EQ(eeprom->Byte(0x10), 0x04);
  EXPECT_EQ(eeprom->Byte(0x13), 0xAA);
  EXPECT_TRUE(faults.empty());
}

TEST_F(I2cEngineTest, WriteThenReadWithRepeatedStartReturnsStoredBytesAndTheMastersNak) {
  ASSERT_TRUE(master.Write(0xA0, {0x10}, /*stop=*/false));
  EXPECT_THAT(master.Read(0xA0, 4, /*repeated=*/true), ::testing::ElementsAre(0xAA, 0x55, 0xFF, 0x07));
  EXPECT_EQ(bus.LogText(), "S A0+ 10+ Sr A1+ AA+ 55+ FF+ 07- P");
  EXPECT_TRUE(faults.empty());
}

TEST_F(I2cEngineTest, AddressesWithoutAnAnsweringDeviceAreNotAcknowledged) {
  EXPECT_FALSE(master.Write(0x86, {0, 0, 0, 0}));
  EXPECT_EQ(bus.LogText(), "S 86- P");
  bus.ClearLog();
  bus.SetNak(0xA0, true);
  EXPECT_FALSE(master.Write(0xA0, {0x10}));
  EXPECT_TRUE(master.Read(0xA0, 1).empty());
  bus.SetNak(0xA0, false);
  EXPECT_TRUE(master.Write(0xA0, {0x10}));
  EXPECT_EQ(bus.LogText(), "S A0- P S A1- P S A0+ 10+ P");
}

TEST_F(I2cEngineTest, FailedTransactionsAreTheCountedAddressBytesNobodyAcknowledges) {
  bus.FailTransactions(2, 2);
  EXPECT_TRUE(master.Write(0xA0, {0x10}, /*stop=*/false));       // 1
  EXPECT_TRUE(master.Read(0xA0, 1, /*repeated=*/true).empty());  // 2: the repeated start counts
  EXPECT_FALSE(master.Write(0x42, {0x00}));                      // 3
  EXPECT_TRUE(master.Write(0x42, {0x00}));                       // 4
  EXPECT_EQ(bus.Transactions(), 4u);
  EXPECT_EQ(bus.LogText(), "S A0+ 10+ Sr A1- P S 42- P S 42+ 00+ P");
  EXPECT_TRUE(faults.empty());
}

TEST_F(I2cEngineTest, RegisterDevicesAnswerProbesByTheirModel) {
  struct Case {
    uint8_t address;
    std::vector<uint8_t> write;
    std::vector<uint8_t> select;
    uint8_t expected;
    const char* quirk;
  } cases[] = {
      {0x42, {0x00, 0x05}, {0x00}, 0x15, "an answer register reads its fixed value"},
      {0x44, {0x01, 0x0A, 0x55}, {0x01, 0x0A}, 0x55, "two-byte sub-address reads back what was written"},
      {0x44, {0x00, 0x05}, {0x00}, 0x00, "a cut-short sub-address selects 0x0500"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.quirk);
    ASSERT_TRUE(master.Write(c.address, c.write));
    ASSERT_TRUE(master.Write(c.address, c.select, false));
    EXPECT_THAT(master.Read(c.address, 1, true), ::testing::ElementsAre(c.expected));
  }
  EXPECT_EQ(static_cast<RegisterDevice*>(bus.DeviceAt(0x44))->Pointer(), 0x0501u);
}

TEST_F(I2cEngineTest, EepromSequentialWritesWrapInsideTheirPage) {
  ASSERT_TRUE(master.Write(0xA0, {0x0E, 1, 2, 3, 4}));
  auto* eeprom = static_cast<RegisterDevice*>(bus.DeviceAt(0xA0));
  EXPECT_EQ(eeprom->Byte(0x0E), 1);
  EXPECT_EQ(eeprom->Byte(0x0F), 2);
  EXPECT_EQ(eeprom->Byte(0x08), 3);
  EXPECT_EQ(eeprom->Byte(0x09), 4);
  EXPECT_EQ(eeprom->Byte(0x10), 0xAA);
}

TEST_F(I2cEngineTest, PlainDeviceCollectsWritesAndRepeatsItsLastReadByte) {
  ASSERT_TRUE(master.Write(0xC0, {0x06, 0x50, 0xCE, 0x01}));
  EXPECT_THAT(master.Read(0xC0, 3), ::testing::ElementsAre(0x46, 0x42, 0x42));
  EXPECT_THAT(static_cast<PlainDevice*>(bus.DeviceAt(0xC0))->Received(), ::testing::ElementsAre(6, 0x50, 0xCE, 1));
}

TEST_F(I2cEngineTest, MasterDrivingDataWhileTheSlaveSendsIsAFault) {
  ASSERT_TRUE(master.Write(0xA0, {0x10}, false));
  master.RepeatedStart();
  ASSERT_TRUE(master.Send(0xA1));
  bus.DriveData(true);  // the master should have released the line for the slave's 0xAA (MSB 1)
  bus.DriveClock(false);
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_THAT(faults[0], ::testing::HasSubstr("held the data line low while a slave was sending"));
}

}  // namespace
}  // namespace simcard
