// The stand-in class driver: the minidriver's descriptor, device and filter objects, the device mutex,
// bus data and adapter registration, pin-less filter registration, the plug-and-play and power requests
// sent through the device dispatch table, and property dispatch through automation tables.
#include "driver/kernel/sim/ks_class.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "driver/kernel/sim/state.h"

namespace ksim {

struct FactoryObject {
  KSFILTERFACTORY ks{};
  ULONG flags = 0;
  bool cacheUpdated = false;
};

struct DeviceObject {
  std::vector<std::unique_ptr<FactoryObject>> factories;
  KSDEVICE ks{};
  _DEVICE_OBJECT fdo{};
  KMUTEX mutex{};
  std::vector<BusDataWrite> busData;
  PADAPTER_OBJECT adapter = nullptr;
};

// What an object's bag holds: the pool copies _KsEdit made, freed with the object.
struct Bag {
  std::vector<std::pair<void*, ULONG>> items;
};

struct FilterObject {
  KSFILTER ks{};
  DeviceObject* device = nullptr;
  FactoryObject* factory = nullptr;  // the factory whose descriptor the filter was opened with, if any
  Bag bag;
  ULONG pins = 0;
  KMUTEX control{};
};

// A frame the application queued: page-aligned memory whose pages are registered for bus masters one by
// one, its mappings and its header.
struct Frame {
  std::vector<uint8_t> storage;
  PUCHAR data = nullptr;
  ULONG bytes = 0;
  std::vector<KSMAPPING> mappings;
  std::vector<uint64_t> headerStorage;  // StreamHeaderSize bytes at least
  KSSTREAM_HEADER* header = nullptr;
  bool passed = false;  // the leading edge has moved past it
  int clones = 0;
};

struct StreamPointerObject {
  KSSTREAM_POINTER ks{};
  Frame* frame = nullptr;
  std::vector<uint64_t> context;
};

// The reference clock the graph assigned to a pin.
class SimClock final : public IKsReferenceClock {
 public:
  SimClock(Kernel* kernel, PKSPIN pin) : kernel_(kernel), pin_(pin), start_(kernel->Now()) {}
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    if (references_ == 0) {
      Fault("IKsReferenceClock::Release without a reference");
      return 0;
    }
    return --references_;
  }
  LONGLONG GetTime() override { return kernel_->Now() - start_; }
  LONGLONG GetPhysicalTime() override { return GetTime(); }
  LONGLONG GetCorrelatedTime(PLONGLONG SystemTime) override {
    if (SystemTime != nullptr) *SystemTime = kernel_->Now();
    return GetTime();
  }
  LONGLONG GetCorrelatedPhysicalTime(PLONGLONG SystemTime) override { return GetCorrelatedTime(SystemTime); }
  NTSTATUS GetResolution(PKSRESOLUTION Resolution) override {
    *Resolution = {1, 1};
    return STATUS_SUCCESS;
  }
  NTSTATUS GetState(KSSTATE* State) override {
    *State = pin_->DeviceState;
    return STATUS_SUCCESS;
  }
  ULONG References() const { return references_; }

 private:
  Kernel* kernel_;
  PKSPIN pin_;
  Time start_;
  ULONG references_ = 0;
};

struct PinObject {
  KSPIN ks{};
  std::unique_ptr<SimClock> clock;
  FilterObject* filter = nullptr;
  Bag bag;
  std::vector<uint64_t> format;
  std::deque<std::unique_ptr<Frame>> frames;  // queued and not completed, in order
  StreamPointerObject leading;
  std::vector<std::unique_ptr<StreamPointerObject>> clones;
  std::vector<KsClassDriver::CompletedFrame> completed;
};

struct KsClassDriver::Impl {
  const KSDEVICE_DESCRIPTOR* descriptor = nullptr;
  bool loading = false;
  DRIVER_OBJECT driverObject{};
  std::vector<std::unique_ptr<DeviceObject>> devices;
  std::vector<std::unique_ptr<FilterObject>> filters;
  std::vector<std::unique_ptr<PinObject>> pins;
  std::vector<PinlessFilter> pinless;
  Kernel* kernel = nullptr;
  uint64_t acquisitions = 0;
};

namespace {

KsClassDriver::Impl* g_class = nullptr;

KsClassDriver::Impl& C() {
  if (g_class == nullptr) {
    Fault("kernel-streaming service called while no class driver is loaded");
    static KsClassDriver::Impl none;
    return none;
  }
  return *g_class;
}

DeviceObject* DeviceOf(PKSDEVICE device) {
  for (const auto& d : C().devices)
    if (&d->ks == device) return d.get();
  return nullptr;
}

FilterObject* FilterOf(const void* object) {
  for (const auto& f : C().filters)
    if (&f->ks == object) return f.get();
  return nullptr;
}

PinObject* PinOf(const void* object) {
  for (const auto& p : C().pins)
    if (&p->ks == object) return p.get();
  return nullptr;
}

Bag* BagOf(KSOBJECT_BAG bag) {
  for (const auto& f : C().filters)
    if (&f->bag == bag) return &f->bag;
  for (const auto& p : C().pins)
    if (&p->bag == bag) return &p->bag;
  return nullptr;
}

void FreeBag(Bag& bag) {
  for (auto& item : bag.items) ExFreePool(item.first);
  bag.items.clear();
}

// The stream pointer object behind a minidriver's pointer, and its pin; null when it is none.
StreamPointerObject* StreamPointerOf(PKSSTREAM_POINTER pointer, PinObject** pin) {
  for (const auto& p : C().pins) {
    if (&p->leading.ks == pointer) {
      *pin = p.get();
      return &p->leading;
    }
    for (const auto& c : p->clones)
      if (&c->ks == pointer) {
        *pin = p.get();
        return c.get();
      }
  }
  return nullptr;
}

void PointAt(PinObject* pin, StreamPointerObject* pointer, Frame* frame) {
  pointer->frame = frame;
  pointer->ks.Pin = &pin->ks;
  pointer->ks.StreamHeader = frame ? frame->header : nullptr;
  pointer->ks.OffsetIn = {};
  pointer->ks.OffsetOut = {};
  if (frame != nullptr) {
    if ((pin->ks.Descriptor->Flags & KSPIN_FLAG_GENERATE_MAPPINGS) != 0) {
      pointer->ks.OffsetOut.Mappings = frame->mappings.data();
      pointer->ks.OffsetOut.Count = pointer->ks.OffsetOut.Remaining = static_cast<ULONG>(frame->mappings.size());
    } else if (pin->ks.DataFlow == KSPIN_DATAFLOW_IN) {
      pointer->ks.OffsetIn.Data = frame->data;
      pointer->ks.OffsetIn.Count = pointer->ks.OffsetIn.Remaining = frame->header->DataUsed;
    } else {
      pointer->ks.OffsetOut.Data = frame->data;
      pointer->ks.OffsetOut.Count = pointer->ks.OffsetOut.Remaining = frame->bytes;
    }
  }
  pointer->ks.Offset = pin->ks.DataFlow == KSPIN_DATAFLOW_IN ? &pointer->ks.OffsetIn : &pointer->ks.OffsetOut;
}

// Completes the frames at the head of the queue that nothing refers to any more, as the class driver hands
// them back to the application.
void CompleteFrames(PinObject* pin, bool cancel) {
  OutsideDriverScope application;
  auto& frames = pin->frames;
  for (auto it = frames.begin(); it != frames.end();) {
    Frame* f = it->get();
    if (!cancel && (!f->passed || f->clones > 0)) {
      ++it;
      continue;
    }
    KsClassDriver::CompletedFrame done{*f->header, {}, {}, {}};
    const auto* headerBytes = reinterpret_cast<const uint8_t*>(f->header);
    if (f->header->Size > sizeof(KSSTREAM_HEADER))
      done.extendedHeader.assign(headerBytes + sizeof(KSSTREAM_HEADER), headerBytes + f->header->Size);
    for (const KSMAPPING& m : f->mappings) done.pages.push_back(static_cast<uint64_t>(m.PhysicalAddress.QuadPart));
    if (cancel) done.header.DataUsed = 0;
    ULONG used = std::min(done.header.DataUsed, f->bytes);
    done.data.assign(f->data, f->data + used);
    pin->completed.push_back(std::move(done));
    for (ULONG off = 0; off < f->bytes; off += 4096) C().kernel->UnregisterDmaBuffer(f->data + off);
    it = frames.erase(it);
  }
}

bool CanProcess(const PinObject* pin) {
  const ULONG flags = pin->ks.Descriptor->Flags;
  if ((flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING) != 0) return false;
  if (pin->ks.Descriptor->Dispatch == nullptr || pin->ks.Descriptor->Dispatch->Process == nullptr) return false;
  KSSTATE least = (flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) != 0 ? KSSTATE_RUN : KSSTATE_PAUSE;
  return pin->ks.DeviceState >= least;
}

bool MatchesGuids(const KSDATARANGE& a, const KSDATARANGE& b) {
  return IsEqualGUID(a.MajorFormat, b.MajorFormat) && IsEqualGUID(a.SubFormat, b.SubFormat) &&
         IsEqualGUID(a.Specifier, b.Specifier);
}

bool IsPhysicalDevice(PDEVICE_OBJECT device) {
  for (const auto& d : S().devices)
    if (d->object.get() == device) return true;
  return false;
}

// The class driver's rule after every callback into the minidriver: the device mutex is not left held.
void CheckMutexReleased(DeviceObject* d, const char* callback) {
  if (d->mutex.OwnerThread != nullptr)
    Fault(std::string(callback) + " returned with the device mutex held (KsAcquireDevice without KsReleaseDevice)");
}

DeviceObject* Checked(PKSDEVICE device, const char* request) {
  DeviceObject* d = DeviceOf(device);
  if (d == nullptr) Fault(std::string(request) + " for a device object the class driver does not know");
  return d;
}

}  // namespace

KsClassDriver::KsClassDriver(Kernel& kernel) : impl_(std::make_unique<Impl>()) {
  if (g_class != nullptr) Fault("a second kernel-streaming class driver was created");
  g_class = impl_.get();
  impl_->kernel = &kernel;
  impl_->driverObject.Type = 4;  // IO_TYPE_DRIVER
  impl_->driverObject.Size = sizeof(DRIVER_OBJECT);
}

KsClassDriver::~KsClassDriver() {
  if (!impl_->pins.empty()) Fault(std::to_string(impl_->pins.size()) + " pin(s) still open at unload");
  if (!impl_->filters.empty()) Fault(std::to_string(impl_->filters.size()) + " filter(s) still open at unload");
  if (!impl_->devices.empty()) Fault(std::to_string(impl_->devices.size()) + " device(s) not removed at unload");
  if (g_class == impl_.get()) g_class = nullptr;
}

NTSTATUS KsClassDriver::Load(PDRIVER_INITIALIZE driverEntry) {
  static char16_t path[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\nvpelgar";
  UNICODE_STRING registryPath;
  RtlInitUnicodeString(&registryPath, path);
  impl_->loading = true;
  NTSTATUS status = driverEntry(&impl_->driverObject, &registryPath);
  impl_->loading = false;
  if (NT_SUCCESS(status) && impl_->descriptor == nullptr)
    Fault("DriverEntry succeeded without registering a device descriptor (KsInitializeDriver)");
  return status;
}

const KSDEVICE_DESCRIPTOR* KsClassDriver::Descriptor() const { return impl_->descriptor; }

NTSTATUS KsClassDriver::Add(PDEVICE_OBJECT physicalDevice, PKSDEVICE* device) {
  *device = nullptr;
  if (impl_->descriptor == nullptr) {
    Fault("device added before the minidriver registered its descriptor");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (!IsPhysicalDevice(physicalDevice)) {
    Fault("device added for an object that is not a physical device object");
    return STATUS_INVALID_PARAMETER;
  }
  auto d = std::make_unique<DeviceObject>();
  d->fdo.Type = 3;
  d->fdo.Size = sizeof(_DEVICE_OBJECT);
  d->ks.Descriptor = impl_->descriptor;
  d->ks.FunctionalDeviceObject = &d->fdo;
  d->ks.PhysicalDeviceObject = physicalDevice;
  d->ks.NextDeviceObject = physicalDevice;
  d->ks.SystemPowerState = PowerSystemWorking;
  d->ks.DevicePowerState = PowerDeviceD0;
  KeInitializeMutex(&d->mutex, 0);
  DeviceObject* raw = d.get();
  impl_->devices.push_back(std::move(d));
  NTSTATUS status = STATUS_SUCCESS;
  if (impl_->descriptor->Dispatch != nullptr && impl_->descriptor->Dispatch->Add != nullptr) {
    status = impl_->descriptor->Dispatch->Add(&raw->ks);
    CheckMutexReleased(raw, "Add");
  }
  if (!NT_SUCCESS(status)) {
    if (raw->ks.Context != nullptr) Fault("a failed Add left the device context set");
    impl_->devices.pop_back();
    return status;
  }
  *device = &raw->ks;
  return status;
}

std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> KsClassDriver::Resources(const CardResources& card) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR memory{};
  memory.Type = CmResourceTypeMemory;
  memory.ShareDisposition = CmResourceShareDeviceExclusive;
  memory.Flags = CM_RESOURCE_MEMORY_READ_WRITE;
  memory.u.Memory.Start.QuadPart = static_cast<LONGLONG>(card.memoryAddress);
  memory.u.Memory.Length = card.memoryLength;
  CM_PARTIAL_RESOURCE_DESCRIPTOR interrupt{};
  interrupt.Type = CmResourceTypeInterrupt;
  interrupt.ShareDisposition = card.shared ? CmResourceShareShared : CmResourceShareDeviceExclusive;
  interrupt.Flags = card.latched ? CM_RESOURCE_INTERRUPT_LATCHED : CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
  interrupt.u.Interrupt.Level = card.irql;
  interrupt.u.Interrupt.Vector = card.vector;
  interrupt.u.Interrupt.Affinity = card.affinity;
  return {memory, interrupt};
}

NTSTATUS KsClassDriver::Start(PKSDEVICE device, const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& translated) {
  DeviceObject* d = Checked(device, "Start");
  if (d == nullptr) return STATUS_INVALID_PARAMETER;
  // The list as the plug-and-play manager builds it: one full descriptor holding every partial one.
  size_t count = translated.size();
  size_t bytes = offsetof(CM_RESOURCE_LIST, List) + offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                 offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors) +
                 std::max<size_t>(count, 1) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
  std::vector<uint64_t> storage((bytes + 7) / 8, 0);
  auto* list = reinterpret_cast<PCM_RESOURCE_LIST>(storage.data());
  list->Count = 1;
  list->List[0].InterfaceType = PCIBus;
  list->List[0].PartialResourceList.Version = 1;
  list->List[0].PartialResourceList.Revision = 1;
  list->List[0].PartialResourceList.Count = static_cast<ULONG>(count);
  // The descriptors run past the one-element array the structure declares; index through a plain pointer
  // so the compiler cannot assume the index stays within that array.
  CM_PARTIAL_RESOURCE_DESCRIPTOR* descriptors = list->List[0].PartialResourceList.PartialDescriptors;
  for (size_t i = 0; i < count; ++i) descriptors[i] = translated[i];
  std::vector<uint64_t> untranslated = storage;
  IRP irp{};
  NTSTATUS status = STATUS_SUCCESS;
  const KSDEVICE_DISPATCH* dispatch = impl_->descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Start != nullptr) {
    status = dispatch->Start(device, &irp, list, reinterpret_cast<PCM_RESOURCE_LIST>(untranslated.data()));
    CheckMutexReleased(d, "Start");
  }
  device->Started = NT_SUCCESS(status) ? TRUE : FALSE;
  return status;
}

void KsClassDriver::Stop(PKSDEVICE device) {
  DeviceObject* d = Checked(device, "Stop");
  if (d == nullptr) return;
  if (!device->Started) {
    Fault("Stop sent to a device that is not started");
    return;
  }
  IRP irp{};
  const KSDEVICE_DISPATCH* dispatch = impl_->descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Stop != nullptr) {
    dispatch->Stop(device, &irp);
    CheckMutexReleased(d, "Stop");
  }
  device->Started = FALSE;
  // Create items marked free-on-stop go with the stop (filters still open lose their factory).
  auto& factories = d->factories;
  for (const auto& f : impl_->filters)
    if (f->factory != nullptr && (f->factory->flags & KSCREATE_ITEM_FREEONSTOP) != 0) f->factory = nullptr;
  factories.erase(std::remove_if(factories.begin(), factories.end(),
                                 [](const auto& f) { return (f->flags & KSCREATE_ITEM_FREEONSTOP) != 0; }),
                  factories.end());
}

void KsClassDriver::Remove(PKSDEVICE device) {
  DeviceObject* d = Checked(device, "Remove");
  if (d == nullptr) return;
  for (const auto& f : impl_->filters)
    if (f->device == d) Fault("Remove sent while a filter of the device is still open");
  IRP irp{};
  const KSDEVICE_DISPATCH* dispatch = impl_->descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Remove != nullptr) {
    dispatch->Remove(device, &irp);
    CheckMutexReleased(d, "Remove");
  }
  if (device->Context != nullptr) Fault("Remove left the device context set");
  auto& devices = impl_->devices;
  devices.erase(std::find_if(devices.begin(), devices.end(), [&](const auto& p) { return p.get() == d; }));
}

NTSTATUS KsClassDriver::QueryPower(PKSDEVICE device, DEVICE_POWER_STATE to, SYSTEM_POWER_STATE systemTo,
                                   POWER_ACTION action) {
  DeviceObject* d = Checked(device, "QueryPower");
  if (d == nullptr) return STATUS_INVALID_PARAMETER;
  IRP irp{};
  const KSDEVICE_DISPATCH* dispatch = impl_->descriptor->Dispatch;
  if (dispatch == nullptr || dispatch->QueryPower == nullptr) return STATUS_SUCCESS;
  NTSTATUS status =
      dispatch->QueryPower(device, &irp, to, device->DevicePowerState, systemTo, device->SystemPowerState, action);
  CheckMutexReleased(d, "QueryPower");
  return status;
}

void KsClassDriver::SetPower(PKSDEVICE device, DEVICE_POWER_STATE to, SYSTEM_POWER_STATE systemTo) {
  DeviceObject* d = Checked(device, "SetPower");
  if (d == nullptr) return;
  IRP irp{};
  const KSDEVICE_DISPATCH* dispatch = impl_->descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->SetPower != nullptr) {
    dispatch->SetPower(device, &irp, to, device->DevicePowerState);
    CheckMutexReleased(d, "SetPower");
  }
  device->DevicePowerState = to;
  device->SystemPowerState = to == PowerDeviceD0 ? PowerSystemWorking : systemTo;
}

PKSFILTER KsClassDriver::OpenFilter(PKSDEVICE device, const KSFILTER_DESCRIPTOR* descriptor) {
  DeviceObject* d = Checked(device, "OpenFilter");
  if (d == nullptr) return nullptr;
  auto f = std::make_unique<FilterObject>();
  f->ks.Descriptor = descriptor;
  f->ks.Bag = &f->bag;
  f->device = d;
  KeInitializeMutex(&f->control, 0);
  for (const auto& factory : d->factories)
    if (descriptor != nullptr && f->factory == nullptr && factory->ks.FilterDescriptor == descriptor)
      f->factory = factory.get();
  PKSFILTER filter = &f->ks;
  impl_->filters.push_back(std::move(f));
  if (descriptor != nullptr && descriptor->Dispatch != nullptr && descriptor->Dispatch->Create != nullptr) {
    IRP irp{};
    irp.KsObject = filter;
    NTSTATUS status = descriptor->Dispatch->Create(filter, &irp);
    CheckMutexReleased(d, "filter Create");
    if (!NT_SUCCESS(status)) {
      FreeBag(impl_->filters.back()->bag);
      impl_->filters.pop_back();
      return nullptr;
    }
  }
  return filter;
}

void KsClassDriver::CloseFilter(PKSFILTER filter) {
  auto& filters = impl_->filters;
  auto it = std::find_if(filters.begin(), filters.end(), [&](const auto& p) { return &p->ks == filter; });
  if (it == filters.end()) {
    Fault("CloseFilter of a filter that is not open");
    return;
  }
  if ((*it)->pins != 0) Fault("a filter closed while pins of it are open");
  const KSFILTER_DESCRIPTOR* descriptor = (*it)->ks.Descriptor;
  if (descriptor != nullptr && descriptor->Dispatch != nullptr && descriptor->Dispatch->Close != nullptr) {
    IRP irp{};
    irp.KsObject = filter;
    descriptor->Dispatch->Close(filter, &irp);
    CheckMutexReleased((*it)->device, "filter Close");
  }
  FreeBag((*it)->bag);
  filters.erase(it);
}

namespace {

// A property request to a filter or pin (`object`) of `device` through `table`.
NTSTATUS SendProperty(void* object, DeviceObject* device, const KSAUTOMATION_TABLE* table, const GUID& set, ULONG id,
                      ULONG flags, void* data, ULONG dataLength, ULONG_PTR* returned, const void* extra,
                      ULONG extraLength) {
  RequireIrql(PASSIVE_LEVEL, "property request");
  const KSPROPERTY_ITEM* item = nullptr;
  for (ULONG s = 0; table != nullptr && s < table->PropertySetsCount && item == nullptr; ++s) {
    const KSPROPERTY_SET& ps = table->PropertySets[s];
    if (!IsEqualGUID(*ps.Set, set)) continue;
    auto* bytes = reinterpret_cast<const uint8_t*>(ps.PropertyItem);
    ULONG stride = table->PropertyItemSize ? table->PropertyItemSize : sizeof(KSPROPERTY_ITEM);
    for (ULONG i = 0; i < ps.PropertiesCount; ++i) {
      auto* candidate = reinterpret_cast<const KSPROPERTY_ITEM*>(bytes + i * stride);
      if (candidate->PropertyId == id) {
        item = candidate;
        break;
      }
    }
  }
  bool get = (flags & KSPROPERTY_TYPE_GET) != 0;
  bool put = (flags & KSPROPERTY_TYPE_SET) != 0;
  if (item == nullptr || get == put) return STATUS_NOT_FOUND;
  PFNKSHANDLER handler = get ? item->GetPropertyHandler : item->SetPropertyHandler;
  if (handler == nullptr) return STATUS_NOT_FOUND;
  // The request as the caller sends it: the identifier followed by any further request fields.
  std::vector<uint64_t> request((sizeof(KSPROPERTY) + extraLength + 7) / 8, 0);
  auto* property = reinterpret_cast<PKSPROPERTY>(request.data());
  property->Set = set;
  property->Id = id;
  property->Flags = flags;
  if (extraLength) std::memcpy(reinterpret_cast<uint8_t*>(request.data()) + sizeof(KSPROPERTY), extra, extraLength);
  if (sizeof(KSPROPERTY) + extraLength < item->MinProperty) return STATUS_INVALID_BUFFER_SIZE;
  if (dataLength < item->MinData) {
    if (get && dataLength == 0) {
      *returned = item->MinData;
      return STATUS_BUFFER_OVERFLOW;
    }
    return STATUS_BUFFER_TOO_SMALL;
  }
  IRP irp{};
  irp.UserBuffer = data;
  irp.KsObject = object;
  NTSTATUS status = handler(&irp, property, data);
  CheckMutexReleased(device, "a property handler");
  if (irp.IoStatus.Information > dataLength) Fault("a property handler reported more bytes than the buffer holds");
  *returned = NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW ? irp.IoStatus.Information : 0;
  return status;
}

}  // namespace

NTSTATUS KsClassDriver::Property(PKSFILTER filter, const KSAUTOMATION_TABLE* table, const GUID& set, ULONG id,
                                 ULONG flags, void* data, ULONG dataLength, ULONG_PTR* returned, const void* extra,
                                 ULONG extraLength) {
  *returned = 0;
  FilterObject* f = FilterOf(filter);
  if (f == nullptr) {
    Fault("property request to a filter that is not open");
    return STATUS_INVALID_HANDLE;
  }
  return SendProperty(filter, f->device, table, set, id, flags, data, dataLength, returned, extra, extraLength);
}

NTSTATUS KsClassDriver::PinProperty(PKSPIN pin, const GUID& set, ULONG id, ULONG flags, void* data, ULONG dataLength,
                                    ULONG_PTR* returned) {
  *returned = 0;
  PinObject* p = PinOf(pin);
  if (p == nullptr) {
    Fault("property request to a pin that is not open");
    return STATUS_INVALID_HANDLE;
  }
  return SendProperty(pin, p->filter->device, pin->Descriptor->AutomationTable, set, id, flags, data, dataLength,
                      returned, nullptr, 0);
}

void KsClassDriver::AssignClock(PKSPIN pin) {
  PinObject* p = PinOf(pin);
  if (p == nullptr) {
    Fault("a clock assigned to a pin that is not open");
    return;
  }
  if (p->clock == nullptr) p->clock = std::make_unique<SimClock>(impl_->kernel, pin);
}

ULONG KsClassDriver::ClockReferences(PKSPIN pin) const {
  PinObject* p = PinOf(pin);
  return p != nullptr && p->clock != nullptr ? p->clock->References() : 0;
}

NTSTATUS KsClassDriver::CreatePin(PKSFILTER filter, ULONG pinId, const KSDATAFORMAT* format, ULONG formatSize,
                                  PKSPIN* pin) {
  *pin = nullptr;
  RequireIrql(PASSIVE_LEVEL, "pin creation");
  FilterObject* f = FilterOf(filter);
  if (f == nullptr) {
    Fault("pin created on a filter that is not open");
    return STATUS_INVALID_HANDLE;
  }
  const KSFILTER_DESCRIPTOR* fd = filter->Descriptor;
  if (fd == nullptr || pinId >= fd->PinDescriptorsCount) return STATUS_INVALID_PARAMETER;
  ULONG stride = fd->PinDescriptorSize ? fd->PinDescriptorSize : sizeof(KSPIN_DESCRIPTOR_EX);
  auto* descriptor = reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
      reinterpret_cast<const uint8_t*>(fd->PinDescriptors) + pinId * stride);
  if (format == nullptr || formatSize < sizeof(KSDATAFORMAT) || format->FormatSize != formatSize)
    return STATUS_INVALID_PARAMETER;
  const KSDATARANGE* range = nullptr;
  for (ULONG i = 0; i < descriptor->PinDescriptor.DataRangesCount && range == nullptr; ++i)
    if (MatchesGuids(*descriptor->PinDescriptor.DataRanges[i], *format))
      range = descriptor->PinDescriptor.DataRanges[i];
  if (range == nullptr) return STATUS_NO_MATCH;
  ULONG instances = 0;
  for (const auto& p : impl_->pins)
    if (p->filter == f && p->ks.Id == pinId) ++instances;
  if (instances >= descriptor->InstancesPossible) return STATUS_INSUFFICIENT_RESOURCES;

  auto p = std::make_unique<PinObject>();
  p->filter = f;
  p->ks.Descriptor = descriptor;
  p->ks.Bag = &p->bag;
  p->ks.Id = pinId;
  p->ks.Communication = descriptor->PinDescriptor.Communication;
  p->ks.DataFlow = descriptor->PinDescriptor.DataFlow;
  p->ks.StreamHeaderSize = sizeof(KSSTREAM_HEADER);
  p->ks.DeviceState = p->ks.ClientState = KSSTATE_STOP;
  if (descriptor->PinDescriptor.MediumsCount > 0) p->ks.ConnectionMedium = descriptor->PinDescriptor.Mediums[0];
  p->format.assign((formatSize + 7) / 8, 0);
  std::memcpy(p->format.data(), format, formatSize);
  p->ks.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(p->format.data());
  PinObject* raw = p.get();
  impl_->pins.push_back(std::move(p));
  f->pins += 1;
  NTSTATUS status = STATUS_SUCCESS;
  const KSPIN_DISPATCH* dispatch = descriptor->Dispatch;
  IRP irp{};
  irp.KsObject = &raw->ks;
  if (dispatch != nullptr && dispatch->SetDataFormat != nullptr) {
    status = dispatch->SetDataFormat(&raw->ks, nullptr, nullptr, range, nullptr);
    CheckMutexReleased(f->device, "pin SetDataFormat");
  }
  if (NT_SUCCESS(status) && dispatch != nullptr && dispatch->Create != nullptr) {
    status = dispatch->Create(&raw->ks, &irp);
    CheckMutexReleased(f->device, "pin Create");
  }
  if (!NT_SUCCESS(status)) {
    FreeBag(raw->bag);
    f->pins -= 1;
    impl_->pins.pop_back();
    return status;
  }
  *pin = &raw->ks;
  return STATUS_SUCCESS;
}

NTSTATUS KsClassDriver::ChangeFormat(PKSPIN pin, const KSDATAFORMAT* format, ULONG formatSize) {
  RequireIrql(PASSIVE_LEVEL, "format change");
  PinObject* p = PinOf(pin);
  if (p == nullptr) {
    Fault("format change of a pin that is not open");
    return STATUS_INVALID_HANDLE;
  }
  if (format == nullptr || formatSize < sizeof(KSDATAFORMAT) || format->FormatSize != formatSize)
    return STATUS_INVALID_PARAMETER;
  const KSPIN_DESCRIPTOR& descriptor = pin->Descriptor->PinDescriptor;
  const KSDATARANGE* range = nullptr;
  for (ULONG i = 0; i < descriptor.DataRangesCount && range == nullptr; ++i)
    if (MatchesGuids(*descriptor.DataRanges[i], *format)) range = descriptor.DataRanges[i];
  if (range == nullptr) return STATUS_NO_MATCH;
  std::vector<uint64_t> old = std::move(p->format);
  p->format.assign((formatSize + 7) / 8, 0);
  std::memcpy(p->format.data(), format, formatSize);
  pin->ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(p->format.data());
  NTSTATUS status = STATUS_SUCCESS;
  const KSPIN_DISPATCH* dispatch = pin->Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->SetDataFormat != nullptr) {
    status = dispatch->SetDataFormat(pin, reinterpret_cast<PKSDATAFORMAT>(old.data()), nullptr, range, nullptr);
    CheckMutexReleased(p->filter->device, "pin SetDataFormat");
  }
  if (!NT_SUCCESS(status)) {
    p->format = std::move(old);
    pin->ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(p->format.data());
  }
  return status;
}

NTSTATUS KsClassDriver::SetPinState(PKSPIN pin, KSSTATE state) {
  RequireIrql(PASSIVE_LEVEL, "pin state change");
  PinObject* p = PinOf(pin);
  if (p == nullptr) {
    Fault("state change of a pin that is not open");
    return STATUS_INVALID_HANDLE;
  }
  const KSPIN_DISPATCH* dispatch = pin->Descriptor->Dispatch;
  while (pin->DeviceState != state) {
    KSSTATE from = pin->DeviceState;
    KSSTATE to = static_cast<KSSTATE>(from < state ? from + 1 : from - 1);
    if (dispatch != nullptr && dispatch->SetDeviceState != nullptr) {
      NTSTATUS status = dispatch->SetDeviceState(pin, to, from);
      CheckMutexReleased(p->filter->device, "pin SetDeviceState");
      if (!NT_SUCCESS(status)) return status;
    }
    pin->DeviceState = pin->ClientState = to;
  }
  if (!p->frames.empty() && CanProcess(p)) {
    DriverTimeScope metered;
    dispatch->Process(pin);
    CheckMutexReleased(p->filter->device, "pin Process");
  }
  return STATUS_SUCCESS;
}

namespace {

// A frame of `bytes` as the application's allocator hands it down: each page lies apart on the bus; a pin
// that generates mappings gets one mapping per page.
Frame* AddFrame(PinObject* p, ULONG bytes) {
  PKSPIN pin = &p->ks;
  auto frame = std::make_unique<Frame>();
  frame->storage.assign(bytes + 4096, 0xEE);
  auto address = reinterpret_cast<uintptr_t>(frame->storage.data());
  frame->data = frame->storage.data() + ((4096 - address % 4096) % 4096);
  frame->bytes = bytes;
  for (ULONG off = 0; off < bytes; off += 4096) {
    ULONG piece = std::min<ULONG>(4096, bytes - off);
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = static_cast<LONGLONG>(C().kernel->RegisterDmaBuffer(frame->data + off, piece));
    frame->mappings.push_back(KSMAPPING{pa, piece, 0});
  }
  const ULONG headerSize = std::max<ULONG>(pin->StreamHeaderSize, sizeof(KSSTREAM_HEADER));
  frame->headerStorage.assign((headerSize + 7) / 8, 0);
  frame->header = reinterpret_cast<KSSTREAM_HEADER*>(frame->headerStorage.data());
  frame->header->Size = headerSize;
  frame->header->FrameExtent = bytes;
  frame->header->Data = frame->data;
  p->frames.push_back(std::move(frame));
  return p->frames.back().get();
}

}  // namespace

void KsClassDriver::QueueFrames(PKSPIN pin, ULONG count, ULONG bytes) {
  PinObject* p = PinOf(pin);
  if (p == nullptr || bytes == 0) {
    Fault("frames queued to a pin that is not open, or frames of no bytes");
    return;
  }
  const bool mapped = (pin->Descriptor->Flags & KSPIN_FLAG_GENERATE_MAPPINGS) != 0;
  if (mapped && p->filter->device->adapter == nullptr)
    Fault("a pin generates mappings but its device registered no DMA adapter");
  for (ULONG n = 0; n < count; ++n) AddFrame(p, bytes);
  if (CanProcess(p)) {
    DriverTimeScope metered;
    pin->Descriptor->Dispatch->Process(pin);
    CheckMutexReleased(p->filter->device, "pin Process");
  }
}

void KsClassDriver::QueueData(PKSPIN pin, const void* data, ULONG bytes) {
  PinObject* p = PinOf(pin);
  if (p == nullptr || bytes == 0) {
    Fault("data queued to a pin that is not open, or no bytes");
    return;
  }
  Frame* frame = AddFrame(p, bytes);
  std::memcpy(frame->data, data, bytes);
  frame->header->DataUsed = bytes;
  if (CanProcess(p)) {
    DriverTimeScope metered;
    pin->Descriptor->Dispatch->Process(pin);
    CheckMutexReleased(p->filter->device, "pin Process");
  }
}

const std::vector<KsClassDriver::CompletedFrame>& KsClassDriver::CompletedFrames(PKSPIN pin) const {
  static const std::vector<CompletedFrame> none;
  PinObject* p = PinOf(pin);
  return p ? p->completed : none;
}

size_t KsClassDriver::PendingFrames(PKSPIN pin) const {
  PinObject* p = PinOf(pin);
  return p ? p->frames.size() : 0;
}

void KsClassDriver::ClosePin(PKSPIN pin) {
  PinObject* p = PinOf(pin);
  if (p == nullptr) {
    Fault("ClosePin of a pin that is not open");
    return;
  }
  SetPinState(pin, KSSTATE_STOP);
  const KSPIN_DISPATCH* dispatch = pin->Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Close != nullptr) {
    IRP irp{};
    irp.KsObject = pin;
    dispatch->Close(pin, &irp);
    CheckMutexReleased(p->filter->device, "pin Close");
  }
  if (!p->clones.empty())
    Fault(std::to_string(p->clones.size()) + " clone stream pointer(s) left when the pin closed");
  if (p->clock != nullptr && p->clock->References() != 0)
    Fault("a pin closed while its reference clock is still referenced (no Release)");
  p->clones.clear();
  CompleteFrames(p, true);
  FreeBag(p->bag);
  p->filter->pins -= 1;
  auto& pins = impl_->pins;
  pins.erase(std::find_if(pins.begin(), pins.end(), [&](const auto& q) { return q.get() == p; }));
}

NTSTATUS KsClassDriver::IntersectFormat(PKSFILTER filter, ULONG pinId, const KSDATARANGE* range, void* data,
                                        ULONG dataLength, ULONG* returned) {
  *returned = 0;
  FilterObject* f = FilterOf(filter);
  if (f == nullptr || filter->Descriptor == nullptr || pinId >= filter->Descriptor->PinDescriptorsCount)
    return STATUS_INVALID_PARAMETER;
  const KSFILTER_DESCRIPTOR* fd = filter->Descriptor;
  ULONG stride = fd->PinDescriptorSize ? fd->PinDescriptorSize : sizeof(KSPIN_DESCRIPTOR_EX);
  auto* descriptor = reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
      reinterpret_cast<const uint8_t*>(fd->PinDescriptors) + pinId * stride);
  if (descriptor->IntersectHandler == nullptr) return STATUS_NOT_FOUND;
  KSP_PIN request{};
  request.PinId = pinId;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  IRP irp{};
  irp.KsObject = filter;
  irp.UserBuffer = data;
  for (ULONG i = 0; i < descriptor->PinDescriptor.DataRangesCount; ++i) {
    PKSDATARANGE own = descriptor->PinDescriptor.DataRanges[i];
    if (!MatchesGuids(*own, *range)) continue;
    ULONG size = 0;
    NTSTATUS status = descriptor->IntersectHandler(filter, &irp, &request, const_cast<PKSDATARANGE>(range), own,
                                                   dataLength, data, &size);
    CheckMutexReleased(f->device, "an intersect handler");
    if (status == STATUS_NO_MATCH) continue;
    if (size > dataLength && status != STATUS_BUFFER_OVERFLOW)
      Fault("an intersect handler reported more bytes than the buffer holds");
    *returned = size;
    return status;
  }
  return STATUS_NO_MATCH;
}

const std::vector<PinlessFilter>& KsClassDriver::PinlessFilters() const { return impl_->pinless; }

std::vector<PKSFILTERFACTORY> KsClassDriver::Factories(PKSDEVICE device) const {
  std::vector<PKSFILTERFACTORY> out;
  if (DeviceObject* d = DeviceOf(device))
    for (const auto& f : d->factories) out.push_back(&f->ks);
  return out;
}

bool KsClassDriver::CacheUpdated(PKSFILTERFACTORY factory) const {
  for (const auto& d : impl_->devices)
    for (const auto& f : d->factories)
      if (&f->ks == factory) return f->cacheUpdated;
  return false;
}

const std::vector<BusDataWrite>& KsClassDriver::BusData(PKSDEVICE device) const {
  static const std::vector<BusDataWrite> none;
  DeviceObject* d = DeviceOf(device);
  return d ? d->busData : none;
}

PADAPTER_OBJECT KsClassDriver::RegisteredAdapter(PKSDEVICE device) const {
  DeviceObject* d = DeviceOf(device);
  return d ? d->adapter : nullptr;
}

uint64_t KsClassDriver::DeviceAcquisitions() const { return impl_->acquisitions; }

}  // namespace ksim

using namespace ksim;

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                            const KSDEVICE_DESCRIPTOR* Descriptor) {
  RequireIrql(PASSIVE_LEVEL, "KsInitializeDriver");
  KsClassDriver::Impl& c = C();
  if (!c.loading || DriverObject != &c.driverObject || RegistryPath == nullptr) {
    Fault("KsInitializeDriver called outside DriverEntry or with another driver object");
    return STATUS_INVALID_PARAMETER;
  }
  if (Descriptor != nullptr &&
      (Descriptor->Version < KSDEVICE_DESCRIPTOR_VERSION || Descriptor->Dispatch == nullptr)) {
    Fault("KsInitializeDriver with a device descriptor of an unknown version or without a dispatch table");
    return STATUS_INVALID_PARAMETER;
  }
  c.descriptor = Descriptor;
  return STATUS_SUCCESS;
}

VOID KsAcquireDevice(PKSDEVICE Device) {
  RequireIrql(PASSIVE_LEVEL, "KsAcquireDevice");
  DeviceObject* d = DeviceOf(Device);
  if (d == nullptr) {
    Fault("KsAcquireDevice of an object that is not a device");
    return;
  }
  if (d->mutex.OwnerThread == KeGetCurrentThread()) Fault("KsAcquireDevice by the thread that already holds it");
  KeWaitForSingleObject(&d->mutex, Executive, KernelMode, FALSE, nullptr);
  C().acquisitions += 1;
}

VOID KsReleaseDevice(PKSDEVICE Device) {
  DeviceObject* d = DeviceOf(Device);
  if (d == nullptr) {
    Fault("KsReleaseDevice of an object that is not a device");
    return;
  }
  if (d->mutex.OwnerThread != KeGetCurrentThread()) {
    Fault("KsReleaseDevice by a thread that did not acquire the device");
    return;
  }
  KeReleaseMutex(&d->mutex, FALSE);
}

PKSDEVICE KsGetDevice(PVOID Object) {
  for (const auto& d : C().devices)
    if (&d->ks == Object) return &d->ks;
  if (PinObject* p = PinOf(Object)) return &p->filter->device->ks;
  FilterObject* f = FilterOf(Object);
  return f ? &f->device->ks : nullptr;
}

PKSFILTER KsGetFilterFromIrp(PIRP Irp) {
  if (Irp == nullptr) return nullptr;
  if (PinObject* p = PinOf(Irp->KsObject)) return &p->filter->ks;
  FilterObject* f = FilterOf(Irp->KsObject);
  return f ? &f->ks : nullptr;
}

VOID KsDeviceRegisterAdapterObject(PKSDEVICE Device, PADAPTER_OBJECT AdapterObject, ULONG MaxMappingsByteCount,
                                   ULONG MappingTableStride) {
  DeviceObject* d = DeviceOf(Device);
  if (d == nullptr) {
    Fault("KsDeviceRegisterAdapterObject for an object that is not a device");
    return;
  }
  auto* adapter = reinterpret_cast<PDMA_ADAPTER>(AdapterObject);
  if (adapter == nullptr || !S().adapters.count(adapter))
    Fault("KsDeviceRegisterAdapterObject with an adapter the kernel did not hand out");
  if (MaxMappingsByteCount == 0 || MappingTableStride < 12 || MappingTableStride % 4 != 0)
    Fault("KsDeviceRegisterAdapterObject with a zero mapping size or a mapping-table stride below 12 bytes");
  d->adapter = AdapterObject;
}

ULONG KsDeviceSetBusData(PKSDEVICE Device, ULONG DataType, PVOID Buffer, ULONG Offset, ULONG Length) {
  RequireIrql(PASSIVE_LEVEL, "KsDeviceSetBusData");
  DeviceObject* d = DeviceOf(Device);
  if (d == nullptr) {
    Fault("KsDeviceSetBusData for an object that is not a device");
    return 0;
  }
  if (DataType == PCI_WHICHSPACE_CONFIG && (Offset < 0x40 || Offset + Length > 0x100)) {
    Fault("KsDeviceSetBusData outside the device-specific part of configuration space");
    return 0;
  }
  auto* bytes = static_cast<uint8_t*>(Buffer);
  d->busData.push_back(BusDataWrite{DataType, Offset, std::vector<uint8_t>(bytes, bytes + Length)});
  return Length;
}

NTSTATUS KsRegisterFilterWithNoKSPins(PDEVICE_OBJECT DeviceObject, const GUID* InterfaceClassGUID, ULONG PinCount,
                                      BOOL* PinDirection, KSPIN_MEDIUM* MediumList, GUID* KSITE_DEF) {
  RequireIrql(PASSIVE_LEVEL, "KsRegisterFilterWithNoKSPins");
  if (!IsPhysicalDevice(DeviceObject)) {
    Fault("KsRegisterFilterWithNoKSPins for an object that is not a physical device object");
    return STATUS_INVALID_PARAMETER;
  }
  if (InterfaceClassGUID == nullptr || PinCount == 0 || PinDirection == nullptr || MediumList == nullptr)
    return STATUS_INVALID_PARAMETER;
  if (InjectFailure("filter registration", site)) return STATUS_INSUFFICIENT_RESOURCES;
  PinlessFilter filter{DeviceObject, *InterfaceClassGUID, {}, {}};
  for (ULONG i = 0; i < PinCount; ++i) {
    filter.outputs.push_back(PinDirection[i] != 0);
    filter.mediums.push_back(MediumList[i]);
  }
  C().pinless.push_back(std::move(filter));
  return STATUS_SUCCESS;
}

NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject, const KSFILTER_DESCRIPTOR* Descriptor, PWSTR, PVOID,
                               ULONG CreateItemFlags, PFNKSFILTERFACTORYPOWER, PFNKSFILTERFACTORYPOWER,
                               PKSFILTERFACTORY* FilterFactory KSITE_DEF) {
  RequireIrql(PASSIVE_LEVEL, "KsCreateFilterFactory");
  ksim::DeviceObject* owner = nullptr;
  for (const auto& d : C().devices)
    if (&d->fdo == DeviceObject) owner = d.get();
  if (owner == nullptr) {
    Fault("KsCreateFilterFactory for an object that is not a functional device object of the class driver");
    return STATUS_INVALID_PARAMETER;
  }
  if (Descriptor == nullptr || Descriptor->Version != KSFILTER_DESCRIPTOR_VERSION) {
    Fault("KsCreateFilterFactory with a filter descriptor of an unknown version");
    return STATUS_INVALID_PARAMETER;
  }
  if (InjectFailure("filter factory", site)) return STATUS_INSUFFICIENT_RESOURCES;
  auto f = std::make_unique<FactoryObject>();
  f->ks.FilterDescriptor = Descriptor;
  f->flags = CreateItemFlags;
  if (FilterFactory != nullptr) *FilterFactory = &f->ks;
  owner->factories.push_back(std::move(f));
  return STATUS_SUCCESS;
}

NTSTATUS KsFilterFactoryUpdateCacheData(PKSFILTERFACTORY FilterFactory, const KSFILTER_DESCRIPTOR*) {
  RequireIrql(PASSIVE_LEVEL, "KsFilterFactoryUpdateCacheData");
  for (const auto& d : C().devices)
    for (const auto& f : d->factories)
      if (&f->ks == FilterFactory) {
        f->cacheUpdated = true;
        return STATUS_SUCCESS;
      }
  Fault("KsFilterFactoryUpdateCacheData of a factory the class driver does not know");
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize, ULONG OldSize,
                 ULONG Tag KSITE_DEF) {
  RequireIrql(PASSIVE_LEVEL, "_KsEdit");
  Bag* bag = BagOf(ObjectBag);
  if (bag == nullptr || PointerToPointerToItem == nullptr || NewSize < OldSize) {
    Fault("_KsEdit with an object bag the class driver does not know, or a smaller new size");
    return STATUS_INVALID_PARAMETER;
  }
  for (auto& item : bag->items)
    if (item.first == *PointerToPointerToItem && item.second >= NewSize) return STATUS_SUCCESS;
  PVOID copy = ExAllocatePoolWithTag(NonPagedPool, NewSize, Tag KSITE_FORWARD);
  if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(copy, 0, NewSize);
  if (*PointerToPointerToItem != nullptr) std::memcpy(copy, *PointerToPointerToItem, OldSize);
  bag->items.emplace_back(copy, NewSize);
  *PointerToPointerToItem = copy;
  return STATUS_SUCCESS;
}

PKSFILTER KsPinGetParentFilter(PKSPIN Pin) {
  PinObject* p = PinOf(Pin);
  if (p == nullptr) {
    Fault("KsPinGetParentFilter of an object that is not a pin");
    return nullptr;
  }
  return &p->filter->ks;
}

PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE) {
  RequireIrql(DISPATCH_LEVEL, "KsPinGetLeadingEdgeStreamPointer");
  PinObject* p = PinOf(Pin);
  if (p == nullptr) {
    Fault("KsPinGetLeadingEdgeStreamPointer of an object that is not a pin");
    return nullptr;
  }
  Frame* next = nullptr;
  for (const auto& f : p->frames)
    if (!f->passed) {
      next = f.get();
      break;
    }
  PointAt(p, &p->leading, next);
  return next ? &p->leading.ks : nullptr;
}

NTSTATUS KsStreamPointerClone(PKSSTREAM_POINTER StreamPointer, PFNKSSTREAMPOINTER, ULONG ContextSize,
                              PKSSTREAM_POINTER* CloneStreamPointer) {
  RequireIrql(DISPATCH_LEVEL, "KsStreamPointerClone");
  PinObject* pin = nullptr;
  StreamPointerObject* source = StreamPointerOf(StreamPointer, &pin);
  if (source == nullptr || source->frame == nullptr) {
    Fault("KsStreamPointerClone of a stream pointer that is not locked on a frame");
    return STATUS_INVALID_PARAMETER;
  }
  auto clone = std::make_unique<StreamPointerObject>();
  PointAt(pin, clone.get(), source->frame);
  clone->ks.OffsetIn = source->ks.OffsetIn;
  clone->ks.OffsetOut = source->ks.OffsetOut;
  clone->context.assign((ContextSize + 7) / 8, 0);
  clone->ks.Context = ContextSize ? clone->context.data() : nullptr;
  source->frame->clones += 1;
  *CloneStreamPointer = &clone->ks;
  pin->clones.push_back(std::move(clone));
  return STATUS_SUCCESS;
}

NTSTATUS KsStreamPointerAdvance(PKSSTREAM_POINTER StreamPointer) {
  RequireIrql(DISPATCH_LEVEL, "KsStreamPointerAdvance");
  PinObject* pin = nullptr;
  StreamPointerObject* pointer = StreamPointerOf(StreamPointer, &pin);
  if (pointer != &pin->leading || pointer->frame == nullptr) {
    Fault("KsStreamPointerAdvance of a pointer that is not the pin's locked leading edge");
    return STATUS_INVALID_PARAMETER;
  }
  pointer->frame->passed = true;
  CompleteFrames(pin, false);
  return KsPinGetLeadingEdgeStreamPointer(&pin->ks, KSSTREAM_POINTER_STATE_LOCKED) ? STATUS_SUCCESS
                                                                                   : STATUS_DEVICE_NOT_READY;
}

VOID KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject) {
  RequireIrql(DISPATCH_LEVEL, "KsStreamPointerUnlock");
  PinObject* pin = nullptr;
  StreamPointerObject* pointer = StreamPointerOf(StreamPointer, &pin);
  if (pointer == nullptr) {
    Fault("KsStreamPointerUnlock of an unknown stream pointer");
    return;
  }
  if (Eject && pointer == &pin->leading && pointer->frame != nullptr) {
    pointer->frame->passed = true;
    pointer->frame = nullptr;
    CompleteFrames(pin, false);
  }
}

VOID KsStreamPointerDelete(PKSSTREAM_POINTER StreamPointer) {
  RequireIrql(DISPATCH_LEVEL, "KsStreamPointerDelete");
  PinObject* pin = nullptr;
  StreamPointerObject* pointer = StreamPointerOf(StreamPointer, &pin);
  if (pointer == nullptr || pointer == &pin->leading) {
    Fault("KsStreamPointerDelete of a stream pointer that is not a clone");
    return;
  }
  pointer->frame->clones -= 1;
  auto& clones = pin->clones;
  clones.erase(std::find_if(clones.begin(), clones.end(), [&](const auto& c) { return c.get() == pointer; }));
  CompleteFrames(pin, false);
}

PKSSTREAM_POINTER KsPinGetFirstCloneStreamPointer(PKSPIN Pin) {
  RequireIrql(DISPATCH_LEVEL, "KsPinGetFirstCloneStreamPointer");
  PinObject* p = PinOf(Pin);
  if (p == nullptr) {
    Fault("KsPinGetFirstCloneStreamPointer of an object that is not a pin");
    return nullptr;
  }
  return p->clones.empty() ? nullptr : &p->clones.front()->ks;
}

PKSSTREAM_POINTER KsStreamPointerGetNextClone(PKSSTREAM_POINTER StreamPointer) {
  PinObject* pin = nullptr;
  StreamPointerObject* pointer = StreamPointerOf(StreamPointer, &pin);
  if (pointer == nullptr || pointer == &pin->leading) {
    Fault("KsStreamPointerGetNextClone of a stream pointer that is not a clone");
    return nullptr;
  }
  auto& clones = pin->clones;
  auto it = std::find_if(clones.begin(), clones.end(), [&](const auto& c) { return c.get() == pointer; });
  ++it;
  return it == clones.end() ? nullptr : &(*it)->ks;
}

PKSPIN KsGetPinFromIrp(PIRP Irp) {
  if (Irp == nullptr) return nullptr;
  PinObject* p = PinOf(Irp->KsObject);
  return p ? &p->ks : nullptr;
}

namespace {

FactoryObject* FactoryOf(const void* object, DeviceObject** device) {
  for (const auto& d : C().devices)
    for (const auto& f : d->factories)
      if (&f->ks == object) {
        *device = d.get();
        return f.get();
      }
  return nullptr;
}

// The class driver's rule for walking the object hierarchy: the caller holds the device mutex.
void CheckHierarchyWalk(DeviceObject* device, const char* service) {
  if (device->mutex.OwnerThread != KeGetCurrentThread())
    Fault(std::string(service) + " without the device mutex (KsAcquireDevice)");
}

}  // namespace

PVOID KsGetFirstChild(PVOID Object) {
  RequireIrql(PASSIVE_LEVEL, "KsGetFirstChild");
  DeviceObject* device = nullptr;
  FactoryObject* factory = FactoryOf(Object, &device);
  if (factory == nullptr) {
    Fault("KsGetFirstChild of an object that is not a filter factory");
    return nullptr;
  }
  CheckHierarchyWalk(device, "KsGetFirstChild");
  for (const auto& f : C().filters)
    if (f->factory == factory) return &f->ks;
  return nullptr;
}

PVOID KsGetNextSibling(PVOID Object) {
  RequireIrql(PASSIVE_LEVEL, "KsGetNextSibling");
  FilterObject* filter = FilterOf(Object);
  if (filter == nullptr || filter->factory == nullptr) {
    Fault("KsGetNextSibling of an object that is not a factory's filter");
    return nullptr;
  }
  CheckHierarchyWalk(filter->device, "KsGetNextSibling");
  auto& filters = C().filters;
  auto it = std::find_if(filters.begin(), filters.end(), [&](const auto& f) { return f.get() == filter; });
  for (++it; it != filters.end(); ++it)
    if ((*it)->factory == filter->factory) return &(*it)->ks;
  return nullptr;
}

VOID KsFilterAcquireControl(PKSFILTER Filter) {
  RequireIrql(PASSIVE_LEVEL, "KsFilterAcquireControl");
  FilterObject* f = FilterOf(Filter);
  if (f == nullptr) {
    Fault("KsFilterAcquireControl of an object that is not a filter");
    return;
  }
  KeWaitForSingleObject(&f->control, Executive, KernelMode, FALSE, nullptr);
}

VOID KsFilterReleaseControl(PKSFILTER Filter) {
  FilterObject* f = FilterOf(Filter);
  if (f == nullptr || f->control.OwnerThread != KeGetCurrentThread()) {
    Fault("KsFilterReleaseControl of a filter whose control mutex the thread does not hold");
    return;
  }
  KeReleaseMutex(&f->control, FALSE);
}

PKSPIN KsFilterGetFirstChildPin(PKSFILTER Filter, ULONG PinId) {
  FilterObject* f = FilterOf(Filter);
  if (f == nullptr) {
    Fault("KsFilterGetFirstChildPin of an object that is not a filter");
    return nullptr;
  }
  if (f->control.OwnerThread != KeGetCurrentThread())
    Fault("KsFilterGetFirstChildPin without the filter's control mutex (KsFilterAcquireControl)");
  for (const auto& p : C().pins)
    if (p->filter == f && p->ks.Id == PinId) return &p->ks;
  return nullptr;
}

NTSTATUS KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface) {
  RequireIrql(PASSIVE_LEVEL, "KsPinGetReferenceClockInterface");
  PinObject* p = PinOf(Pin);
  if (p == nullptr || Interface == nullptr) {
    Fault("KsPinGetReferenceClockInterface of an object that is not a pin");
    return STATUS_INVALID_PARAMETER;
  }
  *Interface = nullptr;
  if (p->clock == nullptr) return STATUS_DEVICE_NOT_READY;
  p->clock->AddRef();
  *Interface = p->clock.get();
  return STATUS_SUCCESS;
}
