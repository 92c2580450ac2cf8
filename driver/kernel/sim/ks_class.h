// The host stand-in of the kernel-streaming class driver and the plug-and-play and power managers above it:
// it loads a minidriver through its DriverEntry, creates a device object for a card's physical device,
// sends add, start (with translated resources), stop, remove, query-power and set-power through the
// minidriver's device dispatch table as the class driver would, and routes property requests through an
// automation table to their handlers. It checks the class driver's rules as it goes (recorded as kernel
// faults): the device mutex is released before every callback returns and never released unowned, a
// descriptor has the right version, the device context is cleared by Remove, requests come in an order the
// plug-and-play manager would send them. It also stands in for an application's graph on the filters: it
// creates pins with a connection format, moves them through their states, queues frames (locked pages a
// bus master can reach, with their mappings) and records the frames the pin completes, keeping the class
// driver's rules for stream pointers (clones of locked pointers only, nothing left at close).
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

  // ---- Pins (the calling thread acts for the application, at passive level)
  // Creates pin factory `pinId` of an open filter connected with `format` (formatSize bytes): the format
  // must match one of the pin's data ranges in its three GUIDs (STATUS_NO_MATCH), the pin's possible
  // instances must not all exist (STATUS_INSUFFICIENT_RESOURCES); the pin's SetDataFormat (with the range
  // that matched) and Create are called. On failure *pin is null.
  NTSTATUS CreatePin(PKSFILTER filter, ULONG pinId, const KSDATAFORMAT* format, ULONG formatSize, PKSPIN* pin);
  // The application sets a new format on a connected pin: it must match one of the pin's ranges in its
  // three GUIDs (STATUS_NO_MATCH); the pin's SetDataFormat gets the old format and the range; when it fails
  // the connection keeps the old format.
  NTSTATUS ChangeFormat(PKSPIN pin, const KSDATAFORMAT* format, ULONG formatSize);
  // Moves the pin one state at a time (stop, acquire, pause, run) to `state` through SetDeviceState; stops
  // at the first failure, which is returned. Frames queued while the pin can process are processed.
  NTSTATUS SetPinState(PKSPIN pin, KSSTATE state);
  // Queues `count` empty frames of `bytes` each, as the application's allocator hands them down: each page
  // lies apart on the bus; a pin that generates mappings gets one mapping per page. The pin processes them
  // unless it does not initiate processing or is stopped or acquired.
  void QueueFrames(PKSPIN pin, ULONG count, ULONG bytes);
  // Queues one frame holding `bytes` bytes of `data` (DataUsed and FrameExtent both `bytes`), as an
  // application writes to an input pin; the pin processes it as QueueFrames says.
  void QueueData(PKSPIN pin, const void* data, ULONG bytes);
  // Frames queued from now on carry headers of pin->StreamHeaderSize bytes (a minidriver that wants
  // extended headers sets it at Create, as the application's allocator then learns).
  // A frame the pin completed: its header, the first DataUsed bytes, and the bus addresses its pages had
  // (no longer reachable by bus masters once it completed).
  struct CompletedFrame {
    KSSTREAM_HEADER header;
    std::vector<uint8_t> data;
    std::vector<uint64_t> pages;
    std::vector<uint8_t> extendedHeader;  // the header's bytes after KSSTREAM_HEADER (StreamHeaderSize)
  };
  const std::vector<CompletedFrame>& CompletedFrames(PKSPIN pin) const;
  // Frames queued and not yet completed (clones hold some of them).
  size_t PendingFrames(PKSPIN pin) const;
  // Closes the pin as the class driver does when its handle closes: stop first, then Close; frames still
  // queued are cancelled (completed empty), the pin's bag is freed.
  void ClosePin(PKSPIN pin);
  // Sends a property request to an open pin through its descriptor's automation table, as Property does
  // for a filter.
  NTSTATUS PinProperty(PKSPIN pin, const GUID& set, ULONG id, ULONG flags, void* data, ULONG dataLength,
                       ULONG_PTR* returned);
  // The graph gives the pin a reference clock on the machine's virtual time: stream time = the virtual
  // time since the clock was assigned; the system time of a correlated read is the virtual time. Closing
  // a pin whose clock is still referenced (KsPinGetReferenceClockInterface without Release) is a fault.
  void AssignClock(PKSPIN pin);
  // References the driver holds on the pin's clock.
  ULONG ClockReferences(PKSPIN pin) const;
  // The intersection request of a pin factory: the caller's range goes to the pin's intersect handler with
  // each of the pin's ranges that match it in the three GUIDs, until one does not answer STATUS_NO_MATCH.
  NTSTATUS IntersectFormat(PKSFILTER filter, ULONG pinId, const KSDATARANGE* range, void* data, ULONG dataLength,
                           ULONG* returned);

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
