// The card's I2C bus master. Every chip except the encoder hangs on one I2C bus that the driver drives bit
// by bit through four chip registers (clock and data out, clock and data in), and the same object holds
// the GPIO operations because it owns the register window. One per card, reference counted: the device
// and every component that talks I2C hold a reference, and the last Release frees it.
//
// All transfers run at passive level under the bus mutex, which a combined write-read re-enters.
#pragma once

#include "driver/chip_registers.h"
#include "driver/kernel/ntkernel.h"

namespace pelgar {

class I2cBus {
 public:
  // The bus over the card's register window, with one reference held by the caller.
  // STATUS_INSUFFICIENT_RESOURCES when the object cannot be allocated.
  static NTSTATUS Create(ChipRegisters regs, I2cBus** bus);

  void Retain();
  // Drops a reference; the last one frees the bus.
  void Release();

  // Sends the address byte (bit 0 clear) and `length` bytes; a STOP ends the transfer when `stop` is set
  // (otherwise the bus is left for a repeated start). Up to 8 attempts, each failed one ended by a STOP;
  // STATUS_IO_DEVICE_ERROR when all fail or the bus cannot be freed.
  NTSTATUS Write(UCHAR address, ULONG length, const UCHAR* bytes, BOOLEAN stop, BOOLEAN fast);
  // Sends address | 1 and reads `count` bytes (acknowledging all but the last), always ending with a STOP.
  // Up to 8 attempts; STATUS_IO_DEVICE_ERROR when all fail, STATUS_INVALID_PARAMETER for no bytes.
  NTSTATUS Read(UCHAR address, ULONG count, UCHAR* buffer, BOOLEAN fast);
  // A write without STOP, then a read behind a repeated start; the first failure is returned.
  NTSTATUS WriteRead(UCHAR address, ULONG writeLength, const UCHAR* bytes, ULONG readCount, UCHAR* buffer,
                     BOOLEAN fast);

  // GPIO pin n as an output at the given level, with bit 7 added to the enables, then 400 ms for the
  // board to settle (the tuner and decoder supplies hang on these pins).
  VOID SetGpio(ULONG n, BOOLEAN level);
  // GPIO pin n as an output at the given level, no settle time.
  VOID SetGpioOutput(ULONG n, BOOLEAN level);

  // Bit delays: the bus runs at about 50 kHz, or about 160 kHz for a fast transfer.
  static constexpr ULONG kBitDelayUs = 10;
  static constexpr ULONG kFastBitDelayUs = 3;
  // Reads of a line's level after one bit delay before a wait for it gives up.
  static constexpr ULONG kLineWaitReads = 1000;
  static constexpr ULONG kAttempts = 8;

 private:
  explicit I2cBus(ChipRegisters regs);
  ~I2cBus() = default;
  template <class T, class... Args>
  friend T* NewTagged(std::source_location, Args&&...);
  template <class T>
  friend void DeleteTagged(T*);

  void Delay();
  void Clock(bool pullLow);
  void Data(bool pullLow);
  bool ClockHigh();
  bool DataHigh();
  bool WaitClock(bool high);
  bool WaitData(bool high);
  bool StartCondition();
  bool SendByte(UCHAR byte);
  bool ReceiveByte(UCHAR* byte, bool last);
  bool StopCondition();
  NTSTATUS Lock(BOOLEAN fast);
  void Unlock();

  LONG references_;     // holders of the bus; the last Release frees it
  ChipRegisters regs_;  // the card's register window (I2C lines and GPIO)
  KMUTEX mutex_;        // serialises transfers; re-entered by WriteRead
  ULONG bitDelayUs_;    // of the transfer in progress
};

}  // namespace pelgar
