#include "driver/driver_services.h"

namespace pelgar {

PVOID AllocTagged(SIZE_T bytes KSITE_DEF) {
  return ExAllocatePoolWithTag(NonPagedPool, bytes, kDriverTag KSITE_FORWARD);
}

VOID FreeTagged(PVOID p) {
  if (p != nullptr) ExFreePoolWithTag(p, kDriverTag);
}

VOID SleepMs(ULONG milliseconds) {
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace pelgar
