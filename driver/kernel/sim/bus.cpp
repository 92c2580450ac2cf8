// The stand-in's bus: device memory ranges and their mappings (every register access reaches the device's
// window), the physical-memory map of DMA-able host memory (contiguous blocks, common buffers, registered
// stream buffers) and the DMA adapter of a bus-master device.
#include <algorithm>
#include <cstring>

#include "driver/kernel/sim/state.h"

namespace ksim {
namespace {

constexpr uint64_t kPage = 4096;
constexpr uint8_t kFreshFill = 0xCC;

struct AdapterRec {
  DMA_ADAPTER adapter;  // first: the driver's adapter pointer is the record's address
  DMA_OPERATIONS operations;
  uint64_t highest;
  std::string site;
};

uint64_t RoundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

// A physical range for host memory, followed by one unused page so that a transfer running past the end of
// one buffer never lands in the next. Zero when the range would end above `highest`.
uint64_t AllocatePhysical(size_t length, uint64_t highest) {
  State& st = S();
  uint64_t base = RoundUp(st.nextPhysical, kPage);
  if (base + length - 1 > highest) return 0;
  st.nextPhysical = base + RoundUp(length, kPage) + kPage;
  return base;
}

uint8_t* NewHostMemory(size_t length) {
  auto* va = static_cast<uint8_t*>(::operator new (RoundUp(length, kPage), std::align_val_t{kPage}));
  std::memset(va, kFreshFill, RoundUp(length, kPage));
  return va;
}

void FreeHostMemory(uint8_t* va) { ::operator delete (va, std::align_val_t{kPage}); }

PhysRange* RangeByVa(const void* va) {
  auto a = reinterpret_cast<const uint8_t*>(va);
  for (auto& [phys, r] : S().physical)
    if (a >= r.va && a < r.va + r.length) return &r;
  return nullptr;
}

// The registered range holding all of [physical, physical + length), or null.
PhysRange* RangeByPhysical(uint64_t physical, size_t length) {
  auto& map = S().physical;
  auto it = map.upper_bound(physical);
  if (it == map.begin()) return nullptr;
  --it;
  PhysRange& r = it->second;
  if (physical + length > r.physical + r.length || length == 0) return nullptr;
  return &r;
}

Mapping* MappingOf(volatile ULONG* reg) {
  auto a = reinterpret_cast<uintptr_t>(reg);
  auto& maps = S().mappings;
  auto it = maps.upper_bound(a);
  if (it == maps.begin()) return nullptr;
  --it;
  return a < it->second.base + it->second.length ? &it->second : nullptr;
}

void PutDmaAdapterImpl(PDMA_ADAPTER adapter) {
  State& st = S();
  RequireIrql(DISPATCH_LEVEL, "PutDmaAdapter");
  if (!st.adapters.count(adapter)) {
    Fault("PutDmaAdapter of an adapter that is not held");
    return;
  }
  for (const auto& [phys, r] : st.physical)
    if (r.adapter == adapter) Fault("PutDmaAdapter while a common buffer of the adapter is still allocated");
  st.adapters.erase(adapter);
  delete reinterpret_cast<AdapterRec*>(adapter);
}

PVOID AllocateCommonBufferImpl(PDMA_ADAPTER adapter, ULONG length, PPHYSICAL_ADDRESS logical, BOOLEAN) {
  State& st = S();
  RequireIrql(PASSIVE_LEVEL, "AllocateCommonBuffer");
  if (!st.adapters.count(adapter)) {
    Fault("AllocateCommonBuffer on an adapter that is not held");
    return nullptr;
  }
  auto* rec = reinterpret_cast<AdapterRec*>(adapter);
  std::string caller = "code address " + Hex(reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
  if (length == 0 || InjectFailure("common buffer", caller, caller)) return nullptr;
  uint64_t physical = AllocatePhysical(length, rec->highest);
  if (physical == 0) return nullptr;
  uint8_t* va = NewHostMemory(length);
  st.physical[physical] = PhysRange{PhysRange::Kind::CommonBuffer, physical, length, va, adapter, caller};
  logical->QuadPart = static_cast<LONGLONG>(physical);
  return va;
}

void FreeCommonBufferImpl(PDMA_ADAPTER adapter, ULONG length, PHYSICAL_ADDRESS logical, PVOID va, BOOLEAN) {
  State& st = S();
  RequireIrql(PASSIVE_LEVEL, "FreeCommonBuffer");
  PhysRange* r = RangeByVa(va);
  if (r == nullptr || r->kind != PhysRange::Kind::CommonBuffer || r->va != va) {
    Fault("FreeCommonBuffer of memory that is not a common buffer");
    return;
  }
  if (r->adapter != adapter || r->length != length || r->physical != static_cast<uint64_t>(logical.QuadPart))
    Fault("FreeCommonBuffer with an adapter, length or logical address other than those of the allocation");
  CheckFreedRange(reinterpret_cast<uintptr_t>(va), r->length, "FreeCommonBuffer");
  FreeHostMemory(r->va);
  st.physical.erase(r->physical);
}

}  // namespace

void ReleaseMachine() {
  State& st = S();
  for (auto& [phys, r] : st.physical)
    if (r.kind != PhysRange::Kind::Registered) FreeHostMemory(r.va);
  st.physical.clear();
  for (PDMA_ADAPTER a : st.adapters) delete reinterpret_cast<AdapterRec*>(a);
  st.adapters.clear();
  st.mappings.clear();
}

void Kernel::AddMemoryRange(uint64_t physical, uint64_t length, IoWindow* window) {
  S().memoryRanges.push_back(MemoryRange{physical, length, window});
}

void Kernel::RemoveMemoryRange(uint64_t physical) {
  auto& ranges = S().memoryRanges;
  ranges.erase(
      std::remove_if(ranges.begin(), ranges.end(), [&](const MemoryRange& r) { return r.physical == physical; }),
      ranges.end());
}

bool Kernel::DmaWrite(uint64_t physical, const void* data, size_t length) {
  PhysRange* r = RangeByPhysical(physical, length);
  if (r == nullptr) {
    ksim::Fault("DMA write of " + std::to_string(length) + " bytes at " + Hex(physical) +
                " reaches memory outside any buffer registered for DMA");
    return false;
  }
  std::memcpy(r->va + (physical - r->physical), data, length);
  return true;
}

bool Kernel::DmaRead(uint64_t physical, void* data, size_t length) {
  PhysRange* r = RangeByPhysical(physical, length);
  if (r == nullptr) {
    ksim::Fault("DMA read of " + std::to_string(length) + " bytes at " + Hex(physical) +
                " reaches memory outside any buffer registered for DMA");
    return false;
  }
  std::memcpy(data, r->va + (physical - r->physical), length);
  return true;
}

uint64_t Kernel::RegisterDmaBuffer(void* address, size_t length) {
  uint64_t physical = AllocatePhysical(length, 0xFFFFFFFFull);
  S().physical[physical] =
      PhysRange{PhysRange::Kind::Registered, physical, length, static_cast<uint8_t*>(address), nullptr, "registered"};
  return physical;
}

void Kernel::UnregisterDmaBuffer(void* address) {
  PhysRange* r = RangeByVa(address);
  if (r != nullptr && r->kind == PhysRange::Kind::Registered) S().physical.erase(r->physical);
}

}  // namespace ksim

using namespace ksim;

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE KSITE_DEF) {
  RequireIrql(DISPATCH_LEVEL, "MmMapIoSpace");
  State& st = S();
  auto physical = static_cast<uint64_t>(PhysicalAddress.QuadPart);
  const MemoryRange* range = nullptr;
  for (const MemoryRange& r : st.memoryRanges)
    if (physical >= r.physical && physical + NumberOfBytes <= r.physical + r.length) range = &r;
  if (range == nullptr || NumberOfBytes == 0) {
    Fault("MmMapIoSpace of " + Hex(physical) + " (" + std::to_string(NumberOfBytes) +
          " bytes), which lies in no device's memory range");
    return nullptr;
  }
  if (InjectFailure("device memory mapping", site)) return nullptr;
  Mapping m{st.nextMappingBase, NumberOfBytes, physical, range->physical, range->window};
  st.nextMappingBase += RoundUp(NumberOfBytes, 1ull << 32);
  st.mappings[m.base] = m;
  return reinterpret_cast<PVOID>(m.base);
}

VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
  RequireIrql(DISPATCH_LEVEL, "MmUnmapIoSpace");
  auto it = S().mappings.find(reinterpret_cast<uintptr_t>(BaseAddress));
  if (it == S().mappings.end()) {
    Fault("MmUnmapIoSpace of an address that is not a mapping's start");
    return;
  }
  if (it->second.length != NumberOfBytes) Fault("MmUnmapIoSpace with a length other than the mapping's");
  S().mappings.erase(it);
}

ULONG READ_REGISTER_ULONG(volatile ULONG* Register) {
  Mapping* m = MappingOf(Register);
  auto a = reinterpret_cast<uintptr_t>(Register);
  if (m == nullptr) {
    Fault("register read at " + Hex(a) + ", outside any device-memory mapping");
    return 0xFFFFFFFF;
  }
  if (a % 4 != 0) {
    Fault("unaligned 32-bit register read at offset " + Hex(a - m->base));
    return 0xFFFFFFFF;
  }
  OutsideDriverScope card;
  return m->window->Read32(a - m->base + (m->physical - m->rangeBase));
}

VOID WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value) {
  Mapping* m = MappingOf(Register);
  auto a = reinterpret_cast<uintptr_t>(Register);
  if (m == nullptr) {
    Fault("register write at " + Hex(a) + ", outside any device-memory mapping");
    return;
  }
  if (a % 4 != 0) {
    Fault("unaligned 32-bit register write at offset " + Hex(a - m->base));
    return;
  }
  OutsideDriverScope card;
  m->window->Write32(a - m->base + (m->physical - m->rangeBase), Value);
}

PVOID MmAllocateContiguousMemory(SIZE_T NumberOfBytes, PHYSICAL_ADDRESS HighestAcceptableAddress KSITE_DEF) {
  RequireIrql(DISPATCH_LEVEL, "MmAllocateContiguousMemory");
  State& st = S();
  if (NumberOfBytes == 0 || InjectFailure("contiguous memory", site)) return nullptr;
  uint64_t physical = AllocatePhysical(NumberOfBytes, static_cast<uint64_t>(HighestAcceptableAddress.QuadPart));
  if (physical == 0) return nullptr;
  uint8_t* va = NewHostMemory(NumberOfBytes);
  st.physical[physical] =
      PhysRange{PhysRange::Kind::Contiguous, physical, NumberOfBytes, va, nullptr, SiteText(site)};
  return va;
}

VOID MmFreeContiguousMemory(PVOID BaseAddress) {
  RequireIrql(PASSIVE_LEVEL, "MmFreeContiguousMemory");
  PhysRange* r = RangeByVa(BaseAddress);
  if (r == nullptr || r->kind != PhysRange::Kind::Contiguous || r->va != BaseAddress) {
    Fault("MmFreeContiguousMemory of memory that is not a contiguous block's start");
    return;
  }
  CheckFreedRange(reinterpret_cast<uintptr_t>(BaseAddress), r->length, "MmFreeContiguousMemory");
  FreeHostMemory(r->va);
  S().physical.erase(r->physical);
}

PHYSICAL_ADDRESS MmGetPhysicalAddress(PVOID BaseAddress) {
  PHYSICAL_ADDRESS result;
  result.QuadPart = 0;
  PhysRange* r = RangeByVa(BaseAddress);
  if (r == nullptr) {
    Fault("MmGetPhysicalAddress of " + Hex(reinterpret_cast<uintptr_t>(BaseAddress)) +
          ", which is not memory a device can reach");
    return result;
  }
  result.QuadPart = static_cast<LONGLONG>(r->physical + (static_cast<uint8_t*>(BaseAddress) - r->va));
  return result;
}

PDMA_ADAPTER IoGetDmaAdapter(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_DESCRIPTION DeviceDescription,
                             PULONG NumberOfMapRegisters KSITE_DEF) {
  RequireIrql(PASSIVE_LEVEL, "IoGetDmaAdapter");
  State& st = S();
  bool known = false;
  for (const auto& d : st.devices) known |= d->object.get() == PhysicalDeviceObject;
  if (!known) {
    Fault("IoGetDmaAdapter for an object that is not a physical device object");
    return nullptr;
  }
  const DEVICE_DESCRIPTION& d = *DeviceDescription;
  if (d.Version > DEVICE_DESCRIPTION_VERSION2) return nullptr;
  if (!d.Master) {
    Fault("IoGetDmaAdapter for a system-DMA device; only bus masters are simulated");
    return nullptr;
  }
  if (InjectFailure("DMA adapter", site)) return nullptr;
  auto* rec = new AdapterRec{};
  rec->adapter.Version = 1;
  rec->adapter.Size = sizeof(DMA_ADAPTER);
  rec->adapter.DmaOperations = &rec->operations;
  rec->operations.Size = sizeof(DMA_OPERATIONS);
  rec->operations.PutDmaAdapter = PutDmaAdapterImpl;
  rec->operations.AllocateCommonBuffer = AllocateCommonBufferImpl;
  rec->operations.FreeCommonBuffer = FreeCommonBufferImpl;
  rec->highest = d.Dma64BitAddresses                                  ? ~0ull
                 : (d.Dma32BitAddresses || d.InterfaceType == PCIBus) ? 0xFFFFFFFFull
                                                                      : 0xFFFFFFull;
  rec->site = SiteText(site);
  st.adapters.insert(&rec->adapter);
  if (NumberOfMapRegisters != nullptr)
    *NumberOfMapRegisters = static_cast<ULONG>(std::min<uint64_t>(d.MaximumLength / kPage + 1, 256));
  return &rec->adapter;
}
