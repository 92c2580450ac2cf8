#include "driver/simcard/sim_card.h"

#include "driver/kernel/sim/kernel_fixture.h"

namespace simcard {
namespace {

using ::testing::ElementsAre;

constexpr char kCard[] = R"(memory 0xE0000000 0x4000000
interrupt 17 9 level shared
i2c 0xA0 eeprom
data 0xA0 0x10 0xAA 0x55 0x00 7
)";

// The driver's view: the window mapped, registers reached through the kernel's register functions.
class SimCardTest : public KernelFixture {
 protected:
  SimCardTest() {
    CardDescription description;
    EXPECT_TRUE(ParseCardFile(kCard, &description).ok);
    card = SimCard::Create(kernel, description);
    PHYSICAL_ADDRESS at;
    at.QuadPart = 0xE0000000;
    base = static_cast<volatile uint8_t*>(MmMapIoSpace(at, 0x4000000, MmNonCached));
  }
  ~SimCardTest() override { MmUnmapIoSpace(const_cast<uint8_t*>(base), 0x4000000); }

  volatile ULONG* Reg(uint32_t offset) { return reinterpret_cast<volatile ULONG*>(base + 0x2000000 + offset); }
  volatile ULONG* Mem(uint32_t offset) { return reinterpret_cast<volatile ULONG*>(base + offset); }

  std::unique_ptr<SimCard> card;
  volatile uint8_t* base = nullptr;
};

TEST_F(SimCardTest, EncoderMemoryKeepsWordsAndUndecodedRegistersAreFaults) {
  WRITE_REGISTER_ULONG(Mem(0x1FFFFFC), 0x12345678);
  EXPECT_EQ(READ_REGISTER_ULONG(Mem(0x1FFFFFC)), 0x12345678u);
  EXPECT_EQ(card->MemoryWord(0x1FFFFFC), 0x12345678u);
  EXPECT_EQ(READ_REGISTER_ULONG(Mem(0x100)), 0u);
  EXPECT_EQ(card->MemoryWrites(), 1u);
  READ_REGISTER_ULONG(Reg(0x44));
  ExpectOneFault("card: read of register 0x44, which the chip does not decode");
  WRITE_REGISTER_ULONG(Reg(0x700C), 1);
  ExpectOneFault("read-only I2C line register 0x700C");
}

TEST_F(SimCardTest, UnmaskedSourceRaisesTheLineUntilTheRoutineAcknowledgesIt) {
  static volatile ULONG* status;
  static volatile ULONG* mask;
  static int calls;
  status = Reg(0x40);
  mask = Reg(0x48);
  calls = 0;
  PKINTERRUPT interrupt;
  ASSERT_EQ(IoConnectInterrupt(
                &interrupt,
                +[](PKINTERRUPT, PVOID) -> BOOLEAN {
                  ULONG pending = READ_REGISTER_ULONG(status) & ~READ_REGISTER_ULONG(mask);
                  if ((pending & kDmaRequest) == 0) return FALSE;
                  ++calls;
                  WRITE_REGISTER_ULONG(status, kDmaRequest);
                  return TRUE;
                },
                nullptr, nullptr, 17, 9, 9, LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  card->RaiseInterrupt(kDmaRequest | kDmaDone);
  EXPECT_FALSE(card->InterruptLine()) << "all sources are masked after reset";
  WRITE_REGISTER_ULONG(Reg(0x48), ~kDmaRequest);  // unmask only the request
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(card->InterruptLine());
  EXPECT_EQ(card->Register(0x40), kDmaDone) << "the masked source stays pending";
  EXPECT_THAT(card->RegisterLog(),
              ElementsAre(RegisterAccess{true, 0x48, 0x7FFFFFFF}, RegisterAccess{false, 0x40, kDmaRequest | kDmaDone},
                          RegisterAccess{false, 0x48, 0x7FFFFFFF}, RegisterAccess{true, 0x40, kDmaRequest}));
  IoDisconnectInterrupt(interrupt);
}

TEST_F(SimCardTest, StormSwitchKeepsTheLineAssertedThroughEveryAcknowledgement) {
  static volatile ULONG* status;
  status = Reg(0x40);
  card->SetInterruptStorm(true);
  kernel.SetStormLimit(20);
  PKINTERRUPT interrupt;
  ASSERT_EQ(IoConnectInterrupt(
                &interrupt,
                +[](PKINTERRUPT, PVOID) -> BOOLEAN {
                  WRITE_REGISTER_ULONG(status, READ_REGISTER_ULONG(status));
                  return TRUE;
                },
                nullptr, nullptr, 17, 9, 9, LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  WRITE_REGISTER_ULONG(Reg(0x48), 0);
  card->RaiseInterrupt(kThirdSource);
  ExpectOneFault("interrupt storm on vector 17");
  IoDisconnectInterrupt(interrupt);
}

TEST_F(SimCardTest, GpioRegistersDriveThePinsTheyEnable) {
  EXPECT_TRUE(card->GpioPin(1)) << "a pin not driven floats high";
  WRITE_REGISTER_ULONG(Reg(0x9020), READ_REGISTER_ULONG(Reg(0x9020)) | 0x82);
  WRITE_REGISTER_ULONG(Reg(0x900C), 0x80);
  EXPECT_FALSE(card->GpioPin(1));
  EXPECT_TRUE(card->GpioPin(7));
  WRITE_REGISTER_ULONG(Reg(0x900C), 0x82);
  EXPECT_TRUE(card->GpioPin(1));
  EXPECT_EQ(card->RegisterLog().size(), 4u);
}

TEST_F(SimCardTest, I2cLinesThroughTheRegistersReachTheBoardEeprom) {
  auto line = [&](uint32_t reg, bool low) { WRITE_REGISTER_ULONG(Reg(reg), low ? 1 : 0); };
  auto level = [&](uint32_t reg) { return READ_REGISTER_ULONG(Reg(reg)) & 1; };
  // START, then the address byte 0xA1 (read), sampling the slave's acknowledge.
  line(0x7004, false), line(0x7000, false), line(0x7004, true);
  for (int bit = 7; bit >= 0; --bit) {
    line(0x7000, true);
    line(0x7004, ((0xA1 >> bit) & 1) == 0);
    line(0x7000, false);
  }
  line(0x7000, true), line(0x7004, false), line(0x7000, false);
  EXPECT_EQ(level(0x700C), 0u) << "the EEPROM acknowledges";
  EXPECT_EQ(level(0x7008), 1u);
  line(0x7000, true);
  // One byte with NAK, then STOP.
  uint32_t byte = 0;
  for (int i = 0; i < 8; ++i) {
    line(0x7000, false);
    byte = (byte << 1) | level(0x700C);
    line(0x7000, true);
  }
  line(0x7000, false), line(0x7000, true);
  line(0x7004, true), line(0x7000, false), line(0x7004, false);
  EXPECT_EQ(byte, 0xFFu) << "the EEPROM's address pointer starts at 0, which holds 0xFF";
  EXPECT_EQ(card->I2c().LogText(), "S A1+ FF- P");
  EXPECT_TRUE(card->RegisterLog().empty()) << "I2C line traffic is logged by the bus, not the register log";
}

}  // namespace
}  // namespace simcard
