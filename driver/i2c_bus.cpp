#include "driver/i2c_bus.h"

#include "driver/driver_services.h"

namespace pelgar {

NTSTATUS I2cBus::Create(ChipRegisters regs, I2cBus** bus) {
  *bus = NewTagged<I2cBus>(std::source_location::current(), regs);
  return *bus == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}

I2cBus::I2cBus(ChipRegisters regs) : references_(1), regs_(regs), bitDelayUs_(kBitDelayUs) {
  KeInitializeMutex(&mutex_, 0);
}

void I2cBus::Retain() { InterlockedIncrement(&references_); }

void I2cBus::Release() {
  if (InterlockedDecrement(&references_) == 0) DeleteTagged(this);
}

// ---- Line primitives

void I2cBus::Delay() { KeStallExecutionProcessor(bitDelayUs_); }
void I2cBus::Clock(bool pullLow) { regs_.Write(I2cClockOut{pullLow}); }
void I2cBus::Data(bool pullLow) { regs_.Write(I2cDataOut{pullLow}); }
bool I2cBus::ClockHigh() { return regs_.Read<I2cClockIn>().high; }
bool I2cBus::DataHigh() { return regs_.Read<I2cDataIn>().high; }

// A slave may stretch the clock or hold data; give the line one bit time, then watch it.
bool I2cBus::WaitClock(bool high) {
  Delay();
  for (ULONG i = 0; i < kLineWaitReads; ++i)
    if (ClockHigh() == high) return true;
  return false;
}

bool I2cBus::WaitData(bool high) {
  Delay();
  for (ULONG i = 0; i < kLineWaitReads; ++i)
    if (DataHigh() == high) return true;
  return false;
}

// ---- Bus conditions and bytes

// START (or a repeated start): both lines high, then data falls while the clock is high.
bool I2cBus::StartCondition() {
  if (!DataHigh()) {
    Data(false);
    if (!WaitData(true)) return false;
  }
  if (!ClockHigh()) {
    Clock(false);
    if (!WaitClock(true)) return false;
  }
  Data(true);
  Delay();
  return true;
}

// Eight bits, most significant first, each set up while the clock is low; then the ninth clock, during
// which the addressed slave pulls data low to acknowledge.
bool I2cBus::SendByte(UCHAR byte) {
  for (int bit = 7; bit >= 0; --bit) {
    bool one = (byte >> bit & 1) != 0;
    Clock(true);
    if (!WaitClock(false)) return false;
    Data(!one);
    if (!WaitData(one)) return false;
    Clock(false);
    if (!WaitClock(true)) return false;
  }
  Clock(true);
  if (!WaitClock(false)) return false;
  Data(false);
  Delay();
  Clock(false);
  if (!WaitData(false)) return false;  // no acknowledge
  Clock(true);
  return WaitClock(false);
}

// Eight bits sampled while the clock is high, then the master's acknowledge: data low for more bytes,
// released (not acknowledged) after the last one.
bool I2cBus::ReceiveByte(UCHAR* byte, bool last) {
  Data(false);
  UCHAR value = 0;
  for (int i = 0; i < 8; ++i) {
    Delay();
    Clock(true);
    Delay();
    Clock(false);
    if (!WaitClock(true)) return false;
    value = static_cast<UCHAR>(value << 1 | (DataHigh() ? 1 : 0));
  }
  Clock(true);
  Delay();
  Data(!last);
  Delay();
  Clock(false);
  Delay();
  Clock(true);
  Delay();
  *byte = value;
  return true;
}

// STOP: data rises while the clock is high. A slave still holding data low is clocked out of its byte
// with up to 16 extra clocks; the transfer still counts as failed.
bool I2cBus::StopCondition() {
  if (ClockHigh()) {
    Clock(true);
    WaitClock(false);
  }
  Data(true);
  Delay();
  Clock(false);
  if (!WaitClock(true)) return false;
  Delay();
  Data(false);
  if (WaitData(true)) return true;
  for (int i = 0; i < 16; ++i) {
    Clock(true);
    Delay();
    Clock(false);
    Delay();
    Data(false);
  }
  WaitData(true);
  return false;
}

NTSTATUS I2cBus::Lock(BOOLEAN fast) {
  NTSTATUS status = KeWaitForSingleObject(&mutex_, Executive, KernelMode, FALSE, nullptr);
  if (!NT_SUCCESS(status)) return status;
  bitDelayUs_ = fast ? kFastBitDelayUs : kBitDelayUs;
  return STATUS_SUCCESS;
}

void I2cBus::Unlock() { KeReleaseMutex(&mutex_, FALSE); }

// ---- Transfers

NTSTATUS I2cBus::Write(UCHAR address, ULONG length, const UCHAR* bytes, BOOLEAN stop, BOOLEAN fast) {
  if (length != 0 && bytes == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = Lock(fast);
  if (!NT_SUCCESS(status)) return status;
  status = STATUS_IO_DEVICE_ERROR;
  for (ULONG attempt = 0; attempt < kAttempts; ++attempt) {
    bool ok = StartCondition() && SendByte(static_cast<UCHAR>(address & ~1u));
    for (ULONG i = 0; ok && i < length; ++i) ok = SendByte(bytes[i]);
    if (!ok) {
      StopCondition();
      continue;
    }
    // The bytes are delivered; a bus that cannot be freed afterwards still fails the transfer.
    status = !stop || StopCondition() ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
    break;
  }
  Unlock();
  return status;
}

NTSTATUS I2cBus::Read(UCHAR address, ULONG count, UCHAR* buffer, BOOLEAN fast) {
  if (count == 0 || buffer == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = Lock(fast);
  if (!NT_SUCCESS(status)) return status;
  status = STATUS_IO_DEVICE_ERROR;
  for (ULONG attempt = 0; attempt < kAttempts; ++attempt) {
    bool ok = StartCondition() && SendByte(static_cast<UCHAR>(address | 1u));
    for (ULONG i = 0; ok && i < count; ++i) ok = ReceiveByte(&buffer[i], i + 1 == count);
    bool stopped = StopCondition();
    if (ok && stopped) {
      status = STATUS_SUCCESS;
      break;
    }
  }
  Unlock();
  return status;
}

NTSTATUS I2cBus::WriteRead(UCHAR address, ULONG writeLength, const UCHAR* bytes, ULONG readCount, UCHAR* buffer,
                           BOOLEAN fast) {
  NTSTATUS status = Lock(fast);
  if (!NT_SUCCESS(status)) return status;
  status = Write(address, writeLength, bytes, FALSE, fast);
  if (NT_SUCCESS(status)) status = Read(address, readCount, buffer, fast);
  Unlock();
  return status;
}

// ---- GPIO

VOID I2cBus::SetGpio(ULONG n, BOOLEAN level) {
  GpioEnables enables = regs_.Read<GpioEnables>();
  GpioLevels levels = regs_.Read<GpioLevels>();
  levels.SetPin(7, true);
  regs_.Write(levels);
  enables.SetPin(7, true);  // only pin 7 joins the enables here
  regs_.Write(enables);
  levels = regs_.Read<GpioLevels>();
  levels.SetPin(n, level != FALSE);
  regs_.Write(levels);
  SleepMs(200);
  SleepMs(200);
}

VOID I2cBus::SetGpioOutput(ULONG n, BOOLEAN level) {
  GpioEnables enables = regs_.Read<GpioEnables>();
  enables.SetPin(n, true);
  regs_.Write(enables);
  GpioLevels levels = regs_.Read<GpioLevels>();
  levels.SetPin(7, true);
  levels.SetPin(n, level != FALSE);
  regs_.Write(levels);
}

}  // namespace pelgar
