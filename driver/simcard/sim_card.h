// The simulated capture card as the bus sees it: a 64 MiB memory window whose lower half is the encoder's
// memory and whose upper half (from 0x2000000) holds the chip registers, and one interrupt line. The driver
// reaches it only through the kernel's mapping and register functions; tests and the card's own blocks use
// the methods here.
//
// Chip registers (offsets from the register half):
//   0x0040 interrupt status, write 1 to acknowledge a bit; sources are bits 31, 30 and 27
//   0x0048 interrupt mask, 1 = masked; the line is asserted while a source is set and not masked
//   0x07F8, 0x07FC, 0x9054, 0x9058, 0xA064, 0x2120  encoder reset and start (0x9058 bit 2 holds the
//          encoder's processor in reset; see encoder_firmware.h)
//   0x7000, 0x7004 I2C clock and data out: writing 1 pulls the line low, 0 releases it
//   0x7008, 0x700C I2C clock and data in: bit 0 is the line's level (read-only)
//   0x900C GPIO output levels, 0x9020 GPIO output enables (bit n = GPIO n)
// Any other register offset is not decoded by the chip: reading or writing it is a fault.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/kernel/sim/kernel.h"
#include "driver/simcard/card_file.h"
#include "driver/simcard/encoder_firmware.h"
#include "driver/simcard/i2c_engine.h"

namespace simcard {

// Register offsets within the register half of the window.
namespace reg {
inline constexpr uint32_t kInterruptStatus = 0x0040;
inline constexpr uint32_t kInterruptMask = 0x0048;
inline constexpr uint32_t kEncoderControl0 = 0x07F8;
inline constexpr uint32_t kEncoderControl1 = 0x07FC;
inline constexpr uint32_t kEncoderReset0 = 0x9054;
inline constexpr uint32_t kEncoderReset1 = 0x9058;
inline constexpr uint32_t kEncoderEnable = 0xA064;
inline constexpr uint32_t kEncoderRun = 0x2120;
inline constexpr uint32_t kI2cClockOut = 0x7000;
inline constexpr uint32_t kI2cDataOut = 0x7004;
inline constexpr uint32_t kI2cClockIn = 0x7008;
inline constexpr uint32_t kI2cDataIn = 0x700C;
inline constexpr uint32_t kGpioLevels = 0x900C;
inline constexpr uint32_t kGpioEnables = 0x9020;
}  // namespace reg

// Interrupt sources in the status and mask registers.
inline constexpr uint32_t kDmaRequest = 1u << 31;
inline constexpr uint32_t kThirdSource = 1u << 30;
inline constexpr uint32_t kDmaDone = 1u << 27;
inline constexpr uint32_t kAllSources = kDmaRequest | kThirdSource | kDmaDone;

inline constexpr uint64_t kEncoderMemoryLength = 0x2000000;
inline constexpr uint64_t kRegisterBase = 0x2000000;

struct RegisterAccess {
  bool write;
  uint32_t offset;  // from the register half
  uint32_t value;
  bool operator==(const RegisterAccess&) const = default;
};

class SimCard : public ksim::IoWindow {
 public:
  // Builds the card described and plugs it into the machine: its window at the described address, its
  // interrupt line on the described vector, its I2C devices on the bus.
  static std::unique_ptr<SimCard> Create(ksim::Kernel& kernel, const CardDescription& description);
  ~SimCard() override;

  const CardDescription& Description() const { return description_; }

  // Bus side (called by the kernel for the driver's register accesses).
  ULONG Read32(uint64_t offset) override;
  void Write32(uint64_t offset, ULONG value) override;

  // Encoder memory, as the card's own blocks (firmware, DMA engine) and tests see it.
  uint32_t MemoryWord(uint32_t offset) const;
  void SetMemoryWord(uint32_t offset, uint32_t value);
  uint64_t MemoryWrites() const { return memoryWrites_; }

  // A register's current value, without side effects and without logging.
  uint32_t Register(uint32_t offset) const;
  // Sets interrupt status bits, as the card's blocks do when they need the driver.
  void RaiseInterrupt(uint32_t sources);
  bool InterruptLine() const { return line_; }
  // Error switch: acknowledged sources stay set, so the line never drops (an interrupt storm).
  void SetInterruptStorm(bool on) { storm_ = on; }

  // The level a GPIO pin drives: its output level when enabled, else the board's pull-up (high).
  bool GpioPin(unsigned n) const;

  // Every driver access to the chip registers, in order, except the I2C line registers (whose traffic is
  // in the I2C engine's log). Encoder memory accesses are counted, not logged.
  const std::vector<RegisterAccess>& RegisterLog() const { return log_; }
  void ClearRegisterLog() { log_.clear(); }

  I2cEngine& I2c() { return i2c_; }
  // The encoder's firmware: its state, command log, transfers and run-time error switches.
  EncoderFirmware& Firmware() { return *firmware_; }

 private:
  SimCard(ksim::Kernel& kernel, const CardDescription& description);
  void UpdateLine();
  bool Decoded(uint32_t offset) const;

  ksim::Kernel& kernel_;
  CardDescription description_;
  I2cEngine i2c_;
  std::vector<std::unique_ptr<std::array<uint32_t, 16384>>> memory_;  // 64 KiB pages, made on first write
  std::array<uint32_t, 0x10000 / 4> registers_{};                     // values of the decoded registers
  uint64_t memoryWrites_ = 0;
  bool line_ = false;
  bool storm_ = false;
  std::vector<RegisterAccess> log_;
  std::unique_ptr<EncoderFirmware> firmware_;  // last: it schedules events that use the members above
};

// Writes the card's "DriverData" values (card file `driverdata` lines) into its driver key, as the card's
// installation leaves them; keys are created as needed, existing values replaced.
void WriteDriverData(const CardDescription& description, ksim::RegistryKey& driverKey);

}  // namespace simcard
