#include <cstring>
#include <string>
#include <vector>

#include "driver/kernel/sim/kernel_fixture.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// A device window that logs every access and answers reads with the offset.
class LoggingWindow : public ksim::IoWindow {
 public:
  ULONG Read32(uint64_t offset) override {
    log.push_back("R " + std::to_string(offset));
    return static_cast<ULONG>(offset);
  }
  void Write32(uint64_t offset, ULONG value) override {
    log.push_back("W " + std::to_string(offset) + "=" + std::to_string(value));
  }
  std::vector<std::string> log;
};

class BusTest : public KernelFixture {
 protected:
  BusTest() : pdo(kernel.AddPhysicalDevice("card0")) { kernel.AddMemoryRange(kBar, kLength, &window); }

  PDMA_ADAPTER GetAdapter() {
    DEVICE_DESCRIPTION d{};
    d.Version = DEVICE_DESCRIPTION_VERSION;
    d.Master = TRUE;
    d.ScatterGather = TRUE;
    d.Dma32BitAddresses = TRUE;
    d.InterfaceType = PCIBus;
    d.MaximumLength = 0xFFFFFFF8;
    ULONG registers = 0;
    return IoGetDmaAdapter(pdo, &d, &registers);
  }

  static constexpr uint64_t kBar = 0xE0000000;
  static constexpr uint64_t kLength = 0x4000000;
  LoggingWindow window;
  PDEVICE_OBJECT pdo;
};

TEST_F(BusTest, RegisterAccessesThroughAMappingReachTheDeviceWindowAtTheirOffset) {
  PHYSICAL_ADDRESS at;
  at.QuadPart = kBar;
  auto* base = static_cast<volatile uint8_t*>(MmMapIoSpace(at, kLength, MmNonCached));
  ASSERT_NE(base, nullptr);
  auto* regs = reinterpret_cast<volatile ULONG*>(base + 0x2000000);
  WRITE_REGISTER_ULONG(regs + 0x48 / 4, 0xFFFFFFFF);
  EXPECT_EQ(READ_REGISTER_ULONG(regs + 0x40 / 4), 0x2000040u);
  EXPECT_THAT(window.log, ElementsAre("W 33554504=4294967295", "R 33554496"));
  READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(base + 2));
  ExpectOneFault("unaligned 32-bit register read at offset 0x2");
  READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(base + kLength));
  ExpectOneFault("outside any device-memory mapping");
  MmUnmapIoSpace(const_cast<uint8_t*>(base), 4096);
  ExpectOneFault("length other than the mapping's");
}

TEST_F(BusTest, MappingMemoryNoDeviceDecodesIsRefused) {
  PHYSICAL_ADDRESS at;
  at.QuadPart = kBar + kLength - 4;
  EXPECT_EQ(MmMapIoSpace(at, 8, MmNonCached), nullptr);
  ExpectOneFault("lies in no device's memory range");
  at.QuadPart = kBar + 0x2000000;
  PVOID regs = MmMapIoSpace(at, 0x10000, MmNonCached);
  ASSERT_NE(regs, nullptr);
  READ_REGISTER_ULONG(static_cast<volatile ULONG*>(regs) + 1);
  EXPECT_THAT(window.log, ElementsAre("R 33554436")) << "offsets are from the start of the device's range";
  EXPECT_THAT(kernel.CheckUnload(), ElementsAre(HasSubstr("device memory still mapped at 0xE2000000")));
  kernel.TakeFaults();
  MmUnmapIoSpace(regs, 0x10000);
}

TEST_F(BusTest, DmaReachesOnlyBuffersRegisteredForIt) {
  PHYSICAL_ADDRESS highest;
  highest.QuadPart = 0xFFFFFFFF;
  auto* page = static_cast<uint8_t*>(MmAllocateContiguousMemory(4096, highest));
  ASSERT_NE(page, nullptr);
  uint64_t physical = static_cast<uint64_t>(MmGetPhysicalAddress(page + 100).QuadPart) - 100;
  EXPECT_EQ(physical % 4096, 0u);
  EXPECT_LE(physical + 4095, 0xFFFFFFFFu);

  std::vector<uint8_t> data(16, 0xAB);
  EXPECT_TRUE(kernel.DmaWrite(physical + 4096 - 16, data.data(), 16));
  EXPECT_EQ(page[4095], 0xAB);
  EXPECT_FALSE(kernel.DmaWrite(physical + 4096 - 15, data.data(), 16));
  ExpectOneFault("DMA write of 16 bytes at ");
  EXPECT_EQ(page[4096 - 16], 0xAB) << "a refused transfer writes nothing";

  PVOID pool = ExAllocatePoolWithTag(NonPagedPool, 64, ksim::MakeTag("Nrvn"));
  EXPECT_EQ(MmGetPhysicalAddress(pool).QuadPart, 0);
  ExpectOneFault("not memory a device can reach");
  ExFreePool(pool);

  MmFreeContiguousMemory(page);
  EXPECT_FALSE(kernel.DmaRead(physical, data.data(), 4));
  ExpectOneFault("DMA read of 4 bytes");

  std::vector<uint8_t> stream(1000);
  uint64_t streamPhysical = kernel.RegisterDmaBuffer(stream.data(), stream.size());
  EXPECT_TRUE(kernel.DmaWrite(streamPhysical + 992, data.data(), 8));
  EXPECT_EQ(stream[999], 0xAB);
  kernel.UnregisterDmaBuffer(stream.data());
  EXPECT_THAT(kernel.CheckUnload(), ::testing::IsEmpty());
}

TEST_F(BusTest, ContiguousMemoryAboveTheHighestAcceptableAddressIsRefused) {
  PHYSICAL_ADDRESS highest;
  highest.QuadPart = 0xFFFFF;  // 1 MiB: below everything the machine hands out
  EXPECT_EQ(MmAllocateContiguousMemory(4096, highest), nullptr);
}

TEST_F(BusTest, CommonBuffersAreFreedWithTheirOwnParametersBeforeTheAdapterGoesBack) {
  PDMA_ADAPTER adapter = GetAdapter();
  ASSERT_NE(adapter, nullptr);
  PHYSICAL_ADDRESS logical;
  PVOID buffer = adapter->DmaOperations->AllocateCommonBuffer(adapter, 104960, &logical, FALSE);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(MmGetPhysicalAddress(buffer).QuadPart, logical.QuadPart);
  EXPECT_LE(static_cast<uint64_t>(logical.QuadPart) + 104960, 0x100000000ull);
  adapter->DmaOperations->PutDmaAdapter(adapter);
  ExpectOneFault("while a common buffer of the adapter is still allocated");
  adapter = GetAdapter();
  adapter->DmaOperations->FreeCommonBuffer(adapter, 8192, logical, buffer, FALSE);
  ExpectOneFault("other than those of the allocation");
  adapter->DmaOperations->PutDmaAdapter(adapter);
  EXPECT_THAT(kernel.CheckUnload(), ::testing::IsEmpty());
}

TEST_F(BusTest, InjectedFailuresReachEveryKindOfResource) {
  PHYSICAL_ADDRESS at;
  at.QuadPart = kBar;
  PHYSICAL_ADDRESS highest;
  highest.QuadPart = 0xFFFFFFFF;
  kernel.FailNthRequest(1);
  EXPECT_EQ(MmMapIoSpace(at, kLength, MmNonCached), nullptr);
  kernel.FailNthRequest(1);
  EXPECT_EQ(MmAllocateContiguousMemory(4096, highest), nullptr);
  kernel.FailNthRequest(1);
  EXPECT_EQ(GetAdapter(), nullptr);
  PDMA_ADAPTER adapter = GetAdapter();
  kernel.FailNthRequest(1);
  PHYSICAL_ADDRESS logical;
  EXPECT_EQ(adapter->DmaOperations->AllocateCommonBuffer(adapter, 8192, &logical, FALSE), nullptr);
  adapter->DmaOperations->PutDmaAdapter(adapter);
  EXPECT_THAT(kernel.InjectedFailures(),
              ElementsAre(HasSubstr("device memory mapping"), HasSubstr("contiguous memory"),
                          HasSubstr("DMA adapter"), HasSubstr("common buffer")));
}

}  // namespace

// The driver time meter on a clock the test moves: the DPC's own time counts, the card's time behind a
// register access inside it does not, and nothing is summed while the meter is off.
namespace {
std::chrono::nanoseconds g_meterClock{0};

struct MeteredDpc {
  KDPC dpc{};
  volatile ULONG* reg = nullptr;
};

void MeteredRoutine(PKDPC, PVOID context, PVOID, PVOID) {
  auto* m = static_cast<MeteredDpc*>(context);
  g_meterClock += std::chrono::microseconds(3);  // the driver's work
  READ_REGISTER_ULONG(m->reg);                   // the card's work: 100 us, see below
  g_meterClock += std::chrono::microseconds(2);
}

class SlowWindow : public ksim::IoWindow {
 public:
  ULONG Read32(uint64_t) override {
    g_meterClock += std::chrono::microseconds(100);
    return 0;
  }
  void Write32(uint64_t, ULONG) override {}
};
}  // namespace

TEST(DriverTimeMeter, CountsTheDriversCallsLessTheCardsWork) {
  ksim::Kernel kernel;
  SlowWindow window;
  kernel.AddMemoryRange(0xE0000000, 0x4000000, &window);
  PHYSICAL_ADDRESS at;
  at.QuadPart = 0xE0000000;
  auto* base = static_cast<volatile ULONG*>(MmMapIoSpace(at, 4096, MmNonCached));
  ASSERT_NE(base, nullptr);
  MeteredDpc m;
  m.reg = base;
  KeInitializeDpc(&m.dpc, MeteredRoutine, &m);

  KeInsertQueueDpc(&m.dpc, nullptr, nullptr);  // meter off
  EXPECT_EQ(kernel.DriverSeconds(), 0.0);

  kernel.MeterDriverTime(true, [] { return g_meterClock; });
  KeInsertQueueDpc(&m.dpc, nullptr, nullptr);
  KeInsertQueueDpc(&m.dpc, nullptr, nullptr);
  EXPECT_DOUBLE_EQ(kernel.DriverSeconds(), 10e-6) << "two runs of 5 us, the card's 200 us left out";
  READ_REGISTER_ULONG(base);  // outside any driver call: nothing changes
  EXPECT_DOUBLE_EQ(kernel.DriverSeconds(), 10e-6);
  kernel.MeterDriverTime(false);
  MmUnmapIoSpace(const_cast<ULONG*>(base), 4096);
  EXPECT_TRUE(kernel.CheckUnload().empty());
}
