// The stand-in's pool: tagged blocks tracked one by one, filled with a pattern on allocation (the pool does
// not zero), guarded by a tail pattern checked on free, and subject to injected failures. Also the run-time
// library's string and memory helpers, whose allocated strings come from the same pool.
#include <cstring>

#include "driver/kernel/sim/state.h"

namespace ksim {
namespace {

constexpr size_t kGuard = 16;
constexpr uint8_t kFreshFill = 0xCD;
constexpr uint8_t kGuardFill = 0xFD;
constexpr ULONG kStringTag = MakeTag("Strg");

bool GuardIntact(uintptr_t address, size_t size) {
  auto* tail = reinterpret_cast<const uint8_t*>(address) + size;
  for (size_t i = 0; i < kGuard; ++i)
    if (tail[i] != kGuardFill) return false;
  return true;
}

void FreeBlock(PVOID p, const ULONG* tag, const char* service) {
  State& st = S();
  if (p == nullptr) {
    Fault(std::string(service) + " of a null pointer");
    return;
  }
  auto it = st.pool.find(reinterpret_cast<uintptr_t>(p));
  if (it == st.pool.end()) {
    Fault(std::string(service) + " of " + Hex(reinterpret_cast<uintptr_t>(p)) +
          ", which is not an allocated pool block (double free or foreign pointer)");
    return;
  }
  const PoolBlock& block = it->second;
  RequireIrql(block.type == PagedPool || block.type == PagedPoolCacheAligned ? APC_LEVEL : DISPATCH_LEVEL, service);
  if (tag != nullptr && *tag != block.tag)
    Fault(std::string(service) + " with tag '" + TagText(*tag) + "' of a block allocated with tag '" +
          TagText(block.tag) + "' (" + block.site + ")");
  if (!GuardIntact(it->first, block.size))
    Fault("pool block of " + std::to_string(block.size) + " bytes with tag '" + TagText(block.tag) + "' (" +
          block.site + ") was written past its end");
  CheckFreedRange(it->first, block.size, std::string(service) + " (" + block.site + ")");
  std::memset(p, 0xDD, block.size);
  ::operator delete (p, std::align_val_t{16});
  st.pool.erase(it);
}

}  // namespace
}  // namespace ksim

using namespace ksim;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag KSITE_DEF) {
  State& st = S();
  bool paged = PoolType == PagedPool || PoolType == PagedPoolCacheAligned;
  RequireIrql(paged ? APC_LEVEL : DISPATCH_LEVEL, "ExAllocatePoolWithTag");
  if (NumberOfBytes == 0) Fault("ExAllocatePoolWithTag of 0 bytes (" + SiteText(site) + ")");
  if (InjectFailure("pool", site)) return nullptr;
  void* p = ::operator new (NumberOfBytes + kGuard, std::align_val_t{16});
  std::memset(p, kFreshFill, NumberOfBytes);
  std::memset(static_cast<uint8_t*>(p) + NumberOfBytes, kGuardFill, kGuard);
  st.pool[reinterpret_cast<uintptr_t>(p)] = PoolBlock{Tag, PoolType, NumberOfBytes, SiteText(site), ++st.poolSerial};
  st.allocationsByTag[Tag] += 1;
  return p;
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { FreeBlock(P, &Tag, "ExFreePoolWithTag"); }
VOID ExFreePool(PVOID P) { FreeBlock(P, nullptr, "ExFreePool"); }

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  size_t length = SourceString ? std::strlen(SourceString) : 0;
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  DestinationString->Length = static_cast<USHORT>(length);
  DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? length + 1 : 0);
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  size_t length = 0;
  if (SourceString)
    while (SourceString[length] != 0) ++length;
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  DestinationString->Length = static_cast<USHORT>(length * sizeof(WCHAR));
  DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? (length + 1) * sizeof(WCHAR) : 0);
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString KSITE_DEF) {
  size_t bytes = (static_cast<size_t>(SourceString->Length) + 1) * sizeof(WCHAR);
  if (bytes > 0xFFFE) return STATUS_INVALID_PARAMETER;
  if (AllocateDestinationString) {
    RequireIrql(PASSIVE_LEVEL, "RtlAnsiStringToUnicodeString");
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kStringTag, site));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes);
  } else if (DestinationString->MaximumLength < bytes - sizeof(WCHAR)) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (USHORT i = 0; i < SourceString->Length; ++i)
    DestinationString->Buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(SourceString->Buffer[i]));
  DestinationString->Length = static_cast<USHORT>(SourceString->Length * sizeof(WCHAR));
  if (DestinationString->MaximumLength >= bytes) DestinationString->Buffer[SourceString->Length] = 0;
  return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr) ExFreePoolWithTag(UnicodeString->Buffer, kStringTag);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID RtlZeroMemory(PVOID Destination, SIZE_T Length) { std::memset(Destination, 0, Length); }
VOID RtlCopyMemory(PVOID Destination, const VOID* Source, SIZE_T Length) { std::memcpy(Destination, Source, Length); }
VOID RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill) { std::memset(Destination, Fill, Length); }
SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  auto* a = static_cast<const uint8_t*>(Source1);
  auto* b = static_cast<const uint8_t*>(Source2);
  SIZE_T same = 0;
  while (same < Length && a[same] == b[same]) ++same;
  return same;
}
