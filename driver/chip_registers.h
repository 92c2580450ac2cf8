// The chip registers the driver touches, each declared once as a type with named fields, and the window
// through which they are read and written. Driver logic reads a register, changes a field and writes it
// back; no code outside this header shifts or masks raw register values.
//
// Every register is 32 bits wide at a byte offset from the register half of the card's memory window.
#pragma once

#include "driver/kernel/ntkernel.h"

namespace pelgar {

// Interrupt status: a set source asks for an interrupt; writing a 1 bit acknowledges that source.
struct InterruptStatus {
  static constexpr ULONG kOffset = 0x0040;
  bool dmaRequest = false;   // bit 31: the firmware wants a DMA list
  bool thirdSource = false;  // bit 30: acknowledged, no further action
  bool dmaDone = false;      // bit 27: a transfer finished
  static InterruptStatus FromValue(ULONG v) {
    return {(v & 0x80000000u) != 0, (v & 0x40000000u) != 0, (v & 0x08000000u) != 0};
  }
  ULONG Value() const {
    return (dmaRequest ? 0x80000000u : 0) | (thirdSource ? 0x40000000u : 0) | (dmaDone ? 0x08000000u : 0);
  }
};

// Interrupt mask: 1 = masked. The three sources have named bits; the other bits are kept as they are.
struct InterruptMask {
  static constexpr ULONG kOffset = 0x0048;
  static constexpr ULONG kSourceBits = 0xC8000000u;
  bool dmaRequest = true;
  bool thirdSource = true;
  bool dmaDone = true;
  ULONG otherBits = ~kSourceBits;
  static InterruptMask AllMasked() { return {}; }
  static InterruptMask FromValue(ULONG v) {
    return {(v & 0x80000000u) != 0, (v & 0x40000000u) != 0, (v & 0x08000000u) != 0, v & ~kSourceBits};
  }
  ULONG Value() const {
    return otherBits | (dmaRequest ? 0x80000000u : 0) | (thirdSource ? 0x40000000u : 0) | (dmaDone ? 0x08000000u : 0);
  }
};

// The I2C lines: an "out" register pulls its line low while set; an "in" register reports the line's level.
template <ULONG Offset>
struct I2cLineOut {
  static constexpr ULONG kOffset = Offset;
  bool pullLow = false;
  static I2cLineOut FromValue(ULONG v) { return {(v & 1) != 0}; }
  ULONG Value() const { return pullLow ? 1 : 0; }
};
template <ULONG Offset>
struct I2cLineIn {
  static constexpr ULONG kOffset = Offset;
  bool high = false;
  static I2cLineIn FromValue(ULONG v) { return {(v & 1) != 0}; }
  ULONG Value() const { return high ? 1 : 0; }
};
using I2cClockOut = I2cLineOut<0x7000>;
using I2cDataOut = I2cLineOut<0x7004>;
using I2cClockIn = I2cLineIn<0x7008>;
using I2cDataIn = I2cLineIn<0x700C>;

// GPIO pins, one bit per pin: output levels and output enables.
template <ULONG Offset>
struct GpioPins {
  static constexpr ULONG kOffset = Offset;
  ULONG pins = 0;
  static GpioPins FromValue(ULONG v) { return {v}; }
  ULONG Value() const { return pins; }
  bool Pin(ULONG n) const { return (pins >> n & 1) != 0; }
  void SetPin(ULONG n, bool on) { pins = on ? pins | (1u << n) : pins & ~(1u << n); }
};
using GpioLevels = GpioPins<0x900C>;
using GpioEnables = GpioPins<0x9020>;

// The register half of the card's window (base + 0x2000000), reached only through the kernel's register
// functions.
class ChipRegisters {
 public:
  ChipRegisters() = default;
  explicit ChipRegisters(PUCHAR base) : base_(base) {}
  bool Mapped() const { return base_ != nullptr; }

  template <class R>
  R Read() const {
    return R::FromValue(READ_REGISTER_ULONG(At(R::kOffset)));
  }
  template <class R>
  void Write(const R& r) const {
    WRITE_REGISTER_ULONG(At(R::kOffset), r.Value());
  }

 private:
  volatile ULONG* At(ULONG offset) const { return reinterpret_cast<volatile ULONG*>(base_ + offset); }
  PUCHAR base_ = nullptr;
};

}  // namespace pelgar
