#include "driver/peripherals.h"

#include "driver/driver_services.h"

namespace pelgar {
namespace {

// clang-format off
constexpr PeripheralRegister kTableB8[] = {
    {0x00, 0x17}, {0x01, 0x01}, {0x02, 0xA1}, {0x03, 0x23}, {0x04, 0x29}, {0x05, 0x72}, {0x06, 0x11}, {0x07, 0x05},
    {0x08, 0x56}, {0x09, 0x48}, {0x0A, 0x50}, {0x0B, 0x3E}, {0x0C, 0xA0}, {0x0D, 0x05}, {0x0E, 0x08}, {0x0F, 0x44},
    {0x10, 0x60}, {0x11, 0x08}, {0x12, 0x52}, {0x13, 0xF8}, {0x14, 0x53}, {0x15, 0x60}, {0x16, 0x00},
};
constexpr PeripheralRegister kTable24[] = {
    {0x00, 0x00}, {0x01, 0xB8}, {0x02, 0x58}, {0x03, 0x87}, {0x04, 0xC6}, {0x05, 0x03}, {0x06, 0x14}, {0x07, 0x0B},
    {0x08, 0xAF}, {0x09, 0x7F}, {0x0A, 0x00}, {0x0B, 0x00}, {0x0C, 0x1D}, {0x0D, 0x5E}, {0x0E, 0x00}, {0x0F, 0xD0},
};
// clang-format on

}  // namespace

bool Peripheral::Probe(I2cBus* bus, UCHAR address) {
  UCHAR subAddress = 0;
  UCHAR answer = 0;
  return NT_SUCCESS(bus->WriteRead(address, 1, &subAddress, 1, &answer, FALSE));
}

NTSTATUS Peripheral::Create(I2cBus* bus, PelgarDevice* device, UCHAR address, Peripheral** peripheral) {
  *peripheral = NewTagged<Peripheral>(std::source_location::current(), bus, device, address);
  return *peripheral == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}

void Peripheral::Destroy(Peripheral* peripheral) { DeleteTagged(peripheral); }

Peripheral::Peripheral(I2cBus* bus, PelgarDevice* device, UCHAR address)
    : bus_(bus), device_(device), address_(address), table_(nullptr), tableLength_(0), initialised_(false) {
  bus_->Retain();
  if (address == kAddressB8) {
    table_ = kTableB8;
    tableLength_ = sizeof kTableB8 / sizeof kTableB8[0];
  } else if (address == kAddress24) {
    table_ = kTable24;
    tableLength_ = sizeof kTable24 / sizeof kTable24[0];
  }
}

Peripheral::~Peripheral() { bus_->Release(); }

NTSTATUS Peripheral::Initialise() {
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < tableLength_; ++i) {
    UCHAR bytes[2] = {table_[i].reg, table_[i].value};
    status = bus_->Write(address_, 2, bytes, TRUE, FALSE);
  }
  initialised_ = NT_SUCCESS(status);
  return status;
}

}  // namespace pelgar
