// The host stand-in of the kernel-streaming class driver and the plug-and-play and power managers above it:
// it loads a minidriver through its DriverEntry, creates a device object for a card's physical device,
// sends add, start (with translated resources), stop, remove, query-power and set-power through the
// minidriver's device dispatch table as the class driver would, and routes property requests through an
// automation table to their handlers. It checks the class driver's rules as it goes (recorded as kernel
// faults): the device mutex is released before every callback returns and never released unowned, a
// descriptor has the right version, the device context is cleared by Remove, requests come in an order the
// plug-and-play manager would send them.
//
// One class driver per Kernel; tests create it after the Kernel and destroy it before.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/kernel/ks.h"
#include "driver/kernel/sim/kernel.h"

namespace ksim {

// The resources the bus assigned to a card, as they appear in the translated resource list.
struct CardResources {
  uint64_t memoryAddress = 0;
  ULONG memoryLength = 0;
  ULONG vector = 0;
  KIRQL irql = 0;
  bool latched = false;
  bool shared = true;
  KAFFINITY affinity = 1;
};

// A filter registered with KsRegisterFilterWithNoKSPins.
struct PinlessFilter {
  PDEVICE_OBJECT physicalDevice;
  GUID category;
  std::vector<bool> outputs;  // pin directions: true = output
  std::vector<KSPIN_MEDIUM> mediums;
};

// A write to a device's bus data (KsDeviceSetBusData).
struct BusDataWrite {
  ULONG space;
  ULONG offset;
  std::vector<uint8_t> bytes;
};

class KsClassDriver {
 public:
  explicit KsClassDriver(Kernel& kernel);
  // Faults when devices are still present (not removed).
  ~KsClassDriver();
  KsClassDriver(const KsClassDriver&) = delete;
  KsClassDriver& operator=(const KsClassDriver&) = delete;

  // Calls the driver's entry point with a driver object and its service key path, as the I/O manager does
  // when it loads the image; the entry point must register its descriptor with KsInitializeDriver.
  NTSTATUS Load(PDRIVER_INITIALIZE driverEntry);
  const KSDEVICE_DESCRIPTOR* Descriptor() const;

  // ---- Plug-and-play (the calling thread acts for the plug-and-play manager, at passive level)
  // Creates the functional device object over the physical device and calls the Add slot. On failure the
  // device object is deleted again and *device is null.
  NTSTATUS Add(PDEVICE_OBJECT physicalDevice, PKSDEVICE* device);
  // The translated resource list of a card: its memory window, then its interrupt.
  static std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> Resources(const CardResources& card);
  // Calls the Start slot with a resource list holding `translated` (also given as the untranslated list).
  NTSTATUS Start(PKSDEVICE device, const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& translated);
  NTSTATUS Start(PKSDEVICE device, const CardResources& card) { return Start(device, Resources(card)); }
  // Calls the Stop slot of a started device.
  void Stop(PKSDEVICE device);
  // Calls the Remove slot and deletes the device object; the context must have been cleared.
  void Remove(PKSDEVICE device);

  // ---- Power
  NTSTATUS QueryPower(PKSDEVICE device, DEVICE_POWER_STATE to, SYSTEM_POWER_STATE systemTo = PowerSystemSleeping3,
                      POWER_ACTION action = PowerActionSleep);
  // Calls the SetPower slot and records the new state in the device object.
  void SetPower(PKSDEVICE device, DEVICE_POWER_STATE to, SYSTEM_POWER_STATE systemTo = PowerSystemSleeping3);

  // ---- Filters and properties
  // A filter instance on the device (descriptor may be null while filters are not built), as an application
  // opening the filter creates it; Close deletes it.
  PKSFILTER OpenFilter(PKSDEVICE device, const KSFILTER_DESCRIPTOR* descriptor);
  void CloseFilter(PKSFILTER filter);
  // Sends a property request to a filter: finds the set and item in `table`, checks the request and buffer
  // sizes against the item, and calls its get or set handler. `*returned` gets the bytes the handler
  // reported. Unknown set or item: STATUS_NOT_FOUND; a buffer shorter than MinData:
  // STATUS_BUFFER_TOO_SMALL, or STATUS_BUFFER_OVERFLOW with *returned = MinData when it is empty.
  NTSTATUS Property(PKSFILTER filter, const KSAUTOMATION_TABLE* table, const GUID& set, ULONG id, ULONG flags,
                    void* data, ULONG dataLength, ULONG_PTR* returned, const void* extra = nullptr,
                    ULONG extraLength = 0);

  // ---- What the driver did
  const std::vector<PinlessFilter>& PinlessFilters() const;
  // The device's filter factories in creation order, and whether each has updated its cache data.
  std::vector<PKSFILTERFACTORY> Factories(PKSDEVICE device) const;
  bool CacheUpdated(PKSFILTERFACTORY factory) const;
  const std::vector<BusDataWrite>& BusData(PKSDEVICE device) const;
  PADAPTER_OBJECT RegisteredAdapter(PKSDEVICE device) const;
  // Device-mutex acquisitions over the machine's life (KsAcquireDevice).
  uint64_t DeviceAcquisitions() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace ksim
