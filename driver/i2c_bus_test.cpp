#include "driver/i2c_bus.h"

#include "driver/driver_services.h"
#include "driver/pelgar_test_fixture.h"

namespace {

using pelgar::I2cBus;

constexpr char kBoard[] = R"(
memory    0xE0000000 0x4000000
interrupt 17 9 level shared
i2c       0xA0 eeprom size=256 page=8
data      0xA0 0x10 0xAA 0x55 0x00 7
i2c       0x42 registers8
i2c       0xC0 plain read=0x46
i2c       0x86 registers8
switch    nak 0x86
)";

// The bus over a mapping of the card's register half, as the device creates it.
class I2cBusTest : public CardFixture {
 protected:
  void SetUp() override {
    card = &PlugText(kBoard);
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = static_cast<LONGLONG>(card->resources.memoryAddress);
    base = static_cast<PUCHAR>(MmMapIoSpace(pa, 0x4000000, MmNonCached));
    ASSERT_NE(base, nullptr);
    ASSERT_EQ(I2cBus::Create(pelgar::ChipRegisters(base + 0x2000000), &bus), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (bus != nullptr) bus->Release();
    MmUnmapIoSpace(base, 0x4000000);
    EXPECT_THAT(kernel.CheckUnload(), ::testing::IsEmpty());
    CardFixture::TearDown();
  }
  std::string Log() {
    std::string log = card->I2cLog();
    card->sim->I2c().ClearLog();
    return log;
  }

  PluggedCard* card = nullptr;
  PUCHAR base = nullptr;
  I2cBus* bus = nullptr;
};

TEST_F(I2cBusTest, WriteSendsAddressAndBytesThenStopsWhenAsked) {
  const UCHAR bytes[3] = {0x05, 0x11, 0x22};
  EXPECT_EQ(bus->Write(0x42, 3, bytes, TRUE, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(Log(), "S 42+ 05+ 11+ 22+ P");
  EXPECT_EQ(bus->Write(0x43, 1, bytes, FALSE, FALSE), STATUS_SUCCESS);  // bit 0 of the address is cleared
  EXPECT_EQ(Log(), "S 42+ 05+");
  auto* registers = static_cast<simcard::RegisterDevice*>(card->sim->I2c().DeviceAt(0x42));
  EXPECT_EQ(registers->Byte(0x05), 0x11);
  EXPECT_EQ(registers->Byte(0x06), 0x22);
}

TEST_F(I2cBusTest, WriteReadUsesARepeatedStartAndNaksTheLastByte) {
  const UCHAR offset = 0x10;
  UCHAR record[4] = {};
  EXPECT_EQ(bus->WriteRead(0xA0, 1, &offset, 4, record, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(Log(), "S A0+ 10+ Sr A1+ AA+ 55+ 00+ 07- P");
  EXPECT_THAT(record, ::testing::ElementsAre(0xAA, 0x55, 0x00, 0x07));
}

TEST_F(I2cBusTest, ReadWithoutSubAddressReadsPlainDevice) {
  UCHAR status = 0;
  EXPECT_EQ(bus->Read(0xC0, 1, &status, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(Log(), "S C1+ 46- P");
  EXPECT_EQ(status, 0x46);
}

TEST_F(I2cBusTest, UnansweredAddressIsTriedEightTimesThenFails) {
  struct Case {
    const char* name;
    UCHAR address;
  };
  for (const Case& c : {Case{"fitted but not acknowledging", 0x86}, Case{"nothing fitted", 0x96}}) {
    const UCHAR zeros[4] = {};
    EXPECT_EQ(bus->Write(c.address, 4, zeros, TRUE, FALSE), STATUS_IO_DEVICE_ERROR) << c.name;
    std::string attempt = c.address == 0x86 ? "S 86- P" : "S 96- P";
    std::string expected = attempt;
    for (int i = 1; i < 8; ++i) expected += " " + attempt;
    EXPECT_EQ(Log(), expected) << c.name;
  }
  UCHAR byte = 0xCC;
  EXPECT_EQ(bus->WriteRead(0x86, 1, &byte, 1, &byte, FALSE), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(byte, 0xCC);  // the read never ran
  EXPECT_EQ(card->sim->I2c().Log().size(), 8u * 3u);
}

TEST_F(I2cBusTest, ReadOfNothingIsRefusedWithoutBusTraffic) {
  UCHAR byte = 0;
  EXPECT_EQ(bus->Read(0xA0, 0, &byte, FALSE), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bus->Read(0xA0, 1, nullptr, FALSE), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bus->Write(0xA0, 1, nullptr, TRUE, FALSE), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Log(), "");
}

TEST_F(I2cBusTest, FastTransfersUseTheShorterBitDelay) {
  const UCHAR bytes[2] = {0x00, 0x01};
  ksim::Time start = kernel.Now();
  ASSERT_EQ(bus->Write(0x42, 2, bytes, TRUE, FALSE), STATUS_SUCCESS);
  ksim::Time normal = kernel.Now() - start;
  start = kernel.Now();
  ASSERT_EQ(bus->Write(0x42, 2, bytes, TRUE, TRUE), STATUS_SUCCESS);
  ksim::Time fast = kernel.Now() - start;
  EXPECT_EQ(Log(), "S 42+ 00+ 01+ P S 42+ 00+ 01+ P");
  // Every delay of the transfer scales with the bit delay: 3 against 10 microseconds.
  EXPECT_EQ(fast * I2cBus::kBitDelayUs, normal * I2cBus::kFastBitDelayUs);
}

TEST_F(I2cBusTest, LastReleaseFreesTheBus) {
  EXPECT_EQ(kernel.OutstandingBlocks(pelgar::kDriverTag), 1u);
  bus->Retain();
  bus->Release();
  EXPECT_EQ(kernel.OutstandingBlocks(pelgar::kDriverTag), 1u);
  bus->Release();
  bus = nullptr;
  EXPECT_EQ(kernel.OutstandingBlocks(pelgar::kDriverTag), 0u);
}

TEST_F(I2cBusTest, CreateFailsCleanlyWhenThePoolIsExhausted) {
  I2cBus* other = reinterpret_cast<I2cBus*>(1);
  kernel.FailNthRequest(1);
  EXPECT_EQ(I2cBus::Create(pelgar::ChipRegisters(base + 0x2000000), &other), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(other, nullptr);
}

TEST_F(I2cBusTest, SetGpioEnablesOnlyPinSevenAndSettles) {
  card->sim->ClearRegisterLog();
  ksim::Time start = kernel.Now();
  bus->SetGpio(1, TRUE);
  EXPECT_EQ(kernel.Now() - start, 400 * ksim::kMillisecond);
  using simcard::RegisterAccess;
  EXPECT_THAT(card->sim->RegisterLog(),
              ::testing::ElementsAre(RegisterAccess{false, 0x9020, 0}, RegisterAccess{false, 0x900C, 0},
                                     RegisterAccess{true, 0x900C, 0x80}, RegisterAccess{true, 0x9020, 0x80},
                                     RegisterAccess{false, 0x900C, 0x80}, RegisterAccess{true, 0x900C, 0x82}));
}

TEST_F(I2cBusTest, SetGpioOutputDrivesThePinAtOnce) {
  card->sim->ClearRegisterLog();
  ksim::Time start = kernel.Now();
  bus->SetGpioOutput(0, FALSE);
  EXPECT_EQ(kernel.Now(), start);
  EXPECT_FALSE(card->sim->GpioPin(0));
  bus->SetGpioOutput(0, TRUE);
  EXPECT_TRUE(card->sim->GpioPin(0));
  using simcard::RegisterAccess;
  EXPECT_THAT(card->sim->RegisterLog(),
              ::testing::ElementsAre(RegisterAccess{false, 0x9020, 0}, RegisterAccess{true, 0x9020, 0x01},
                                     RegisterAccess{false, 0x900C, 0}, RegisterAccess{true, 0x900C, 0x80},
                                     RegisterAccess{false, 0x9020, 0x01}, RegisterAccess{true, 0x9020, 0x01},
                                     RegisterAccess{false, 0x900C, 0x80}, RegisterAccess{true, 0x900C, 0x81}));
}

}  // namespace

namespace {

// A register window whose I2C lines are held low by something on the bus: the "in" registers report a
// fixed level whatever the master drives. Counts line reads.
class StuckLines : public ksim::IoWindow {
 public:
  StuckLines(bool clockHigh, bool dataHigh) : clockHigh_(clockHigh), dataHigh_(dataHigh) {}
  ULONG Read32(uint64_t offset) override {
    ++reads;
    if (offset == 0x2000000 + 0x7008) return clockHigh_ ? 1 : 0;
    if (offset == 0x2000000 + 0x700C) return dataHigh_ ? 1 : 0;
    return 0;
  }
  void Write32(uint64_t, ULONG) override {}
  uint64_t reads = 0;

 private:
  bool clockHigh_;
  bool dataHigh_;
};

TEST(I2cBusStuck, LineHeldLowFailsEveryAttemptAfterBoundedWaits) {
  struct Case {
    const char* name;
    bool clockHigh;
    bool dataHigh;
  };
  for (const Case& c : {Case{"data held low", true, false}, Case{"clock stretched for ever", false, true}}) {
    SCOPED_TRACE(c.name);
    ksim::Kernel kernel;
    StuckLines lines(c.clockHigh, c.dataHigh);
    kernel.AddMemoryRange(0xE0000000, 0x4000000, &lines);
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = 0xE0000000;
    auto* base = static_cast<PUCHAR>(MmMapIoSpace(pa, 0x4000000, MmNonCached));
    I2cBus* bus = nullptr;
    ASSERT_EQ(I2cBus::Create(pelgar::ChipRegisters(base + 0x2000000), &bus), STATUS_SUCCESS);
    const UCHAR byte = 0;
    UCHAR answer = 0;
    EXPECT_EQ(bus->Write(0xA0, 1, &byte, TRUE, FALSE), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(bus->Read(0xA0, 1, &answer, FALSE), STATUS_IO_DEVICE_ERROR);
    // Every wait gives up after its reads; each of the 8 attempts of both transfers has a handful of waits.
    EXPECT_GT(lines.reads, 2u * 8u * I2cBus::kLineWaitReads);
    EXPECT_LT(lines.reads, 2u * 8u * 8u * I2cBus::kLineWaitReads);
    bus->Release();
    MmUnmapIoSpace(base, 0x4000000);
    EXPECT_THAT(kernel.CheckUnload(), ::testing::IsEmpty());
    EXPECT_THAT(kernel.Faults(), ::testing::IsEmpty());
  }
}

}  // namespace
