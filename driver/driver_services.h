// Services every part of the capture driver uses: tagged pool memory, object construction in that memory,
// and passive-level sleeps.
#pragma once

#include <new>

#include "driver/kernel/ntkernel.h"

namespace pelgar {

// A pool tag from its four characters as pool tools show them: the first character is the lowest byte.
constexpr ULONG PoolTag(const char (&text)[5]) {
  return static_cast<ULONG>(static_cast<UCHAR>(text[0])) | static_cast<ULONG>(static_cast<UCHAR>(text[1])) << 8 |
         static_cast<ULONG>(static_cast<UCHAR>(text[2])) << 16 |
         static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24;
}

// The tag of every object the driver allocates.
inline constexpr ULONG kDriverTag = PoolTag("Nrvn");

// Non-paged memory tagged "Nrvn", not zeroed; null when the pool is exhausted.
PVOID AllocTagged(SIZE_T bytes KSITE_PARAM);
// Frees memory from AllocTagged; ignores null.
VOID FreeTagged(PVOID p);

// Builds a T in zeroed tagged memory; null when the allocation fails. The constructor must not fail: work
// that can fail belongs in the type's static Create, after construction.
template <class T, class... Args>
T* NewTagged(std::source_location site, Args&&... args) {
  void* p = AllocTagged(sizeof(T), site);
  if (p == nullptr) return nullptr;
  RtlZeroMemory(p, sizeof(T));
  return ::new (p) T(static_cast<Args&&>(args)...);
}

// Destroys an object made by NewTagged (through its virtual destructor when it has one); ignores null.
template <class T>
void DeleteTagged(T* object) {
  if (object == nullptr) return;
  object->~T();
  FreeTagged(object);
}

// Sleeps the calling thread for the given milliseconds (passive level only).
VOID SleepMs(ULONG milliseconds);

// Reverses the bytes of every whole 32-bit word of `bytes` bytes: the encoder writes its data as big-endian
// words. A trailing part word is left as it is.
VOID SwapWordOrder(PUCHAR data, ULONG bytes);

}  // namespace pelgar
