// The card's I2C bus, simulated at the level of its two wires. The driver moves the lines bit by bit
// through the chip's line registers; this engine watches the levels, finds START and STOP conditions, clocks
// bits in and out on the clock edges, answers with the addressed device's acknowledge and data, and logs every
// transfer as tokens: "S" start, "Sr" repeated start, "P" stop, and each byte in hex followed by "+" when it
// was acknowledged or "-" when not (for reads, the master's acknowledge).
//
// Line model: open-drain wires with pull-ups. The master pulls a line low or releases it; a slave can pull
// the data line low. A line reads high only when nobody pulls it low. Slaves change the data line only
// while the clock is low; the master changing data while the clock is high is a START (falling) or a STOP
// (rising).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "driver/simcard/card_file.h"

namespace simcard {

// One device on the bus. Called by the engine, byte by byte, as the master's clock edges complete each byte.
class I2cDevice {
 public:
  virtual ~I2cDevice() = default;
  // The device's address byte arrived; false: the device does not acknowledge.
  virtual bool Select(bool read) = 0;
  // A byte written by the master; false: not acknowledged.
  virtual bool Write(uint8_t byte) = 0;
  // The next byte the master reads.
  virtual uint8_t Read() = 0;
  // A STOP ended the transfer.
  virtual void Stop() {}
};

// A device with a sub-address of one or two bytes (sent most significant first) that selects a register or
// storage byte, then data bytes written or read at successive addresses. Covers the board EEPROM (with its
// write page: sequential writes wrap inside the page) and the register files of decoders and peripherals.
// Registers listed as answers read back their fixed value whatever was written (probe and identity answers).
class RegisterDevice : public I2cDevice {
 public:
  explicit RegisterDevice(const I2cDeviceConfig& config);
  bool Select(bool read) override;
  bool Write(uint8_t byte) override;
  uint8_t Read() override;
  uint8_t Byte(uint32_t offset) const;  // stored contents, as written (not the answer)
  uint32_t Pointer() const { return pointer_; }

 private:
  unsigned width_;  // sub-address bytes
  uint32_t size_;
  uint32_t page_;
  std::vector<uint8_t> store_;
  std::map<uint32_t, uint8_t> answers_;
  uint32_t pointer_ = 0;
  unsigned addressBytes_ = 0;  // sub-address bytes received in this write
};

// A device without sub-addresses (a PLL tuner): writes are collected, reads return configured bytes.
class PlainDevice : public I2cDevice {
 public:
  explicit PlainDevice(std::vector<uint8_t> readBytes) : readBytes_(std::move(readBytes)) {}
  bool Select(bool) override { return true; }
  bool Write(uint8_t byte) override {
    received_.push_back(byte);
    return true;
  }
  uint8_t Read() override;
  void SetReadBytes(std::vector<uint8_t> bytes) { readBytes_ = std::move(bytes), next_ = 0; }
  const std::vector<uint8_t>& Received() const { return received_; }

 private:
  std::vector<uint8_t> readBytes_;
  size_t next_ = 0;
  std::vector<uint8_t> received_;
};

class I2cEngine {
 public:
  // `fault` reports a breach of the bus protocol by the master.
  explicit I2cEngine(std::function<void(const std::string&)> fault) : fault_(std::move(fault)) {}

  // Master side: true pulls the line low, false releases it.
  void DriveClock(bool low);
  void DriveData(bool low);
  bool MasterHoldsClock() const { return masterClockLow_; }
  bool MasterHoldsData() const { return masterDataLow_; }
  // Line levels as the master reads them (true: high).
  bool Clock() const { return !masterClockLow_; }
  bool Data() const { return !(masterDataLow_ || slaveDataLow_); }

  void Attach(uint8_t address, std::unique_ptr<I2cDevice> device);
  I2cDevice* DeviceAt(uint8_t address) const;
  // A fitted device that stops acknowledging its address (or starts again).
  void SetNak(uint8_t address, bool nak);
  // Error switch: transactions `first` ... `first` + `count` - 1 (counted from 1 as address bytes after a
  // START or repeated START, since the bus was built) are acknowledged by nobody, as if the addressed
  // device had missed them. `count` 0 switches it off.
  void FailTransactions(uint64_t first, uint32_t count) { failFirst_ = first, failCount_ = count; }
  // Address bytes seen since the bus was built.
  uint64_t Transactions() const { return transactions_; }

  const std::vector<std::string>& Log() const { return log_; }
  std::string LogText() const;
  void ClearLog() { log_.clear(); }

 private:
  enum class Phase { Idle, Address, Write, Read, Ignore };
  void Update(bool oldClock, bool oldData);
  void OnStart();
  void OnStop();
  void OnRise();
  void OnFall();
  void LoadReadByte();
  static std::string Token(uint8_t byte, bool ack);

  std::function<void(const std::string&)> fault_;
  std::map<uint8_t, std::unique_ptr<I2cDevice>> devices_;
  std::set<uint8_t> nak_;
  std::vector<std::string> log_;
  bool masterClockLow_ = false;
  bool masterDataLow_ = false;
  bool slaveDataLow_ = false;
  Phase phase_ = Phase::Idle;
  unsigned bits_ = 0;  // rising clock edges in the current 9-bit frame
  uint8_t byte_ = 0;
  bool ack_ = false;
  bool masterAck_ = false;
  bool reading_ = false;
  uint8_t readByte_ = 0;
  I2cDevice* device_ = nullptr;
  uint64_t transactions_ = 0;
  uint64_t failFirst_ = 0;
  uint32_t failCount_ = 0;
};

}  // namespace simcard
