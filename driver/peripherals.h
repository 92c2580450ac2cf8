// The optional I2C peripherals some boards carry: two devices programmed from a register table (at 0xB8
// and 0x24) and a status-register device (at 0xF4). A peripheral is present when it acknowledges a
// one-byte read of register 0; the object exists only for a present device.
#pragma once

#include "driver/i2c_bus.h"

namespace pelgar {

struct PelgarDevice;

struct PeripheralRegister {
  UCHAR reg;
  UCHAR value;
};

class Peripheral {
 public:
  // Addresses of the peripherals on the bus.
  static constexpr UCHAR kAddressB8 = 0xB8;
  static constexpr UCHAR kAddress24 = 0x24;
  static constexpr UCHAR kAddressF4 = 0xF4;

  // True when a device at the address acknowledges writing sub-address 0 and a one-byte read behind it.
  static bool Probe(I2cBus* bus, UCHAR address);
  // The peripheral at the address, holding a reference to the bus, with the register table of its address
  // (none for 0xF4). STATUS_INSUFFICIENT_RESOURCES when it cannot be allocated.
  static NTSTATUS Create(I2cBus* bus, PelgarDevice* device, UCHAR address, Peripheral** peripheral);
  // Releases the bus reference and frees the object; ignores null.
  static void Destroy(Peripheral* peripheral);

  // Writes the register table as 2-byte writes (register, value) in order; the peripheral counts as
  // initialised when the last write succeeded. Returns the status of the last write.
  NTSTATUS Initialise();

  UCHAR Address() const { return address_; }
  bool Initialised() const { return initialised_; }
  // Cleared at power-down: the chip loses its registers.
  void ForgetInitialisation() { initialised_ = false; }

 private:
  Peripheral(I2cBus* bus, PelgarDevice* device, UCHAR address);
  ~Peripheral();
  template <class T, class... Args>
  friend T* NewTagged(std::source_location, Args&&...);
  template <class T>
  friend void DeleteTagged(T*);

  I2cBus* bus_;           // held reference
  PelgarDevice* device_;  // the card, for the input re-selection after wake-up
  UCHAR address_;
  const PeripheralRegister* table_;  // register table of this address, or null
  ULONG tableLength_;
  bool initialised_;
};

}  // namespace pelgar
