// The stand-in class driver: the minidriver's descriptor, device and filter objects, the device mutex,
// bus data and adapter registration, pin-less filter registration, the plug-and-play and power requests
// sent through the device dispatch table, and property dispatch through automation tables.
#include "driver/kernel/sim/ks_class.h"

#include <algorithm>
#include <cstring>

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

struct FilterObject {
  KSFILTER ks{};
  DeviceObject* device = nullptr;
};

struct KsClassDriver::Impl {
  const KSDEVICE_DESCRIPTOR* descriptor = nullptr;
  bool loading = false;
  DRIVER_OBJECT driverObject{};
  std::vector<std::unique_ptr<DeviceObject>> devices;
  std::vector<std::unique_ptr<FilterObject>> filters;
  std::vector<PinlessFilter> pinless;
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

KsClassDriver::KsClassDriver(Kernel&) : impl_(std::make_unique<Impl>()) {
  if (g_class != nullptr) Fault("a second kernel-streaming class driver was created");
  g_class = impl_.get();
  impl_->driverObject.Type = 4;  // IO_TYPE_DRIVER
  impl_->driverObject.Size = sizeof(DRIVER_OBJECT);
}

KsClassDriver::~KsClassDriver() {
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
  // Create items marked free-on-stop go with the stop.
  auto& factories = d->factories;
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
  f->device = d;
  PKSFILTER filter = &f->ks;
  impl_->filters.push_back(std::move(f));
  return filter;
}

void KsClassDriver::CloseFilter(PKSFILTER filter) {
  auto& filters = impl_->filters;
  auto it = std::find_if(filters.begin(), filters.end(), [&](const auto& p) { return &p->ks == filter; });
  if (it == filters.end()) {
    Fault("CloseFilter of a filter that is not open");
    return;
  }
  filters.erase(it);
}

NTSTATUS KsClassDriver::Property(PKSFILTER filter, const KSAUTOMATION_TABLE* table, const GUID& set, ULONG id,
                                 ULONG flags, void* data, ULONG dataLength, ULONG_PTR* returned, const void* extra,
                                 ULONG extraLength) {
  *returned = 0;
  FilterObject* f = FilterOf(filter);
  if (f == nullptr) {
    Fault("property request to a filter that is not open");
    return STATUS_INVALID_HANDLE;
  }
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
  irp.KsObject = filter;
  NTSTATUS status = handler(&irp, property, data);
  CheckMutexReleased(f->device, "a property handler");
  if (irp.IoStatus.Information > dataLength) Fault("a property handler reported more bytes than the buffer holds");
  *returned = NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW ? irp.IoStatus.Information : 0;
  return status;
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
  FilterObject* f = FilterOf(Object);
  return f ? &f->device->ks : nullptr;
}

PKSFILTER KsGetFilterFromIrp(PIRP Irp) {
  if (Irp == nullptr) return nullptr;
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
