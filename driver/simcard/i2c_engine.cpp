#include "driver/simcard/i2c_engine.h"

#include <cstdio>

namespace simcard {

// ---- RegisterDevice

RegisterDevice::RegisterDevice(const I2cDeviceConfig& config)
    : width_(config.model == I2cDeviceConfig::Model::Registers16 ? 2 : 1),
      size_(config.size),
      page_(config.page),
      store_(config.size, config.model == I2cDeviceConfig::Model::Eeprom ? 0xFF : 0x00),
      answers_(config.answers) {
  for (const auto& [offset, byte] : config.data) store_[offset] = byte;
}

bool RegisterDevice::Select(bool read) {
  if (!read) addressBytes_ = 0;
  return true;
}

bool RegisterDevice::Write(uint8_t byte) {
  if (addressBytes_ < width_) {
    // A sub-address cut short leaves the bytes shifted in so far.
    pointer_ = ((pointer_ << 8) | byte) & (width_ == 2 ? 0xFFFFu : 0xFFu);
    pointer_ %= size_;
    ++addressBytes_;
    return true;
  }
  store_[pointer_] = byte;
  if (page_ != 0) {
    pointer_ = (pointer_ & ~(page_ - 1)) | ((pointer_ + 1) & (page_ - 1));
  } else {
    pointer_ = (pointer_ + 1) % size_;
  }
  return true;
}

uint8_t RegisterDevice::Read() {
  auto answer = answers_.find(pointer_);
  uint8_t value = answer != answers_.end() ? answer->second : store_[pointer_];
  pointer_ = (pointer_ + 1) % size_;
  return value;
}

uint8_t RegisterDevice::Byte(uint32_t offset) const { return store_.at(offset); }

// ---- PlainDevice

uint8_t PlainDevice::Read() {
  if (readBytes_.empty()) return 0xFF;
  uint8_t value = readBytes_[std::min(next_, readBytes_.size() - 1)];
  ++next_;
  return value;
}

// ---- I2cEngine

void I2cEngine::Attach(uint8_t address, std::unique_ptr<I2cDevice> device) { devices_[address] = std::move(device); }

I2cDevice* I2cEngine::DeviceAt(uint8_t address) const {
  auto it = devices_.find(address);
  return it == devices_.end() ? nullptr : it->second.get();
}

void I2cEngine::SetNak(uint8_t address, bool nak) {
  if (nak)
    nak_.insert(address);
  else
    nak_.erase(address);
}

std::string I2cEngine::Token(uint8_t byte, bool ack) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X%c", byte, ack ? '+' : '-');
  return text;
}

std::string I2cEngine::LogText() const {
  std::string text;
  for (const std::string& t : log_) text += (text.empty() ? "" : " ") + t;
  return text;
}

void I2cEngine::DriveClock(bool low) {
  bool oldClock = Clock(), oldData = Data();
  masterClockLow_ = low;
  Update(oldClock, oldData);
}

void I2cEngine::DriveData(bool low) {
  bool oldClock = Clock(), oldData = Data();
  masterDataLow_ = low;
  Update(oldClock, oldData);
}

void I2cEngine::Update(bool oldClock, bool oldData) {
  bool clock = Clock(), data = Data();
  if (oldClock && clock && oldData != data) {
    if (!data)
      OnStart();
    else
      OnStop();
  } else if (!oldClock && clock) {
    OnRise();
  } else if (oldClock && !clock) {
    OnFall();
  }
}

void I2cEngine::OnStart() {
  log_.push_back(phase_ == Phase::Idle ? "S" : "Sr");
  phase_ = Phase::Address;
  bits_ = 0;
  byte_ = 0;
  slaveDataLow_ = false;
  device_ = nullptr;
}

void I2cEngine::OnStop() {
  log_.push_back("P");
  if (device_ != nullptr) device_->Stop();
  phase_ = Phase::Idle;
  slaveDataLow_ = false;
  device_ = nullptr;
}

void I2cEngine::OnRise() {
  if (phase_ == Phase::Idle || phase_ == Phase::Ignore) return;
  ++bits_;
  if (bits_ <= 8) {
    if (phase_ == Phase::Read) {
      bool sent = (readByte_ >> (8 - bits_)) & 1;
      if (sent && !Data()) fault_("I2C: the master held the data line low while a slave was sending");
    } else {
      byte_ = static_cast<uint8_t>((byte_ << 1) | (Data() ? 1 : 0));
    }
  } else if (bits_ == 9 && phase_ == Phase::Read) {
    masterAck_ = !Data();
  } else if (bits_ > 9) {
    fault_("I2C: more than nine clocks in one byte frame");
  }
}

void I2cEngine::LoadReadByte() {
  readByte_ = device_->Read();
  slaveDataLow_ = (readByte_ & 0x80) == 0;
}

void I2cEngine::OnFall() {
  if (phase_ == Phase::Idle || phase_ == Phase::Ignore || bits_ == 0) return;
  if (bits_ >= 1 && bits_ <= 7 && phase_ == Phase::Read) {
    slaveDataLow_ = ((readByte_ >> (7 - bits_)) & 1) == 0;
  } else if (bits_ == 8) {  // the acknowledge slot begins
    if (phase_ == Phase::Address) {
      uint8_t address = byte_ & 0xFE;
      reading_ = (byte_ & 1) != 0;
      ++transactions_;
      bool missed = failCount_ > 0 && transactions_ >= failFirst_ && transactions_ - failFirst_ < failCount_;
      device_ = nak_.count(address) || missed ? nullptr : DeviceAt(address);
      ack_ = device_ != nullptr && device_->Select(reading_);
      log_.push_back(Token(byte_, ack_));
      slaveDataLow_ = ack_;
    } else if (phase_ == Phase::Write) {
      ack_ = device_->Write(byte_);
      log_.push_back(Token(byte_, ack_));
      slaveDataLow_ = ack_;
    } else {
      slaveDataLow_ = false;  // the master acknowledges
    }
  } else if (bits_ == 9) {  // the acknowledge slot ends
    bits_ = 0;
    byte_ = 0;
    slaveDataLow_ = false;
    if (phase_ == Phase::Address) {
      if (!ack_) {
        phase_ = Phase::Ignore;
      } else if (reading_) {
        phase_ = Phase::Read;
        LoadReadByte();
      } else {
        phase_ = Phase::Write;
      }
    } else if (phase_ == Phase::Write) {
      if (!ack_) phase_ = Phase::Ignore;
    } else {
      log_.push_back(Token(readByte_, masterAck_));
      if (masterAck_)
        LoadReadByte();
      else
        phase_ = Phase::Ignore;
    }
  }
}

}  // namespace simcard
