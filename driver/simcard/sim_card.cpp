#include "driver/simcard/sim_card.h"

#include <cstdio>

namespace simcard {
namespace {

constexpr uint32_t kPageWords = 16384;
constexpr uint32_t kPageBytes = kPageWords * 4;

std::string HexText(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

std::unique_ptr<SimCard> SimCard::Create(ksim::Kernel& kernel, const CardDescription& description) {
  return std::unique_ptr<SimCard>(new SimCard(kernel, description));
}

SimCard::SimCard(ksim::Kernel& kernel, const CardDescription& description)
    : kernel_(kernel),
      description_(description),
      i2c_([this](const std::string& what) { kernel_.Fault(what); }),
      memory_(kEncoderMemoryLength / kPageBytes),
      storm_(description.interruptStorm) {
  for (const I2cDeviceConfig& config : description.devices) {
    if (config.model == I2cDeviceConfig::Model::Plain)
      i2c_.Attach(config.address, std::make_unique<PlainDevice>(config.readBytes));
    else
      i2c_.Attach(config.address, std::make_unique<RegisterDevice>(config));
  }
  for (uint8_t address : description.nakAddresses) i2c_.SetNak(address, true);
  i2c_.FailTransactions(description.i2cFailFirst, description.i2cFailCount);
  registers_[reg::kInterruptMask / 4] = 0xFFFFFFFF;
  firmware_ = std::make_unique<EncoderFirmware>(kernel_, *this, description_);
  kernel_.AddMemoryRange(description.memoryAddress, description.memoryLength, this);
}

SimCard::~SimCard() {
  firmware_.reset();  // cancels the firmware's pending hardware events
  if (line_) kernel_.SetInterruptLine(description_.vector, false);
  kernel_.RemoveMemoryRange(description_.memoryAddress);
}

bool SimCard::Decoded(uint32_t offset) const {
  switch (offset) {
    case reg::kInterruptStatus:
    case reg::kInterruptMask:
    case reg::kEncoderControl0:
    case reg::kEncoderControl1:
    case reg::kEncoderReset0:
    case reg::kEncoderReset1:
    case reg::kEncoderEnable:
    case reg::kEncoderRun:
    case reg::kI2cClockOut:
    case reg::kI2cDataOut:
    case reg::kI2cClockIn:
    case reg::kI2cDataIn:
    case reg::kGpioLevels:
    case reg::kGpioEnables: return true;
    default: return false;
  }
}

uint32_t SimCard::MemoryWord(uint32_t offset) const {
  const auto& page = memory_[offset / kPageBytes];
  return page ? (*page)[(offset % kPageBytes) / 4] : 0;
}

void SimCard::SetMemoryWord(uint32_t offset, uint32_t value) {
  auto& page = memory_[offset / kPageBytes];
  if (!page) page = std::make_unique<std::array<uint32_t, kPageWords>>();
  (*page)[(offset % kPageBytes) / 4] = value;
}

uint32_t SimCard::Register(uint32_t offset) const {
  switch (offset) {
    case reg::kI2cClockIn: return i2c_.Clock() ? 1 : 0;
    case reg::kI2cDataIn: return i2c_.Data() ? 1 : 0;
    case reg::kI2cClockOut: return i2c_.MasterHoldsClock() ? 1 : 0;
    case reg::kI2cDataOut: return i2c_.MasterHoldsData() ? 1 : 0;
    default: return offset / 4 < registers_.size() ? registers_[offset / 4] : 0;
  }
}

bool SimCard::GpioPin(unsigned n) const {
  uint32_t bit = 1u << n;
  return (Register(reg::kGpioEnables) & bit) == 0 || (Register(reg::kGpioLevels) & bit) != 0;
}

ULONG SimCard::Read32(uint64_t offset) {
  if (offset < kEncoderMemoryLength) return MemoryWord(static_cast<uint32_t>(offset));
  auto r = static_cast<uint32_t>(offset - kRegisterBase);
  if (!Decoded(r)) {
    kernel_.Fault("card: read of register " + HexText(r) + ", which the chip does not decode");
    return 0;
  }
  uint32_t value = Register(r);
  if (r < reg::kI2cClockOut || r > reg::kI2cDataIn) log_.push_back({false, r, value});
  return value;
}

void SimCard::Write32(uint64_t offset, ULONG value) {
  if (offset < kEncoderMemoryLength) {
    SetMemoryWord(static_cast<uint32_t>(offset), value);
    ++memoryWrites_;
    firmware_->MemoryWritten(static_cast<uint32_t>(offset), value);
    return;
  }
  auto r = static_cast<uint32_t>(offset - kRegisterBase);
  if (!Decoded(r)) {
    kernel_.Fault("card: write of " + HexText(value) + " to register " + HexText(r) +
                  ", which the chip does not decode");
    return;
  }
  switch (r) {
    case reg::kI2cClockOut: i2c_.DriveClock((value & 1) != 0); return;
    case reg::kI2cDataOut: i2c_.DriveData((value & 1) != 0); return;
    case reg::kI2cClockIn:
    case reg::kI2cDataIn: kernel_.Fault("card: write to the read-only I2C line register " + HexText(r)); return;
    default: break;
  }
  log_.push_back({true, r, value});
  if (r == reg::kInterruptStatus) {
    uint32_t acknowledged = value & kAllSources & ~(storm_ ? kAllSources : 0u);
    registers_[r / 4] &= ~acknowledged;
  } else {
    registers_[r / 4] = value;
    firmware_->RegisterWritten(r, value);
  }
  UpdateLine();
}

void SimCard::RaiseInterrupt(uint32_t sources) {
  registers_[reg::kInterruptStatus / 4] |= sources & kAllSources;
  UpdateLine();
}

void SimCard::UpdateLine() {
  bool line = (registers_[reg::kInterruptStatus / 4] & ~registers_[reg::kInterruptMask / 4] & kAllSources) != 0;
  if (line == line_) return;
  line_ = line;
  kernel_.SetInterruptLine(description_.vector, line);  // may run the driver's interrupt routine at once
}

void WriteDriverData(const CardDescription& description, ksim::RegistryKey& driverKey) {
  for (const DriverValue& v : description.driverData) {
    std::string path = v.subkey.empty() ? "DriverData" : "DriverData\\" + v.subkey;
    driverKey.Create(path).SetDword(v.name, v.value);
  }
}

}  // namespace simcard
