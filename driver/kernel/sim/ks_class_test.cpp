#include "driver/kernel/sim/ks_class.h"

#include <cstring>

#include "driver/kernel/sim/kernel_fixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A small minidriver whose callbacks record what the class driver handed them and misbehave on request.
struct Recorder {
  std::vector<std::string> calls;
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> resources;
  DEVICE_POWER_STATE from = PowerDeviceUnspecified;
  bool keepMutex = false;
  bool releaseUnowned = false;
  bool keepContext = false;
  NTSTATUS startStatus = STATUS_SUCCESS;
};
Recorder* g_rec = nullptr;
int g_context = 0;

NTSTATUS TestAdd(PKSDEVICE device) {
  g_rec->calls.push_back("add");
  device->Context = &g_context;
  return STATUS_SUCCESS;
}
NTSTATUS TestStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST) {
  g_rec->calls.push_back("start");
  const CM_PARTIAL_RESOURCE_LIST& list = translated->List[0].PartialResourceList;
  const CM_PARTIAL_RESOURCE_DESCRIPTOR* descriptors = list.PartialDescriptors;
  for (ULONG i = 0; i < list.Count; ++i) g_rec->resources.push_back(descriptors[i]);
  if (g_rec->keepMutex) KsAcquireDevice(device);
  if (g_rec->releaseUnowned) KsReleaseDevice(device);
  return g_rec->startStatus;
}
VOID TestStop(PKSDEVICE, PIRP) { g_rec->calls.push_back("stop"); }
VOID TestRemove(PKSDEVICE device, PIRP) {
  g_rec->calls.push_back("remove");
  if (!g_rec->keepContext) device->Context = nullptr;
}
NTSTATUS TestQueryPower(PKSDEVICE, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from, SYSTEM_POWER_STATE,
                        SYSTEM_POWER_STATE, POWER_ACTION) {
  g_rec->from = from;
  return to == PowerDeviceD2 ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
}
VOID TestSetPower(PKSDEVICE, PIRP, DEVICE_POWER_STATE, DEVICE_POWER_STATE from) { g_rec->from = from; }

const KSDEVICE_DISPATCH kDispatch = {TestAdd, TestStart,  nullptr, nullptr, nullptr,        TestStop,     nullptr,
                                     nullptr, TestRemove, nullptr, nullptr, TestQueryPower, TestSetPower, nullptr};
const KSDEVICE_DESCRIPTOR kDescriptor = {&kDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION};

NTSTATUS TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  return KsInitializeDriver(driver, path, &kDescriptor);
}
NTSTATUS EntryWithoutDescriptor(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

// Property handlers of a test set: a 4-byte value that get returns and set stores.
constexpr GUID kSet = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kOtherSet = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 9}};
ULONG g_value = 0;
PKSDEVICE g_seenDevice = nullptr;
NTSTATUS GetValue(PIRP irp, PKSIDENTIFIER, PVOID data) {
  g_seenDevice = KsGetDevice(KsGetFilterFromIrp(irp));
  std::memcpy(data, &g_value, 4);
  irp->IoStatus.Information = 4;
  return STATUS_SUCCESS;
}
NTSTATUS SetValue(PIRP, PKSIDENTIFIER, PVOID data) {
  std::memcpy(&g_value, data, 4);
  return STATUS_SUCCESS;
}
const KSPROPERTY_ITEM kItems[] = {
    {1, GetValue, sizeof(KSPROPERTY), 4, SetValue, nullptr, 0, nullptr, nullptr, 4},
    {2, GetValue, sizeof(KSPROPERTY), 4, nullptr, nullptr, 0, nullptr, nullptr, 4},
};
const KSPROPERTY_SET kSets[] = {{&kSet, 2, kItems, 0, nullptr}};
const KSAUTOMATION_TABLE kTable = {1, sizeof(KSPROPERTY_ITEM), kSets, 0, 0, nullptr, 0, 0, nullptr, nullptr};

class KsClassTest : public KernelFixture {
 protected:
  void SetUp() override {
    g_rec = &rec;
    pdo = kernel.AddPhysicalDevice("card");
    ASSERT_EQ(ks.Load(TestEntry), STATUS_SUCCESS);
  }
  void TearDown() override {
    g_rec = nullptr;
    KernelFixture::TearDown();
  }
  PKSDEVICE AddDevice() {
    PKSDEVICE device = nullptr;
    EXPECT_EQ(ks.Add(pdo, &device), STATUS_SUCCESS);
    return device;
  }

  Recorder rec;
  PDEVICE_OBJECT pdo = nullptr;
  ksim::KsClassDriver ks{kernel};
};

TEST_F(KsClassTest, DrivesTheDispatchTableInPlugAndPlayOrder) {
  PKSDEVICE device = AddDevice();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->PhysicalDeviceObject, pdo);
  EXPECT_EQ(device->Context, &g_context);
  ksim::CardResources card{0xE0000000, 0x4000000, 17, 9, true, false, 1};
  EXPECT_EQ(ks.Start(device, card), STATUS_SUCCESS);
  EXPECT_TRUE(device->Started);
  ks.Stop(device);
  EXPECT_FALSE(device->Started);
  ks.Remove(device);
  EXPECT_THAT(rec.calls, ElementsAre("add", "start", "stop", "remove"));
  ASSERT_EQ(rec.resources.size(), 2u);
  EXPECT_EQ(rec.resources[0].Type, CmResourceTypeMemory);
  LONGLONG start = rec.resources[0].u.Memory.Start.QuadPart;  // a copy: the list packs it at 4 bytes
  EXPECT_EQ(start, 0xE0000000);
  EXPECT_EQ(rec.resources[0].u.Memory.Length, 0x4000000u);
  EXPECT_EQ(rec.resources[1].Type, CmResourceTypeInterrupt);
  EXPECT_EQ(rec.resources[1].u.Interrupt.Vector, 17u);
  EXPECT_EQ(rec.resources[1].u.Interrupt.Level, 9u);
  EXPECT_EQ(rec.resources[1].Flags, CM_RESOURCE_INTERRUPT_LATCHED);
  EXPECT_EQ(rec.resources[1].ShareDisposition, CmResourceShareDeviceExclusive);
}

TEST_F(KsClassTest, FailedStartLeavesTheDeviceStopped) {
  rec.startStatus = STATUS_INSUFFICIENT_RESOURCES;
  PKSDEVICE device = AddDevice();
  EXPECT_EQ(ks.Start(device, ksim::CardResources{}), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(device->Started);
  ks.Remove(device);
}

TEST_F(KsClassTest, DeviceMutexHeldAfterACallbackIsAFault) {
  rec.keepMutex = true;
  PKSDEVICE device = AddDevice();
  ks.Start(device, ksim::CardResources{});
  ExpectOneFault("Start returned with the device mutex held");
  KsReleaseDevice(device);  // the test gives it back for the class driver
  ks.Remove(device);
}

TEST_F(KsClassTest, ReleasingTheDeviceUnownedIsAFault) {
  rec.releaseUnowned = true;
  PKSDEVICE device = AddDevice();
  ks.Start(device, ksim::CardResources{});
  ExpectOneFault("KsReleaseDevice by a thread that did not acquire the device");
  ks.Remove(device);
}

TEST_F(KsClassTest, DeviceMutexPairsAndCounts) {
  PKSDEVICE device = AddDevice();
  KsAcquireDevice(device);
  KsReleaseDevice(device);
  EXPECT_EQ(ks.DeviceAcquisitions(), 1u);
  ks.Remove(device);
}

TEST_F(KsClassTest, RemoveThatKeepsTheContextIsAFault) {
  rec.keepContext = true;
  ks.Remove(AddDevice());
  ExpectOneFault("Remove left the device context set");
}

TEST_F(KsClassTest, StopOfADeviceNotStartedIsAFault) {
  PKSDEVICE device = AddDevice();
  ks.Stop(device);
  ExpectOneFault("Stop sent to a device that is not started");
  EXPECT_THAT(rec.calls, ElementsAre("add"));
  ks.Remove(device);
}

TEST_F(KsClassTest, PowerRequestsCarryTheCurrentStateAndRecordTheNewOne) {
  PKSDEVICE device = AddDevice();
  EXPECT_EQ(ks.QueryPower(device, PowerDeviceD2), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(rec.from, PowerDeviceD0);
  ks.SetPower(device, PowerDeviceD3);
  EXPECT_EQ(device->DevicePowerState, PowerDeviceD3);
  ks.SetPower(device, PowerDeviceD0);
  EXPECT_EQ(rec.from, PowerDeviceD3);
  EXPECT_EQ(device->DevicePowerState, PowerDeviceD0);
  ks.Remove(device);
}

TEST_F(KsClassTest, PropertyDispatchChecksSetItemAndSizes) {
  PKSDEVICE device = AddDevice();
  PKSFILTER filter = ks.OpenFilter(device, nullptr);
  g_value = 0x12345678;
  ULONG data = 0;
  ULONG_PTR returned = 99;
  struct Case {
    const char* name;
    GUID set;
    ULONG id;
    ULONG flags;
    ULONG length;
    NTSTATUS status;
    ULONG_PTR returned;
  };
  const Case cases[] = {
      {"unknown set", kOtherSet, 1, KSPROPERTY_TYPE_GET, 4, STATUS_NOT_FOUND, 0},
      {"unknown item", kSet, 7, KSPROPERTY_TYPE_GET, 4, STATUS_NOT_FOUND, 0},
      {"no set handler", kSet, 2, KSPROPERTY_TYPE_SET, 4, STATUS_NOT_FOUND, 0},
      {"size query", kSet, 1, KSPROPERTY_TYPE_GET, 0, STATUS_BUFFER_OVERFLOW, 4},
      {"short buffer", kSet, 1, KSPROPERTY_TYPE_GET, 3, STATUS_BUFFER_TOO_SMALL, 0},
      {"get", kSet, 1, KSPROPERTY_TYPE_GET, 4, STATUS_SUCCESS, 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ks.Property(filter, &kTable, c.set, c.id, c.flags, &data, c.length, &returned), c.status) << c.name;
    EXPECT_EQ(returned, c.returned) << c.name;
  }
  EXPECT_EQ(data, 0x12345678u);
  EXPECT_EQ(g_seenDevice, device);
  ULONG newValue = 7;
  EXPECT_EQ(ks.Property(filter, &kTable, kSet, 1, KSPROPERTY_TYPE_SET, &newValue, 4, &returned), STATUS_SUCCESS);
  EXPECT_EQ(g_value, 7u);
  ks.CloseFilter(filter);
  ks.Remove(device);
}

TEST_F(KsClassTest, BusDataOutsideTheDeviceSpecificSpaceIsRefused) {
  PKSDEVICE device = AddDevice();
  UCHAR bytes[2] = {0, 0};
  EXPECT_EQ(KsDeviceSetBusData(device, PCI_WHICHSPACE_CONFIG, bytes, 0x40, 2), 2u);
  EXPECT_EQ(KsDeviceSetBusData(device, PCI_WHICHSPACE_CONFIG, bytes, 0x04, 2), 0u);
  ExpectOneFault("outside the device-specific part");
  ASSERT_EQ(ks.BusData(device).size(), 1u);
  EXPECT_EQ(ks.BusData(device)[0].offset, 0x40u);
  ks.Remove(device);
}

TEST_F(KsClassTest, FactoriesMarkedFreeOnStopGoWithTheStop) {
  static const KSFILTER_DESCRIPTOR descriptor = {
      nullptr, nullptr, KSFILTER_DESCRIPTOR_VERSION, 0, nullptr, 0, 0, nullptr, 0, nullptr, 0, 0, nullptr, 0,
      nullptr, nullptr};
  static const KSFILTER_DESCRIPTOR old = {nullptr, nullptr, 1, 0, nullptr, 0, 0,       nullptr,
                                          0,       nullptr, 0, 0, nullptr, 0, nullptr, nullptr};
  PKSDEVICE device = AddDevice();
  ks.Start(device, ksim::CardResources{});
  PKSFILTERFACTORY freed = nullptr;
  PKSFILTERFACTORY kept = nullptr;
  EXPECT_EQ(KsCreateFilterFactory(device->FunctionalDeviceObject, &descriptor, nullptr, nullptr,
                                  KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, &freed),
            STATUS_SUCCESS);
  EXPECT_EQ(KsCreateFilterFactory(device->FunctionalDeviceObject, &descriptor, nullptr, nullptr, 0, nullptr, nullptr,
                                  &kept),
            STATUS_SUCCESS);
  EXPECT_EQ(KsFilterFactoryUpdateCacheData(kept, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(ks.CacheUpdated(kept));
  EXPECT_FALSE(ks.CacheUpdated(freed));
  EXPECT_THAT(ks.Factories(device), ElementsAre(freed, kept));
  ks.Stop(device);
  EXPECT_THAT(ks.Factories(device), ElementsAre(kept));
  PKSFILTERFACTORY none = nullptr;
  EXPECT_EQ(
      KsCreateFilterFactory(device->PhysicalDeviceObject, &descriptor, nullptr, nullptr, 0, nullptr, nullptr, &none),
      STATUS_INVALID_PARAMETER);
  ExpectOneFault("not a functional device object");
  EXPECT_EQ(KsCreateFilterFactory(device->FunctionalDeviceObject, &old, nullptr, nullptr, 0, nullptr, nullptr, &none),
            STATUS_INVALID_PARAMETER);
  ExpectOneFault("unknown version");
  ks.Remove(device);
}

TEST_F(KsClassTest, FactoryChildrenAreWalkedUnderTheDeviceMutex) {
  static const KSFILTER_DESCRIPTOR descriptor = {
      nullptr, nullptr, KSFILTER_DESCRIPTOR_VERSION, 0, nullptr, 0, 0, nullptr, 0, nullptr, 0, 0, nullptr, 0,
      nullptr, nullptr};
  static const KSFILTER_DESCRIPTOR other = descriptor;
  PKSDEVICE device = AddDevice();
  ks.Start(device, ksim::CardResources{});
  PKSFILTERFACTORY factory = nullptr;
  ASSERT_EQ(KsCreateFilterFactory(device->FunctionalDeviceObject, &descriptor, nullptr, nullptr,
                                  KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, &factory),
            STATUS_SUCCESS);
  KsAcquireDevice(device);
  EXPECT_EQ(KsGetFirstChild(factory), nullptr) << "no filter open yet";
  KsReleaseDevice(device);
  PKSFILTER first = ks.OpenFilter(device, &descriptor);
  PKSFILTER unrelated = ks.OpenFilter(device, &other);
  PKSFILTER second = ks.OpenFilter(device, &descriptor);
  KsAcquireDevice(device);
  EXPECT_EQ(KsGetFirstChild(factory), first);
  EXPECT_EQ(KsGetNextSibling(first), second) << "a filter of another descriptor is not a child";
  EXPECT_EQ(KsGetNextSibling(second), nullptr);
  KsReleaseDevice(device);
  EXPECT_EQ(KsGetFirstChild(factory), first);
  ExpectOneFault("without the device mutex");

  KsFilterAcquireControl(first);
  EXPECT_EQ(KsFilterGetFirstChildPin(first, 0), nullptr);
  KsFilterReleaseControl(first);
  KsFilterGetFirstChildPin(first, 0);
  ExpectOneFault("without the filter's control mutex");
  for (PKSFILTER f : {first, unrelated, second}) ks.CloseFilter(f);
  ks.Stop(device);
  ks.Remove(device);
}

// A pin that takes the graph's clock and, on request, keeps it.
bool g_keepClock = false;
PIKSREFERENCECLOCK g_clock = nullptr;
NTSTATUS ClockState(PKSPIN pin, KSSTATE to, KSSTATE) {
  if (to == KSSTATE_ACQUIRE && g_clock == nullptr) KsPinGetReferenceClockInterface(pin, &g_clock);
  if (to == KSSTATE_STOP && g_clock != nullptr && !g_keepClock) {
    g_clock->Release();
    g_clock = nullptr;
  }
  return STATUS_SUCCESS;
}

TEST_F(KsClassTest, ReferenceClockRunsOnVirtualTimeAndMustBeReleased) {
  static const KSPIN_DISPATCH dispatch = {nullptr,    nullptr, nullptr, nullptr, nullptr,
                                          ClockState, nullptr, nullptr, nullptr, nullptr};
  static KSDATARANGE range = {{sizeof(KSDATARANGE), 0, 0, 0, kSet, kSet, kSet}};
  static const PKSDATARANGE ranges[] = {&range};
  static const KSPIN_DESCRIPTOR_EX pins[] = {
      {&dispatch,
       nullptr,
       {0, nullptr, 0, nullptr, 1, ranges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, nullptr, nullptr, 0},
       0x10,
       1,
       0,
       nullptr,
       nullptr}};
  static const KSFILTER_DESCRIPTOR descriptor = {nullptr,
                                                 nullptr,
                                                 KSFILTER_DESCRIPTOR_VERSION,
                                                 0,
                                                 nullptr,
                                                 1,
                                                 sizeof(KSPIN_DESCRIPTOR_EX),
                                                 pins,
                                                 0,
                                                 nullptr,
                                                 0,
                                                 0,
                                                 nullptr,
                                                 0,
                                                 nullptr,
                                                 nullptr};
  PKSDEVICE device = AddDevice();
  PKSFILTER filter = ks.OpenFilter(device, &descriptor);
  PKSPIN pin = nullptr;
  ASSERT_EQ(ks.CreatePin(filter, 0, &range, sizeof range, &pin), STATUS_SUCCESS);
  PIKSREFERENCECLOCK clock = nullptr;
  EXPECT_EQ(KsPinGetReferenceClockInterface(pin, &clock), STATUS_DEVICE_NOT_READY) << "no clock assigned";

  ks.AssignClock(pin);
  kernel.RunFor(5 * ksim::kMillisecond);
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_NE(g_clock, nullptr);
  EXPECT_EQ(ks.ClockReferences(pin), 1u);
  LONGLONG system = 0;
  const LONGLONG before = g_clock->GetCorrelatedTime(&system);
  EXPECT_EQ(system, kernel.Now());
  kernel.RunFor(3 * ksim::kMillisecond);
  EXPECT_EQ(g_clock->GetTime() - before, 3 * ksim::kMillisecond) << "stream time moves with the virtual clock";
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(ks.ClockReferences(pin), 0u);

  g_keepClock = true;
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ks.ClosePin(pin);
  ExpectOneFault("reference clock is still referenced");
  g_keepClock = false;
  g_clock = nullptr;
  ks.CloseFilter(filter);
  ks.Remove(device);
}

TEST(KsClassLoad, EntryWithoutDescriptorIsAFault) {
  ksim::Kernel kernel;
  ksim::KsClassDriver ks(kernel);
  EXPECT_EQ(ks.Load(EntryWithoutDescriptor), STATUS_SUCCESS);
  EXPECT_THAT(kernel.TakeFaults(), ElementsAre(HasSubstr("without registering a device descriptor")));
}

}  // namespace
