// The driver's entry point and its device dispatch table: the class driver calls these for every card.
#include "driver/device.h"
#include "driver/filters.h"

namespace pelgar {
namespace {

PelgarDevice* ContextOf(PKSDEVICE device) { return static_cast<PelgarDevice*>(device->Context); }

NTSTATUS DeviceAdd(PKSDEVICE device) {
  PelgarDevice* context = nullptr;
  return PelgarDevice::Create(device, &context);
}

NTSTATUS DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST) {
  PelgarDevice* context = ContextOf(device);
  return context != nullptr ? context->Start(translated) : STATUS_INVALID_DEVICE_STATE;
}

VOID DeviceStop(PKSDEVICE device, PIRP) {
  if (PelgarDevice* context = ContextOf(device)) context->TearDown();
}

VOID DeviceRemove(PKSDEVICE device, PIRP) { PelgarDevice::Destroy(ContextOf(device)); }

NTSTATUS DeviceQueryPower(PKSDEVICE device, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE, SYSTEM_POWER_STATE,
                          SYSTEM_POWER_STATE, POWER_ACTION) {
  PelgarDevice* context = ContextOf(device);
  return context != nullptr ? context->QueryPower(to) : STATUS_SUCCESS;
}

VOID DeviceSetPower(PKSDEVICE device, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE) {
  if (PelgarDevice* context = ContextOf(device)) context->SetPower(to);
}

const KSDEVICE_DISPATCH kDeviceDispatch = {
    DeviceAdd,         // Add
    DeviceStart,       // Start
    nullptr,           // PostStart
    nullptr,           // QueryStop
    nullptr,           // CancelStop
    DeviceStop,        // Stop
    nullptr,           // QueryRemove
    nullptr,           // CancelRemove
    DeviceRemove,      // Remove
    nullptr,           // QueryCapabilities
    nullptr,           // SurpriseRemoval
    DeviceQueryPower,  // QueryPower
    DeviceSetPower,    // SetPower
    nullptr,           // QueryInterface
};

const KSFILTER_DESCRIPTOR* const kStaticFilters[] = {&kEncoderFilterDescriptor, &kAudioCaptureFilterDescriptor};

}  // namespace

const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {&kDeviceDispatch, 2, kStaticFilters, KSDEVICE_DESCRIPTOR_VERSION};

}  // namespace pelgar

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  // The driver-wide state starts from zero with each load of the image (the host loads it once per test).
  pelgar::g_instanceCounter = 0;
  pelgar::g_activity = pelgar::EncoderActivity{};
  pelgar::g_is525Lines = FALSE;
  return KsInitializeDriver(DriverObject, RegistryPath, &pelgar::kDeviceDescriptor);
}
