// The kernel-streaming class driver's services and structures as a minidriver sees them, with the
// platform's own names, field order and argument order: driver and device initialisation, the device
// dispatch table, the device mutex, bus data, adapter registration, filter registration without pins,
// plug-and-play resource lists, power states, and property items, sets and automation tables.
// Pins, stream pointers and filter factories join here with the stream handling.
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
// Devices and filters

typedef struct _KSDEVICE KSDEVICE, *PKSDEVICE;
typedef struct _KSFILTER KSFILTER, *PKSFILTER;
typedef struct _KSFILTER_DESCRIPTOR KSFILTER_DESCRIPTOR, *PKSFILTER_DESCRIPTOR;
typedef struct _KSPIN_DESCRIPTOR_EX KSPIN_DESCRIPTOR_EX;  // with the stream handling
typedef struct _KSNODE_DESCRIPTOR KSNODE_DESCRIPTOR;
typedef struct _KSTOPOLOGY_CONNECTION KSTOPOLOGY_CONNECTION;
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
// The device a KS object (device, filter) belongs to; null for anything else.
PKSDEVICE KsGetDevice(PVOID Object);
// The filter a request packet was sent to; null when it was not sent to a filter.
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
