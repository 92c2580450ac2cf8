// The kernel-streaming class driver's services and structures as a minidriver sees them, with the
// platform's own names, field order and argument order: driver and device initialisation, the device
// dispatch table, the device mutex, bus data, adapter registration, filter registration without pins,
// plug-and-play resource lists, power states, property items, sets and automation tables, filter and pin
// descriptors with their data ranges, mediums and allocator framing, pins, stream headers and stream
// pointers, and descriptor editing (KsEdit).
//
// Driver code includes this header (with ntkernel.h) to reach the class driver. On the host the stand-in
// in driver/kernel/sim implements every function here and checks the class driver's rules.
#pragma once

#include "driver/kernel/ntkernel.h"

// ---------------------------------------------------------------------------------------------------------
// GUIDs

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, *LPGUID;
typedef const GUID* LPCGUID;

inline bool IsEqualGUID(const GUID& a, const GUID& b) {
  return RtlCompareMemory(&a, &b, sizeof(GUID)) == sizeof(GUID);
}

typedef int BOOL;

// ---------------------------------------------------------------------------------------------------------
// Driver object and I/O request packets

typedef struct _DRIVER_OBJECT {
  USHORT Type;
  USHORT Size;
  PVOID DriverExtension;
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef NTSTATUS (*PDRIVER_INITIALIZE)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// The part of a request packet a minidriver reads: its status block, the caller's buffer, and the object
// the request was sent to (on the platform, reached through the current stack location's file object).
typedef struct _IRP {
  IO_STATUS_BLOCK IoStatus;
  PVOID UserBuffer;
  PVOID KsObject;
} IRP, *PIRP;

// ---------------------------------------------------------------------------------------------------------
// Plug-and-play resources

enum : UCHAR {
  CmResourceTypeNull = 0,
  CmResourceTypePort = 1,
  CmResourceTypeInterrupt = 2,
  CmResourceTypeMemory = 3,
};

typedef enum _CM_SHARE_DISPOSITION {
  CmResourceShareUndetermined = 0,
  CmResourceShareDeviceExclusive = 1,
  CmResourceShareDriverExclusive = 2,
  CmResourceShareShared = 3,
} CM_SHARE_DISPOSITION;

inline constexpr USHORT CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE = 0;
inline constexpr USHORT CM_RESOURCE_INTERRUPT_LATCHED = 1;
inline constexpr USHORT CM_RESOURCE_MEMORY_READ_WRITE = 0;

#pragma pack(push, 4)
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
  UCHAR Type;
  UCHAR ShareDisposition;
  USHORT Flags;
  union {
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Generic;
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Port;
    struct {
      ULONG Level;  // in a translated list: the interrupt's IRQL
      ULONG Vector;
      KAFFINITY Affinity;
    } Interrupt;
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Memory;
  } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;
#pragma pack(pop)

typedef struct _CM_PARTIAL_RESOURCE_LIST {
  USHORT Version;
  USHORT Revision;
  ULONG Count;
  CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[1];
} CM_PARTIAL_RESOURCE_LIST, *PCM_PARTIAL_RESOURCE_LIST;

typedef struct _CM_FULL_RESOURCE_DESCRIPTOR {
  INTERFACE_TYPE InterfaceType;
  ULONG BusNumber;
  CM_PARTIAL_RESOURCE_LIST PartialResourceList;
} CM_FULL_RESOURCE_DESCRIPTOR, *PCM_FULL_RESOURCE_DESCRIPTOR;

typedef struct _CM_RESOURCE_LIST {
  ULONG Count;
  CM_FULL_RESOURCE_DESCRIPTOR List[1];
} CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;

// ---------------------------------------------------------------------------------------------------------
// Power

typedef enum _DEVICE_POWER_STATE {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0 = 1,
  PowerDeviceD1 = 2,
  PowerDeviceD2 = 3,
  PowerDeviceD3 = 4,
  PowerDeviceMaximum = 5,
} DEVICE_POWER_STATE;

typedef enum _SYSTEM_POWER_STATE {
  PowerSystemUnspecified = 0,
  PowerSystemWorking = 1,
  PowerSystemSleeping1 = 2,
  PowerSystemSleeping2 = 3,
  PowerSystemSleeping3 = 4,
  PowerSystemHibernate = 5,
  PowerSystemShutdown = 6,
  PowerSystemMaximum = 7,
} SYSTEM_POWER_STATE;

typedef enum _POWER_ACTION {
  PowerActionNone = 0,
  PowerActionReserved = 1,
  PowerActionSleep = 2,
  PowerActionHibernate = 3,
  PowerActionShutdown = 4,
  PowerActionShutdownReset = 5,
  PowerActionShutdownOff = 6,
  PowerActionWarmEject = 7,
} POWER_ACTION;

typedef struct _DEVICE_CAPABILITIES DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

// ---------------------------------------------------------------------------------------------------------
// Identifiers, properties and automation tables

typedef struct {
  GUID Set;
  ULONG Id;
  ULONG Flags;
} KSIDENTIFIER, *PKSIDENTIFIER, KSPROPERTY, *PKSPROPERTY, KSPIN_MEDIUM, *PKSPIN_MEDIUM;

inline constexpr ULONG KSPROPERTY_TYPE_GET = 0x00000001;
inline constexpr ULONG KSPROPERTY_TYPE_SET = 0x00000002;
inline constexpr ULONG KSPROPERTY_TYPE_BASICSUPPORT = 0x00000200;

// Called with the request packet, the property request (at least MinProperty bytes) and the value buffer
// (at least MinData bytes). A get handler sets Irp->IoStatus.Information to the bytes it returned.
typedef NTSTATUS (*PFNKSHANDLER)(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);

typedef struct {
  ULONG PropertyId;
  PFNKSHANDLER GetPropertyHandler;
  ULONG MinProperty;
  ULONG MinData;
  PFNKSHANDLER SetPropertyHandler;
  const VOID* Values;
  ULONG RelationsCount;
  const KSPROPERTY* Relations;
  PFNKSHANDLER SupportHandler;
  ULONG SerializedSize;
} KSPROPERTY_ITEM, *PKSPROPERTY_ITEM;

typedef struct {
  const GUID* Set;
  ULONG PropertiesCount;
  const KSPROPERTY_ITEM* PropertyItem;
  ULONG FastIoCount;
  const VOID* FastIoTable;
} KSPROPERTY_SET, *PKSPROPERTY_SET;

typedef struct {
  ULONG PropertySetsCount;
  ULONG PropertyItemSize;
  const KSPROPERTY_SET* PropertySets;
  ULONG MethodSetsCount;
  ULONG MethodItemSize;
  const VOID* MethodSets;
  ULONG EventSetsCount;
  ULONG EventItemSize;
  const VOID* EventSets;
  PVOID Alignment;
} KSAUTOMATION_TABLE, *PKSAUTOMATION_TABLE;

// Value descriptions of a property item (its Values member): the value type, then lists of ranges,
// stepped ranges or discrete values, one of them flagged as holding the default.
inline constexpr ULONG KSPROPERTY_MEMBER_RANGES = 0x00000001;
inline constexpr ULONG KSPROPERTY_MEMBER_STEPPEDRANGES = 0x00000002;
inline constexpr ULONG KSPROPERTY_MEMBER_VALUES = 0x00000003;
inline constexpr ULONG KSPROPERTY_MEMBER_FLAG_DEFAULT = 0x00000001;

// Variant types of the values.
inline constexpr ULONG VT_I4 = 3;
inline constexpr ULONG VT_UI4 = 19;

// KSPROPTYPESETID_General: the value type's identifier is a variant type (VT_*).
inline constexpr GUID KSPROPTYPESETID_General = {
    0x97E99BA0, 0xBDEA, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};

typedef struct {
  ULONG MembersFlags;
  ULONG MembersSize;
  ULONG MembersCount;
  ULONG Flags;
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;

typedef union {
  struct {
    LONG SignedMinimum;
    LONG SignedMaximum;
  };
  struct {
    ULONG UnsignedMinimum;
    ULONG UnsignedMaximum;
  };
} KSPROPERTY_BOUNDS_LONG, *PKSPROPERTY_BOUNDS_LONG;

typedef struct {
  ULONG SteppingDelta;
  ULONG Reserved;
  KSPROPERTY_BOUNDS_LONG Bounds;
} KSPROPERTY_STEPPING_LONG, *PKSPROPERTY_STEPPING_LONG;

typedef struct {
  KSPROPERTY_MEMBERSHEADER MembersHeader;
  const VOID* Members;
} KSPROPERTY_MEMBERSLIST, *PKSPROPERTY_MEMBERSLIST;

typedef struct {
  KSIDENTIFIER PropTypeSet;
  ULONG MembersListCount;
  const KSPROPERTY_MEMBERSLIST* MembersList;
} KSPROPERTY_VALUES, *PKSPROPERTY_VALUES;

// ---------------------------------------------------------------------------------------------------------
// Data formats and ranges, pins, stream headers and stream pointers

// A data format (what a connection carries) and a data range (what a pin accepts) share this header;
// format-specific fields follow it. 64 bytes.
typedef union {
  struct {
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
  };
  LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;

typedef KSIDENTIFIER KSPIN_INTERFACE, *PKSPIN_INTERFACE;

typedef enum {
  KSPIN_DATAFLOW_IN = 1,
  KSPIN_DATAFLOW_OUT = 2,
} KSPIN_DATAFLOW;

typedef enum {
  KSPIN_COMMUNICATION_NONE = 0,
  KSPIN_COMMUNICATION_SINK = 1,
  KSPIN_COMMUNICATION_SOURCE = 2,
  KSPIN_COMMUNICATION_BOTH = 3,
  KSPIN_COMMUNICATION_BRIDGE = 4,
} KSPIN_COMMUNICATION;

typedef enum {
  KSSTATE_STOP = 0,
  KSSTATE_ACQUIRE = 1,
  KSSTATE_PAUSE = 2,
  KSSTATE_RUN = 3,
} KSSTATE;

typedef struct {
  ULONG InterfacesCount;
  const KSPIN_INTERFACE* Interfaces;
  ULONG MediumsCount;
  const KSPIN_MEDIUM* Mediums;
  ULONG DataRangesCount;
  const PKSDATARANGE* DataRanges;
  KSPIN_DATAFLOW DataFlow;
  KSPIN_COMMUNICATION Communication;
  const GUID* Category;
  const GUID* Name;
  LONGLONG Reserved;
} KSPIN_DESCRIPTOR, *PKSPIN_DESCRIPTOR;

// Allocator framing: what the pin needs of the frames its allocator hands out.
typedef struct {
  ULONG MinFrameSize;
  ULONG MaxFrameSize;
  ULONG Stepping;
} KS_FRAMING_RANGE;

typedef struct {
  KS_FRAMING_RANGE Range;
  ULONG InPlaceWeight;
  ULONG NotInPlaceWeight;
} KS_FRAMING_RANGE_WEIGHTED;

typedef struct {
  ULONG RatioNumerator;
  ULONG RatioDenominator;
  ULONG RatioConstantMargin;
} KS_COMPRESSION;

typedef struct {
  GUID MemoryType;
  GUID BusType;
  ULONG MemoryFlags;
  ULONG BusFlags;
  ULONG Flags;
  ULONG Frames;
  ULONG FileAlignment;
  ULONG MemoryTypeWeight;
  KS_FRAMING_RANGE PhysicalRange;
  KS_FRAMING_RANGE_WEIGHTED FramingRange;
} KS_FRAMING_ITEM;

typedef struct {
  ULONG CountItems;
  ULONG PinFlags;
  KS_COMPRESSION OutputCompression;
  ULONG PinWeight;
  KS_FRAMING_ITEM FramingItem[1];
} KSALLOCATOR_FRAMING_EX, *PKSALLOCATOR_FRAMING_EX;

inline constexpr GUID KSMEMORY_TYPE_KERNEL_NONPAGED = {
    0x4A6D5FC4, 0x7895, 0x11D1, {0xB0, 0x69, 0x00, 0xA0, 0xC9, 0x06, 0x28, 0x02}};

typedef struct {
  LONGLONG Time;
  ULONG Numerator;
  ULONG Denominator;
} KSTIME;

// The header the class driver keeps for every frame of a stream.
typedef struct {
  ULONG Size;
  ULONG TypeSpecificFlags;
  KSTIME PresentationTime;
  LONGLONG Duration;
  ULONG FrameExtent;
  ULONG DataUsed;
  PVOID Data;
  ULONG OptionsFlags;
#if defined(_WIN64) || defined(__x86_64__) || defined(__aarch64__)
  ULONG Reserved;
#endif
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;

inline constexpr ULONG KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY = 0x00000004;
inline constexpr ULONG KSSTREAM_HEADER_OPTIONSF_TIMEVALID = 0x00000080;
inline constexpr ULONG KSSTREAM_HEADER_OPTIONSF_DURATIONVALID = 0x00000100;

// One piece of a frame as the bus sees it (pins with KSPIN_FLAG_GENERATE_MAPPINGS).
typedef struct {
  PHYSICAL_ADDRESS PhysicalAddress;
  ULONG ByteCount;
  ULONG Alignment;
} KSMAPPING, *PKSMAPPING;

typedef struct _KSPIN KSPIN, *PKSPIN;

typedef struct {
  union {
    PUCHAR Data;
    PKSMAPPING Mappings;
  };
  ULONG Count;
  ULONG Remaining;
} KSSTREAM_POINTER_OFFSET, *PKSSTREAM_POINTER_OFFSET;

typedef struct _KSSTREAM_POINTER {
  PVOID Context;  // the minidriver's context of a clone (ContextSize bytes, zeroed)
  PKSPIN Pin;
  PKSSTREAM_HEADER StreamHeader;
  PKSSTREAM_POINTER_OFFSET Offset;
  KSSTREAM_POINTER_OFFSET OffsetIn;
  KSSTREAM_POINTER_OFFSET OffsetOut;
} KSSTREAM_POINTER, *PKSSTREAM_POINTER;

typedef enum {
  KSSTREAM_POINTER_STATE_UNLOCKED = 0,
  KSSTREAM_POINTER_STATE_LOCKED = 1,
} KSSTREAM_POINTER_STATE;

typedef VOID (*PFNKSSTREAMPOINTER)(PKSSTREAM_POINTER StreamPointer);

// The pin-factory property request an intersect handler receives.
typedef struct {
  KSPROPERTY Property;
  ULONG PinId;
  ULONG Reserved;
} KSP_PIN, *PKSP_PIN;

typedef NTSTATUS (*PFNKSPINIRP)(PKSPIN Pin, PIRP Irp);
typedef NTSTATUS (*PFNKSPIN)(PKSPIN Pin);
typedef VOID (*PFNKSPINVOID)(PKSPIN Pin);
typedef NTSTATUS (*PFNKSPINSETDATAFORMAT)(PKSPIN Pin, PKSDATAFORMAT OldFormat, PVOID OldAttributeList,
                                          const KSDATARANGE* DataRange, const VOID* AttributeRange);
typedef NTSTATUS (*PFNKSPINSETDEVICESTATE)(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState);
// Called for a caller's range that matches one of the pin's ranges in its three GUIDs: writes the format of
// the best match to Data (DataBufferSize 0: only the size, with STATUS_BUFFER_OVERFLOW) and its size to
// *DataSize; STATUS_NO_MATCH when the ranges do not meet.
typedef NTSTATUS (*PFNKSINTERSECTHANDLEREX)(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                                            PKSDATARANGE MatchingDataRange, ULONG DataBufferSize, PVOID Data,
                                            PULONG DataSize);

typedef struct {
  PFNKSPINIRP Create;
  PFNKSPINIRP Close;
  PFNKSPIN Process;
  PFNKSPINVOID Reset;
  PFNKSPINSETDATAFORMAT SetDataFormat;
  PFNKSPINSETDEVICESTATE SetDeviceState;
  PFNKSPIN Connect;
  PFNKSPINVOID Disconnect;
  const VOID* Clock;
  const VOID* Allocator;
} KSPIN_DISPATCH, *PKSPIN_DISPATCH;

// Pin descriptor flags.
inline constexpr ULONG KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING = 0x00000010;
inline constexpr ULONG KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING = 0x00000040;
inline constexpr ULONG KSPIN_FLAG_GENERATE_MAPPINGS = 0x00000100;
inline constexpr ULONG KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY = 0x00010000;
inline constexpr ULONG KSPIN_FLAG_USE_STANDARD_TRANSPORT = 0x00040000;
inline constexpr ULONG KSPIN_FLAG_DO_NOT_USE_STANDARD_TRANSPORT = 0x00080000;
inline constexpr ULONG KSPIN_FLAG_FIXED_FORMAT = 0x00100000;

typedef struct _KSPIN_DESCRIPTOR_EX KSPIN_DESCRIPTOR_EX, *PKSPIN_DESCRIPTOR_EX;

struct _KSPIN_DESCRIPTOR_EX {
  const KSPIN_DISPATCH* Dispatch;
  const KSAUTOMATION_TABLE* AutomationTable;
  KSPIN_DESCRIPTOR PinDescriptor;
  ULONG Flags;
  ULONG InstancesPossible;
  ULONG InstancesNecessary;
  const KSALLOCATOR_FRAMING_EX* AllocatorFraming;
  PFNKSINTERSECTHANDLEREX IntersectHandler;
};

typedef struct {
  ULONG PriorityClass;
  ULONG PrioritySubClass;
} KSPRIORITY;

struct _KSPIN {
  const KSPIN_DESCRIPTOR_EX* Descriptor;
  PVOID Bag;
  PVOID Context;  // the minidriver's pin context
  ULONG Id;       // the pin factory's index in the filter descriptor
  KSPIN_COMMUNICATION Communication;
  BOOLEAN ConnectionIsExternal;
  KSPIN_INTERFACE ConnectionInterface;
  KSPIN_MEDIUM ConnectionMedium;
  KSPRIORITY ConnectionPriority;
  PKSDATAFORMAT ConnectionFormat;
  PVOID AttributeList;
  ULONG StreamHeaderSize;
  KSPIN_DATAFLOW DataFlow;
  KSSTATE DeviceState;
  ULONG ResetState;
  KSSTATE ClientState;
};

typedef struct _KSNODE_DESCRIPTOR {
  const KSAUTOMATION_TABLE* AutomationTable;
  const GUID* Type;
  const GUID* Name;
#if defined(_WIN64) || defined(__x86_64__) || defined(__aarch64__)
  PVOID Alignment;
#endif
} KSNODE_DESCRIPTOR, *PKSNODE_DESCRIPTOR;

// A connection of the filter's topology; KSFILTER_NODE stands for the filter's own pins.
typedef struct _KSTOPOLOGY_CONNECTION {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION, *PKSTOPOLOGY_CONNECTION;
inline constexpr ULONG KSFILTER_NODE = 0xFFFFFFFF;

// ---------------------------------------------------------------------------------------------------------
// Devices and filters

typedef struct _KSDEVICE KSDEVICE, *PKSDEVICE;
typedef struct _KSFILTER KSFILTER, *PKSFILTER;
typedef struct _KSFILTER_DESCRIPTOR KSFILTER_DESCRIPTOR, *PKSFILTER_DESCRIPTOR;
typedef struct _KSCOMPONENTID KSCOMPONENTID;
typedef PVOID KSOBJECT_BAG;

typedef NTSTATUS (*PFNKSDEVICECREATE)(PKSDEVICE Device);
typedef NTSTATUS (*PFNKSDEVICEPNPSTART)(PKSDEVICE Device, PIRP Irp, PCM_RESOURCE_LIST TranslatedResourceList,
                                        PCM_RESOURCE_LIST UntranslatedResourceList);
typedef NTSTATUS (*PFNKSDEVICE)(PKSDEVICE Device);
typedef NTSTATUS (*PFNKSDEVICEIRP)(PKSDEVICE Device, PIRP Irp);
typedef VOID (*PFNKSDEVICEIRPVOID)(PKSDEVICE Device, PIRP Irp);
typedef NTSTATUS (*PFNKSDEVICEQUERYCAPABILITIES)(PKSDEVICE Device, PIRP Irp, PDEVICE_CAPABILITIES Capabilities);
typedef NTSTATUS (*PFNKSDEVICEQUERYPOWER)(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE DeviceTo,
                                          DEVICE_POWER_STATE DeviceFrom, SYSTEM_POWER_STATE SystemTo,
                                          SYSTEM_POWER_STATE SystemFrom, POWER_ACTION Action);
typedef VOID (*PFNKSDEVICESETPOWER)(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE To, DEVICE_POWER_STATE From);

// The device callbacks in the class driver's slot order; a null slot gets the class driver's default.
typedef struct _KSDEVICE_DISPATCH {
  PFNKSDEVICECREATE Add;
  PFNKSDEVICEPNPSTART Start;
  PFNKSDEVICE PostStart;
  PFNKSDEVICEIRP QueryStop;
  PFNKSDEVICEIRPVOID CancelStop;
  PFNKSDEVICEIRPVOID Stop;
  PFNKSDEVICEIRP QueryRemove;
  PFNKSDEVICEIRPVOID CancelRemove;
  PFNKSDEVICEIRPVOID Remove;
  PFNKSDEVICEQUERYCAPABILITIES QueryCapabilities;
  PFNKSDEVICEIRPVOID SurpriseRemoval;
  PFNKSDEVICEQUERYPOWER QueryPower;
  PFNKSDEVICESETPOWER SetPower;
  PFNKSDEVICEIRP QueryInterface;
} KSDEVICE_DISPATCH, *PKSDEVICE_DISPATCH;

inline constexpr ULONG KSDEVICE_DESCRIPTOR_VERSION = 0x100;

typedef struct _KSDEVICE_DESCRIPTOR {
  const KSDEVICE_DISPATCH* Dispatch;
  ULONG FilterDescriptorsCount;
  const KSFILTER_DESCRIPTOR* const* FilterDescriptors;
  ULONG Version;
} KSDEVICE_DESCRIPTOR, *PKSDEVICE_DESCRIPTOR;

struct _KSDEVICE {
  const KSDEVICE_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;  // the minidriver's device context
  PDEVICE_OBJECT FunctionalDeviceObject;
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT NextDeviceObject;
  BOOLEAN Started;
  SYSTEM_POWER_STATE SystemPowerState;
  DEVICE_POWER_STATE DevicePowerState;
};

typedef NTSTATUS (*PFNKSFILTERIRP)(PKSFILTER Filter, PIRP Irp);
typedef NTSTATUS (*PFNKSFILTERPROCESS)(PKSFILTER Filter, PVOID Index);
typedef NTSTATUS (*PFNKSFILTERVOID)(PKSFILTER Filter);

typedef struct _KSFILTER_DISPATCH {
  PFNKSFILTERIRP Create;
  PFNKSFILTERIRP Close;
  PFNKSFILTERPROCESS Process;
  PFNKSFILTERVOID Reset;
} KSFILTER_DISPATCH, *PKSFILTER_DISPATCH;

inline constexpr ULONG KSFILTER_DESCRIPTOR_VERSION = 0xFFFFFFFF;

struct _KSFILTER_DESCRIPTOR {
  const KSFILTER_DISPATCH* Dispatch;
  const KSAUTOMATION_TABLE* AutomationTable;
  ULONG Version;
  ULONG Flags;
  const GUID* ReferenceGuid;
  ULONG PinDescriptorsCount;
  ULONG PinDescriptorSize;
  const KSPIN_DESCRIPTOR_EX* PinDescriptors;
  ULONG CategoriesCount;
  const GUID* Categories;
  ULONG NodeDescriptorsCount;
  ULONG NodeDescriptorSize;
  const KSNODE_DESCRIPTOR* NodeDescriptors;
  ULONG ConnectionsCount;
  const KSTOPOLOGY_CONNECTION* Connections;
  const KSCOMPONENTID* ComponentId;
};

typedef struct _KSFILTERFACTORY {
  const KSFILTER_DESCRIPTOR* FilterDescriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
} KSFILTERFACTORY, *PKSFILTERFACTORY;

typedef NTSTATUS (*PFNKSFILTERFACTORYPOWER)(PKSFILTERFACTORY FilterFactory, DEVICE_POWER_STATE State);

// Create-item flags of a filter factory.
inline constexpr ULONG KSCREATE_ITEM_SECURITYCHANGED = 0x00000001;
inline constexpr ULONG KSCREATE_ITEM_WILDCARD = 0x00000002;
inline constexpr ULONG KSCREATE_ITEM_NOPARAMETERS = 0x00000004;
inline constexpr ULONG KSCREATE_ITEM_FREEONSTOP = 0x00000008;

struct _KSFILTER {
  const KSFILTER_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;  // the minidriver's filter context
};

// Bus data spaces for KsDeviceSetBusData.
inline constexpr ULONG PCI_WHICHSPACE_CONFIG = 0x0;
inline constexpr ULONG PCI_WHICHSPACE_ROM = 0x52696350;

typedef struct _ADAPTER_OBJECT* PADAPTER_OBJECT;

// ---------------------------------------------------------------------------------------------------------
// Services

// Called from DriverEntry: registers the device descriptor whose dispatch table the class driver calls.
NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                            const KSDEVICE_DESCRIPTOR* Descriptor);
// The device mutex: serialises the minidriver's work on the device's object hierarchy. Passive level;
// every acquire is paired with a release before the callback that took it returns.
VOID KsAcquireDevice(PKSDEVICE Device);
VOID KsReleaseDevice(PKSDEVICE Device);
// The device a KS object (device, filter, pin) belongs to; null for anything else.
PKSDEVICE KsGetDevice(PVOID Object);
// The filter a request packet was sent to (a pin's parent filter for a request to a pin); null otherwise.
PKSFILTER KsGetFilterFromIrp(PIRP Irp);
// Gives the class driver the DMA adapter whose scatter/gather mappings it builds for the device's pins.
VOID KsDeviceRegisterAdapterObject(PKSDEVICE Device, PADAPTER_OBJECT AdapterObject, ULONG MaxMappingsByteCount,
                                   ULONG MappingTableStride);
// Writes the device's bus data (PCI configuration space); returns the bytes written.
ULONG KsDeviceSetBusData(PKSDEVICE Device, ULONG DataType, PVOID Buffer, ULONG Offset, ULONG Length);
// Registers a filter that has no KS pins (its pins exist only as mediums for the graph builder) under an
// interface category of the physical device.
NTSTATUS KsRegisterFilterWithNoKSPins(PDEVICE_OBJECT DeviceObject, const GUID* InterfaceClassGUID, ULONG PinCount,
                                      BOOL* PinDirection, KSPIN_MEDIUM* MediumList, GUID* CategoryList KSITE_PARAM);
// Creates a filter factory on the device (functional device object) for the descriptor; with
// KSCREATE_ITEM_FREEONSTOP the class driver deletes it when the device stops.
NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject, const KSFILTER_DESCRIPTOR* Descriptor, PWSTR RefString,
                               PVOID SecurityDescriptor, ULONG CreateItemFlags, PFNKSFILTERFACTORYPOWER SleepCallback,
                               PFNKSFILTERFACTORYPOWER WakeCallback, PKSFILTERFACTORY* FilterFactory KSITE_PARAM);
// Writes the factory's pin and medium data to the registry cache the graph builders read (null descriptor:
// the factory's own).
NTSTATUS KsFilterFactoryUpdateCacheData(PKSFILTERFACTORY FilterFactory, const KSFILTER_DESCRIPTOR* FilterDescriptor);

// Replaces *PointerToPointerToItem by a copy of its first OldSize bytes in NewSize bytes (the rest zeroed),
// allocated from the pool with Tag and freed with the object that owns ObjectBag (filter or pin); an item
// already copied into that bag is not copied again. Passive level; STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize, ULONG OldSize,
                 ULONG Tag KSITE_PARAM);
// The filter a pin belongs to.
PKSFILTER KsPinGetParentFilter(PKSPIN Pin);
// The pin's leading edge: the first frame not yet handed to the minidriver; null when the queue holds
// none. Up to DISPATCH_LEVEL.
PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State);
// A clone of a locked stream pointer on the same frame, with ContextSize zeroed bytes at Context. The frame
// is not completed while a clone refers to it. Up to DISPATCH_LEVEL.
NTSTATUS KsStreamPointerClone(PKSSTREAM_POINTER StreamPointer, PFNKSSTREAMPOINTER CancelCallback, ULONG ContextSize,
                              PKSSTREAM_POINTER* CloneStreamPointer);
// Moves the pointer to the next frame of the queue; STATUS_DEVICE_NOT_READY (the pointer is left
// unlocked) when there is none yet. Up to DISPATCH_LEVEL.
NTSTATUS KsStreamPointerAdvance(PKSSTREAM_POINTER StreamPointer);
VOID KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject);
// Deletes a clone; its frame completes when nothing refers to it any more. Up to DISPATCH_LEVEL.
VOID KsStreamPointerDelete(PKSSTREAM_POINTER StreamPointer);
// The pin's clones in the order they were made.
PKSSTREAM_POINTER KsPinGetFirstCloneStreamPointer(PKSPIN Pin);
PKSSTREAM_POINTER KsStreamPointerGetNextClone(PKSSTREAM_POINTER StreamPointer);

// The pin a request packet was sent to; null for a request to a filter or anything else.
PKSPIN KsGetPinFromIrp(PIRP Irp);

// Object hierarchy: the children of a filter factory are its filters, in the order they were created.
// The caller holds the device mutex (KsAcquireDevice) while it walks. Null when there is no child or no
// further sibling.
PVOID KsGetFirstChild(PVOID Object);
PVOID KsGetNextSibling(PVOID Object);

// The filter's control mutex, which serialises the filter's pins' creation, closing and state changes with
// the minidriver's walks over them. Passive level.
VOID KsFilterAcquireControl(PKSFILTER Filter);
VOID KsFilterReleaseControl(PKSFILTER Filter);
// The first open pin of pin factory PinId of the filter; null when none is open. The caller holds the
// filter's control mutex.
PKSPIN KsFilterGetFirstChildPin(PKSFILTER Filter, ULONG PinId);

// ---------------------------------------------------------------------------------------------------------
// Reference clock

typedef LONGLONG* PLONGLONG;

typedef struct {
  LONGLONG Granularity;
  LONGLONG Error;
} KSRESOLUTION, *PKSRESOLUTION;

// The clock the graph assigned to a pin: stream time in 100 ns units. The correlated reads return the time
// together with the system time (the performance counter in 100 ns units) at which it was read.
class IKsReferenceClock {
 public:
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
  virtual LONGLONG GetTime() = 0;
  virtual LONGLONG GetPhysicalTime() = 0;
  virtual LONGLONG GetCorrelatedTime(PLONGLONG SystemTime) = 0;
  virtual LONGLONG GetCorrelatedPhysicalTime(PLONGLONG SystemTime) = 0;
  virtual NTSTATUS GetResolution(PKSRESOLUTION Resolution) = 0;
  virtual NTSTATUS GetState(KSSTATE* State) = 0;

 protected:
  ~IKsReferenceClock() = default;
};
typedef IKsReferenceClock* PIKSREFERENCECLOCK;

// The pin's reference clock with a reference the caller releases (Release); STATUS_DEVICE_NOT_READY when
// the graph assigned the pin no clock. Passive level.
NTSTATUS KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface);
