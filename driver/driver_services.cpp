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

VOID SwapWordOrder(PUCHAR data, ULONG bytes) {
  for (ULONG i = 0; i + 4 <= bytes; i += 4) {
    const UCHAR b0 = data[i], b1 = data[i + 1];
    data[i] = data[i + 3];
    data[i + 1] = data[i + 2];
    data[i + 2] = b1;
    data[i + 3] = b0;
  }
}

}  // namespace pelgar
