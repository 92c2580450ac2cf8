#include <cstring>
#include <set>

#include "driver/kernel/sim/kernel_fixture.h"

using ksim::MakeTag;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

constexpr ULONG kTag = MakeTag("Nrvn");
constexpr ULONG kOther = MakeTag("Wdm ");

using PoolTest = KernelFixture;

TEST_F(PoolTest, TagTextReadsTheTagInMemoryOrder) {
  EXPECT_EQ(kTag, 0x6E76724Eu);
  EXPECT_EQ(ksim::TagText(kTag), "Nrvn");
}

TEST_F(PoolTest, OutstandingBlocksAreTrackedPerTagUntilFreed) {
  PVOID a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
  PVOID b = ExAllocatePoolWithTag(NonPagedPool, 28, kTag);
  PVOID c = ExAllocatePoolWithTag(PagedPool, 8, kOther);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(kernel.OutstandingBlocks(kTag), 2u);
  EXPECT_EQ(kernel.OutstandingBytes(kTag), 128u);
  EXPECT_EQ(static_cast<uint8_t*>(a)[0], 0xCD) << "pool memory is not zeroed";
  ExFreePoolWithTag(a, kTag);
  ExFreePool(c);
  EXPECT_EQ(kernel.OutstandingBlocks(kTag), 1u);
  EXPECT_EQ(kernel.Allocations(kTag), 2u);
  EXPECT_THAT(kernel.CheckUnload(), ElementsAre(HasSubstr("pool tag 'Nrvn': 1 block(s) not freed (pool_test.cpp:")));
  kernel.TakeFaults();
  ExFreePoolWithTag(b, kTag);
  EXPECT_THAT(kernel.CheckUnload(), ::testing::IsEmpty());
}

TEST_F(PoolTest, FreeingBreachesAreFaults) {
  struct Case {
    const char* name;
    void (*act)();
    const char* fault;
  } cases[] = {
      {"double free",
       [] {
         PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
         ExFreePoolWithTag(p, kTag);
         ExFreePoolWithTag(p, kTag);
       },
       "not an allocated pool block"},
      {"wrong tag", [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), kOther); },
       "with tag 'Wdm ' of a block allocated with tag 'Nrvn'"},
      {"overrun",
       [] {
         auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
         p[8] = 0;
         ExFreePool(p);
       },
       "written past its end"},
      {"null", [] { ExFreePool(nullptr); }, "null pointer"},
      {"paged at dispatch",
       [] {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         PVOID p = ExAllocatePoolWithTag(PagedPool, 8, kTag);
         KeLowerIrql(old);
         ExFreePool(p);
       },
       "ExAllocatePoolWithTag called at IRQL 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.act();
    ExpectOneFault(c.fault);
  }
}

TEST_F(PoolTest, FreeingABlockThatHoldsAQueuedDpcIsAFault) {
  auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), kTag));
  KeInitializeDpc(
      dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeInsertQueueDpc(dpc, nullptr, nullptr);
  KeRemoveQueueDpc(dpc);
  KeInsertQueueDpc(dpc, nullptr, nullptr);
  ExFreePool(dpc);
  ExpectOneFault("frees a DPC that is still queued");
  KeLowerIrql(old);  // the DPC was taken out of the queue: nothing runs on freed memory
}

TEST_F(PoolTest, FailNthRequestFailsExactlyThatRequest) {
  kernel.FailNthRequest(3);
  std::vector<PVOID> blocks;
  for (int i = 0; i < 5; ++i) blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
  EXPECT_TRUE(blocks[0] && blocks[1] && blocks[3] && blocks[4]);
  EXPECT_EQ(blocks[2], nullptr);
  EXPECT_THAT(kernel.InjectedFailures(), ElementsAre(HasSubstr("pool at pool_test.cpp:")));
  for (PVOID p : blocks) {
    if (p) ExFreePool(p);
  }
}

// A component that needs two blocks from two sites and gives back what it took when the second fails.
NTSTATUS CreatePair(PVOID* first, PVOID* second) {
  *first = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
  if (*first == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  *second = ExAllocatePoolWithTag(NonPagedPool, 64, kTag);
  if (*second == nullptr) {
    ExFreePoolWithTag(*first, kTag);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

TEST_F(PoolTest, EachSiteFailsOnceSoRepeatedAttemptsWalkEveryFailurePath) {
  kernel.FailEachSiteOnce(true);
  PVOID first = nullptr, second = nullptr;
  std::vector<NTSTATUS> results;
  for (int attempt = 0; attempt < 3; ++attempt) {
    results.push_back(CreatePair(&first, &second));
    if (results.back() != STATUS_SUCCESS) {
      EXPECT_EQ(kernel.OutstandingBlocks(kTag), 0u);
    }
  }
  EXPECT_THAT(results, ElementsAre(STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS));
  EXPECT_EQ(kernel.InjectedFailures().size(), 2u);
  ExFreePool(first);
  ExFreePool(second);
}

TEST_F(PoolTest, AnsiToUnicodeConversionAllocatesAStringThatMustBeFreed) {
  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, "BoardType");
  EXPECT_EQ(ansi.Length, 9);
  EXPECT_EQ(ansi.MaximumLength, 10);
  UNICODE_STRING wide;
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(wide.Length, 18);
  EXPECT_EQ(wide.MaximumLength, 20);
  EXPECT_EQ(std::u16string(wide.Buffer, 9), u"BoardType");
  EXPECT_EQ(kernel.OutstandingBlocks(MakeTag("Strg")), 1u);
  RtlFreeUnicodeString(&wide);
  EXPECT_EQ(wide.Buffer, nullptr);
  EXPECT_EQ(kernel.OutstandingBlocks(MakeTag("Strg")), 0u);
}

}  // namespace
