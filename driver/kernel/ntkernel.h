// The kernel services the capture driver uses, declared with the platform's own names, types and argument
// order. Driver code includes only this header (and ntstatus.h) to reach the kernel; on the host the
// stand-in in driver/kernel/sim implements every function here with the platform's contract and checks
// the platform's rules (IRQL, ownership, handle and pool hygiene) as it goes.
//
// Host-only addition: the fallible allocation services take a trailing call-site argument with a default,
// so callers write the platform's call unchanged while the stand-in learns where each request comes from
// (fault injection can then fail "each allocation site once"). A wrapper that allocates on behalf of its
// callers forwards its own caller's site with the KSITE_* macros:
//   PVOID AllocTagged(SIZE_T bytes KSITE_PARAM);                 // declaration
//   PVOID AllocTagged(SIZE_T bytes KSITE_DEF) {                   // definition
//     return ExAllocatePoolWithTag(NonPagedPool, bytes, tag KSITE_FORWARD); }
#pragma once

#include <cstddef>
#include <cstdint>
#include <source_location>

#include "driver/kernel/ntstatus.h"

#define KSITE_PARAM , std::source_location site = std::source_location::current()
#define KSITE_DEF , std::source_location site
#define KSITE_FORWARD , site

// ---------------------------------------------------------------------------------------------------------
// Basic types
#define TRUE 1
#define FALSE 0

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef const CHAR* PCSTR;
typedef char16_t WCHAR;  // the platform's wide character is 16 bits
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef uint8_t UCHAR;
typedef UCHAR* PUCHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;
typedef ULONG ACCESS_MASK;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef LONG KPRIORITY;
typedef ULONG_PTR KAFFINITY;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
  USHORT Length;  // bytes, without a terminator
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} ANSI_STRING, *PANSI_STRING;
typedef const ANSI_STRING* PCANSI_STRING;

// Interrupt request levels (32-bit x86 values).
inline constexpr KIRQL PASSIVE_LEVEL = 0;
inline constexpr KIRQL APC_LEVEL = 1;
inline constexpr KIRQL DISPATCH_LEVEL = 2;
inline constexpr KIRQL PROFILE_LEVEL = 27;
inline constexpr KIRQL HIGH_LEVEL = 31;

typedef enum _MODE { KernelMode = 0, UserMode = 1 } MODE, KPROCESSOR_MODE;
typedef enum _KWAIT_REASON { Executive = 0, Suspended = 5, UserRequest = 6 } KWAIT_REASON;

// Access rights.
inline constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
inline constexpr ACCESS_MASK STANDARD_RIGHTS_READ = 0x00020000;
inline constexpr ACCESS_MASK STANDARD_RIGHTS_ALL = 0x001F0000;
inline constexpr ACCESS_MASK GENERIC_READ = 0x80000000;
inline constexpr ACCESS_MASK GENERIC_WRITE = 0x40000000;
inline constexpr ACCESS_MASK KEY_QUERY_VALUE = 0x0001;
inline constexpr ACCESS_MASK KEY_SET_VALUE = 0x0002;
inline constexpr ACCESS_MASK KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr ACCESS_MASK KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr ACCESS_MASK KEY_NOTIFY = 0x0010;
inline constexpr ACCESS_MASK KEY_READ = 0x00020019;
inline constexpr ACCESS_MASK KEY_WRITE = 0x00020006;
inline constexpr ACCESS_MASK KEY_ALL_ACCESS = 0x000F003F;
inline constexpr ACCESS_MASK THREAD_ALL_ACCESS = 0x001F03FF;

// ---------------------------------------------------------------------------------------------------------
// Objects

// Object attributes for named opens (registry keys, files, threads).
inline constexpr ULONG OBJ_CASE_INSENSITIVE = 0x00000040;
inline constexpr ULONG OBJ_KERNEL_HANDLE = 0x00000200;

typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

inline void InitializeObjectAttributes(POBJECT_ATTRIBUTES p, PUNICODE_STRING n, ULONG a, HANDLE r, PVOID s) {
  p->Length = sizeof(OBJECT_ATTRIBUTES);
  p->RootDirectory = r;
  p->Attributes = a;
  p->ObjectName = n;
  p->SecurityDescriptor = s;
  p->SecurityQualityOfService = nullptr;
}

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef struct _OBJECT_TYPE* POBJECT_TYPE;
typedef struct _OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

extern POBJECT_TYPE* PsThreadType;

// Dispatcher objects: every waitable object starts with this header; Type says which kind it is.
enum : UCHAR {
  EventNotificationObject = 0,
  EventSynchronizationObject = 1,
  MutantObject = 2,
  ThreadObject = 6,
};

typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KTHREAD KTHREAD, *PKTHREAD, *PRKTHREAD;
typedef struct _KTHREAD* PETHREAD;

typedef struct _KMUTANT {
  DISPATCHER_HEADER Header;  // SignalState: 1 free, 0 owned once, -n owned n + 1 times
  LIST_ENTRY MutantListEntry;
  PKTHREAD OwnerThread;
  BOOLEAN Abandoned;
  UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

struct _KDPC;
typedef VOID (*PKDEFERRED_ROUTINE)(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                   PVOID SystemArgument2);

typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  PVOID DpcData;  // non-null while the DPC sits in the queue
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KINTERRUPT KINTERRUPT, *PKINTERRUPT;
typedef BOOLEAN (*PKSERVICE_ROUTINE)(PKINTERRUPT Interrupt, PVOID ServiceContext);
typedef BOOLEAN (*PKSYNCHRONIZE_ROUTINE)(PVOID SynchronizeContext);
typedef enum _KINTERRUPT_MODE { LevelSensitive = 0, Latched = 1 } KINTERRUPT_MODE;

typedef VOID (*PKSTART_ROUTINE)(PVOID StartContext);

typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;

// ---------------------------------------------------------------------------------------------------------
// Executive: pool
typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
} POOL_TYPE;

// Returns a block of at least NumberOfBytes from the pool, or null. The block is not zeroed.
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag KSITE_PARAM);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID ExFreePool(PVOID P);

// ---------------------------------------------------------------------------------------------------------
// Kernel: IRQL, spin locks, dispatcher objects, waits, time, DPCs, interrupts
KIRQL KeGetCurrentIrql();
VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
VOID KeLowerIrql(KIRQL NewIrql);

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID KeClearEvent(PRKEVENT Event);
LONG KeResetEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
LONG KeReadStateMutex(PRKMUTEX Mutex);

// Timeout: null waits forever; negative is relative and positive absolute, in 100-ns units; zero polls.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
VOID KeStallExecutionProcessor(ULONG MicroSeconds);
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
ULONGLONG KeQueryInterruptTime();
PKTHREAD KeGetCurrentThread();

// Writes a formatted message (printf conventions) to the kernel debugger; returns STATUS_SUCCESS. Any IRQL.
ULONG DbgPrint(PCSTR Format, ...);

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);

BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                               PVOID SynchronizeContext);

LONG InterlockedIncrement(LONG volatile* Addend);
LONG InterlockedDecrement(LONG volatile* Addend);
LONG InterlockedExchange(LONG volatile* Target, LONG Value);
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand);

// ---------------------------------------------------------------------------------------------------------
// Processes and threads, objects and handles
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext KSITE_PARAM);
PETHREAD PsGetCurrentThread();
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation);
VOID ObDereferenceObject(PVOID Object);
NTSTATUS ZwClose(HANDLE Handle);

// ---------------------------------------------------------------------------------------------------------
// I/O manager: interrupts, the device's registry keys, DMA adapters
NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine, PVOID ServiceContext,
                            PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql, KIRQL SynchronizeIrql,
                            KINTERRUPT_MODE InterruptMode, BOOLEAN ShareVector, KAFFINITY ProcessorEnableMask,
                            BOOLEAN FloatingSave KSITE_PARAM);
VOID IoDisconnectInterrupt(PKINTERRUPT InterruptObject);

inline constexpr ULONG PLUGPLAY_REGKEY_DEVICE = 1;
inline constexpr ULONG PLUGPLAY_REGKEY_DRIVER = 2;
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey);

typedef enum _INTERFACE_TYPE { Internal = 0, Isa = 1, Eisa = 2, PCIBus = 5 } INTERFACE_TYPE;
typedef enum _DMA_WIDTH { Width8Bits, Width16Bits, Width32Bits } DMA_WIDTH;
typedef enum _DMA_SPEED { Compatible, TypeA, TypeB, TypeC, TypeF } DMA_SPEED;

inline constexpr ULONG DEVICE_DESCRIPTION_VERSION = 0;
inline constexpr ULONG DEVICE_DESCRIPTION_VERSION1 = 1;
inline constexpr ULONG DEVICE_DESCRIPTION_VERSION2 = 2;

typedef struct _DEVICE_DESCRIPTION {
  ULONG Version;
  BOOLEAN Master;
  BOOLEAN ScatterGather;
  BOOLEAN DemandMode;
  BOOLEAN AutoInitialize;
  BOOLEAN Dma32BitAddresses;
  BOOLEAN IgnoreCount;
  BOOLEAN Reserved1;
  BOOLEAN Dma64BitAddresses;
  ULONG BusNumber;
  ULONG DmaChannel;
  INTERFACE_TYPE InterfaceType;
  DMA_WIDTH DmaWidth;
  DMA_SPEED DmaSpeed;
  ULONG MaximumLength;
  ULONG DmaPort;
} DEVICE_DESCRIPTION, *PDEVICE_DESCRIPTION;

struct _DMA_ADAPTER;
typedef VOID (*PPUT_DMA_ADAPTER)(struct _DMA_ADAPTER* DmaAdapter);
typedef PVOID (*PALLOCATE_COMMON_BUFFER)(struct _DMA_ADAPTER* DmaAdapter, ULONG Length,
                                         PPHYSICAL_ADDRESS LogicalAddress, BOOLEAN CacheEnabled);
typedef VOID (*PFREE_COMMON_BUFFER)(struct _DMA_ADAPTER* DmaAdapter, ULONG Length, PHYSICAL_ADDRESS LogicalAddress,
                                    PVOID VirtualAddress, BOOLEAN CacheEnabled);

// The adapter's operations in the platform's slot order; operations the driver never calls are left null.
typedef struct _DMA_OPERATIONS {
  ULONG Size;
  PPUT_DMA_ADAPTER PutDmaAdapter;
  PALLOCATE_COMMON_BUFFER AllocateCommonBuffer;
  PFREE_COMMON_BUFFER FreeCommonBuffer;
  PVOID AllocateAdapterChannel;
  PVOID FlushAdapterBuffers;
  PVOID FreeAdapterChannel;
  PVOID FreeMapRegisters;
  PVOID MapTransfer;
  PVOID GetDmaAlignment;
  PVOID ReadDmaCounter;
  PVOID GetScatterGatherList;
  PVOID PutScatterGatherList;
} DMA_OPERATIONS, *PDMA_OPERATIONS;

typedef struct _DMA_ADAPTER {
  USHORT Version;
  USHORT Size;
  PDMA_OPERATIONS DmaOperations;
} DMA_ADAPTER, *PDMA_ADAPTER;

struct _DMA_ADAPTER* IoGetDmaAdapter(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_DESCRIPTION DeviceDescription,
                                     PULONG NumberOfMapRegisters KSITE_PARAM);

// ---------------------------------------------------------------------------------------------------------
// Memory manager: device memory and physically contiguous memory
typedef enum _MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 } MEMORY_CACHING_TYPE;

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType KSITE_PARAM);
VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);
PVOID MmAllocateContiguousMemory(SIZE_T NumberOfBytes, PHYSICAL_ADDRESS HighestAcceptableAddress KSITE_PARAM);
VOID MmFreeContiguousMemory(PVOID BaseAddress);
PHYSICAL_ADDRESS MmGetPhysicalAddress(PVOID BaseAddress);

// Device registers, reached through a mapping made by MmMapIoSpace. Never dereference a mapping directly.
ULONG READ_REGISTER_ULONG(volatile ULONG* Register);
VOID WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value);

// ---------------------------------------------------------------------------------------------------------
// Registry
inline constexpr ULONG REG_NONE = 0;
inline constexpr ULONG REG_SZ = 1;
inline constexpr ULONG REG_BINARY = 3;
inline constexpr ULONG REG_DWORD = 4;

typedef enum _KEY_VALUE_INFORMATION_CLASS {
  KeyValueBasicInformation = 0,
  KeyValueFullInformation = 1,
  KeyValuePartialInformation = 2,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_FULL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataOffset;  // from the start of the record
  ULONG DataLength;
  ULONG NameLength;  // bytes
  WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength);
NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize);

// ---------------------------------------------------------------------------------------------------------
// Files (firmware images in the system's driver folder)
inline constexpr ULONG FILE_SHARE_READ = 0x00000001;
inline constexpr ULONG FILE_ATTRIBUTE_NORMAL = 0x00000080;
inline constexpr ULONG FILE_OPEN = 0x00000001;
inline constexpr ULONG FILE_DIRECTORY_FILE = 0x00000001;
inline constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020;
inline constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x00000040;

typedef VOID (*PIO_APC_ROUTINE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);

typedef enum _FILE_INFORMATION_CLASS { FileStandardInformation = 5 } FILE_INFORMATION_CLASS;
typedef struct _FILE_STANDARD_INFORMATION {
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  ULONG NumberOfLinks;
  BOOLEAN DeletePending;
  BOOLEAN Directory;
} FILE_STANDARD_INFORMATION, *PFILE_STANDARD_INFORMATION;

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength);
NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                    PULONG Key);
NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                ULONG Length, FILE_INFORMATION_CLASS FileInformationClass);

// ---------------------------------------------------------------------------------------------------------
// Run-time library
VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
// With AllocateDestinationString the buffer comes from the paged pool and is freed by RtlFreeUnicodeString.
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString KSITE_PARAM);
VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
VOID RtlZeroMemory(PVOID Destination, SIZE_T Length);
VOID RtlCopyMemory(PVOID Destination, const VOID* Source, SIZE_T Length);
VOID RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill);
SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);
