#include "driver/filters.h"

#include "driver/aux_pin.h"
#include "driver/capture_pins.h"
#include "driver/capture_properties.h"
#include "driver/decoders.h"
#include "driver/device.h"
#include "driver/encoder_settings.h"

namespace pelgar {
namespace {

// clang-format off
constexpr GUID kVideoCaptureReference = {0x9B365890, 0x165F, 0x11D0, {0xA1, 0x95, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4}};
constexpr GUID kTvAudioReference      = {0xBD5227E3, 0x96BB, 0x4172, {0x9C, 0xD3, 0xD0, 0x7B, 0x25, 0xFA, 0xC0, 0x1A}};
constexpr GUID kCrossbarReference     = {0xE4E33899, 0x8D15, 0x47D1, {0xBE, 0xCC, 0x11, 0x38, 0x83, 0xD0, 0xBB, 0xC9}};
constexpr GUID kTunerReference        = {0xEBE24D78, 0xF037, 0x4932, {0xB8, 0x79, 0xCC, 0xEF, 0xEF, 0xE7, 0x87, 0x50}};

constexpr GUID kCategoryEncoder  = {0x19689BF6, 0xC384, 0x48FD, {0xAD, 0x51, 0x90, 0xE5, 0x8C, 0x79, 0xF7, 0x0B}};
constexpr GUID kCategoryMultiplexer = {0x7A5DE1D3, 0x01A1, 0x452C, {0xB4, 0x81, 0x4F, 0xA2, 0xB9, 0x62, 0x71, 0xE8}};

// Pin names and categories.
constexpr GUID kEncoderVideoIn      = {0x0E49C928, 0xC95B, 0x4E72, {0xB1, 0xA5, 0xA1, 0xB9, 0xEA, 0x79, 0xEB, 0x6B}};
constexpr GUID kEncoderMpegName     = {0x0336609B, 0x16B8, 0x420B, {0x9A, 0x6F, 0xE6, 0x5B, 0xB0, 0x34, 0x47, 0xBA}};
constexpr GUID kEncoderAuxCategory  = {0xE298342F, 0xF60B, 0x4C61, {0x9C, 0x0D, 0x4E, 0xDA, 0xCD, 0xA8, 0x00, 0x7F}};
constexpr GUID kAudioIn             = {0x3E2D189F, 0xB15C, 0x4447, {0x96, 0xF1, 0xBD, 0x1D, 0x64, 0xFB, 0x99, 0xBA}};
constexpr GUID kAudioCaptureName    = {0x9DA02733, 0x7910, 0x40F2, {0x95, 0xDD, 0x04, 0x41, 0x67, 0x6C, 0x9A, 0x9B}};
constexpr GUID kHandOverCategory    = {0x4EF89945, 0x4D43, 0x48D7, {0xA4, 0x42, 0xA1, 0xB4, 0xE7, 0x81, 0x30, 0x36}};

// Mediums: the crossbar's decoder outputs into the video capture filter, and the video capture filter's
// format hand-over to the encoder filter.
constexpr GUID kMediumCrossbarVideo = {0x0F8ED061, 0xF820, 0x4A1F, {0x98, 0x22, 0xEA, 0xAE, 0x04, 0x3A, 0x19, 0xAB}};
constexpr GUID kMediumCrossbarAudio = {0xF8ED06F0, 0xF820, 0x4A1F, {0x98, 0x22, 0xEA, 0xAE, 0x04, 0x3A, 0x19, 0xAB}};
constexpr GUID kMediumEncoderVideo  = {0x0F8ED065, 0xF820, 0x4A1F, {0x98, 0x22, 0xEA, 0xAE, 0x04, 0x3A, 0x19, 0xAB}};

// Formats.
// clang-format on

// The allocator framing every stream pin starts from and edits for itself at creation.
const KSALLOCATOR_FRAMING_EX kAllocatorFraming = {1,
                                                  0,
                                                  {1, 1, 0},
                                                  0,
                                                  {{KSMEMORY_TYPE_KERNEL_NONPAGED,
                                                    {},
                                                    0,
                                                    0,
                                                    0x80000002,
                                                    2,
                                                    0,
                                                    0,
                                                    {0, 0xFFFFFFFF, 1},
                                                    {{0x2000, 0x2000, 1}, 0, 0}}}};

KSDATARANGE kMpegRange = {{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_STREAM, MEDIASUBTYPE_MPEG2_PROGRAM,
                           KSDATAFORMAT_SPECIFIER_NONE}};
KSDATARANGE kAuxRange = {
    {sizeof(KSDATARANGE), 0, 0, 0, kAuxRecordsType, KSDATAFORMAT_SUBTYPE_NONE, KSDATAFORMAT_SPECIFIER_NONE}};
const PKSDATARANGE kMpegRanges[] = {&kMpegRange};
const PKSDATARANGE kAuxRanges[] = {&kAuxRange};
const PKSDATARANGE kEncoderVideoRanges[] = {
    &kVideoRanges[kNvp2Range525].DataRange, &kVideoRanges[kNvp1Range525].DataRange,
    &kVideoRanges[kNvp2Range625].DataRange, &kVideoRanges[kNvp1Range625].DataRange};
const PKSDATARANGE kPcmRanges[] = {&kPcmRange.DataRange};
const PKSDATARANGE kVbiRanges[] = {&kVbiRange525.DataRange, &kVbiRange625.DataRange};
const PKSDATARANGE kAnalogVideoRanges[] = {&kAnalogVideoRange.DataRange};
const PKSDATARANGE kAnalogAudioRanges[] = {&kAnalogAudioRange};
// Pins 2 and 5 of the video capture filter: one of the four video ranges, chosen in each filter's own copy.
const PKSDATARANGE kSwitchedRanges[] = {&kVideoRanges[kNvp2Range525].DataRange};

// Mediums whose Id is the card's instance number, written into the filter's own copy at creation.
const KSPIN_MEDIUM kEncoderVideoMedium = {kMediumEncoderVideo, 0, 0};
const KSPIN_MEDIUM kCrossbarVideoMedium = {kMediumCrossbarVideo, 0, 0};
const KSPIN_MEDIUM kCrossbarAudioMedium = {kMediumCrossbarAudio, 0, 0};

constexpr KSPIN_DESCRIPTOR_EX Pin(const KSPIN_DISPATCH* dispatch, KSPIN_DATAFLOW flow,
                                  KSPIN_COMMUNICATION communication, const GUID* category, const GUID* name,
                                  ULONG flags, ULONG necessary, const KSPIN_MEDIUM* medium, ULONG rangeCount,
                                  const PKSDATARANGE* ranges, const KSALLOCATOR_FRAMING_EX* framing,
                                  PFNKSINTERSECTHANDLEREX intersect, const KSAUTOMATION_TABLE* automation = nullptr) {
  return {dispatch,
          automation,
          {0, nullptr, medium ? 1u : 0u, medium, rangeCount, ranges, flow, communication, category, name, 0},
          flags,
          1,
          necessary,
          framing,
          intersect};
}

const KSPIN_DESCRIPTOR_EX kEncoderPins[] = {
    // 0: the video capture filter's internal format comes in here (format only, no data).
    Pin(&kEncoderVideoInDispatch, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BOTH, &kEncoderVideoIn, &kEncoderVideoIn,
        0x80040, 1, &kEncoderVideoMedium, kVideoRangeCount, kEncoderVideoRanges, &kAllocatorFraming, nullptr),
    // 1: the MPEG program stream, stream index 0.
    Pin(&kMpegPinDispatch, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, &PINNAME_VIDEO_CAPTURE, &kEncoderMpegName,
        0x100, 0, nullptr, 1, kMpegRanges, &kAllocatorFraming, MpegPin::Intersect),
    // 2: the auxiliary records, stream index 4.
    Pin(&kAuxPinDispatch, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, &kEncoderAuxCategory, &kEncoderAuxCategory,
        0x10, 0, nullptr, 1, kAuxRanges, &kAllocatorFraming, AuxPin::Intersect),
};

// Pins of the video capture filter.
enum : ULONG {
  kAnalogVideoInPin = 0,
  kAnalogAudioInPin = 1,
  kRawVideoPin = 2,
  kRawAudioPin = 3,
  kVbiPin = 4,
  kHandOverPin = 5,
  kVideoCapturePins = 6
};

const KSPIN_DESCRIPTOR_EX kVideoCapturePinDescriptors[kVideoCapturePins] = {
    // 0: the crossbar's video decoder output; takes the tuner's change notices.
    Pin(&kAnalogVideoInDispatch, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BOTH, &PINNAME_VIDEO_ANALOGVIDEOIN,
        &PINNAME_VIDEO_ANALOGVIDEOIN, 0x40000, 1, &kCrossbarVideoMedium, 1, kAnalogVideoRanges, nullptr, nullptr),
    // 1: the crossbar's audio decoder output.
    Pin(nullptr, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BOTH, &kAudioIn, &kAudioIn, 0, 0, &kCrossbarAudioMedium, 1,
        kAnalogAudioRanges, &kAllocatorFraming, nullptr),
    // 2: raw video, stream index 1.
    Pin(&kRawVideoPinDispatch, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, &PINNAME_VIDEO_CAPTURE,
        &PINNAME_VIDEO_CAPTURE, 0x110, 0, nullptr, 1, kSwitchedRanges, &kAllocatorFraming, RawVideoPin::Intersect,
        &kDroppedFramesAutomationTable),
    // 3: raw audio, stream index 2.
    Pin(&kRawAudioPinDispatch, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, &PINNAME_VIDEO_CAPTURE,
        &kAudioCaptureName, 0x10, 0, nullptr, 1, kPcmRanges, &kAllocatorFraming, RawAudioPin::Intersect),
    // 4: VBI, stream index 3.
    Pin(&kVbiPinDispatch, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, &PINNAME_VIDEO_VBI, &PINNAME_VIDEO_VBI, 0x10,
        0, nullptr, 2, kVbiRanges, &kAllocatorFraming, VbiPin::Intersect, &kDroppedFramesAutomationTable),
    // 5: the internal format handed over to the encoder filter (format only, no data).
    Pin(nullptr, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, &kHandOverCategory, &kHandOverCategory, 0x80040, 0,
        &kEncoderVideoMedium, 1, kSwitchedRanges, nullptr, HandOverIntersect),
};

const KSPIN_DESCRIPTOR_EX kAudioCapturePins[] = {
    // 0: the bridge from the card's audio input.
    Pin(nullptr, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, &kAudioIn, &kAudioIn, 0x80000, 0, nullptr, 0, nullptr,
        &kAllocatorFraming, nullptr),
    // 1: raw audio, stream index 2.
    Pin(&kRawAudioPinDispatch, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, &PINNAME_VIDEO_CAPTURE,
        &kAudioCaptureName, 0x100010, 0, nullptr, 1, kPcmRanges, &kAllocatorFraming, RawAudioPin::Intersect),
};

constexpr KSNODE_DESCRIPTOR Node(const GUID* type) {
  KSNODE_DESCRIPTOR node{};
  node.Type = type;
  return node;
}
const KSNODE_DESCRIPTOR kAudioCaptureNodes[] = {Node(&KSNODETYPE_DEV_SPECIFIC)};
const KSTOPOLOGY_CONNECTION kAudioCaptureConnections[] = {{KSFILTER_NODE, 0, 0, 1}, {0, 0, KSFILTER_NODE, 1}};

// The placeholder pins of the TV audio, crossbar and tuner filters; their real pins are registered as
// mediums.
const KSPIN_DESCRIPTOR_EX kTvAudioPins[] = {
    Pin(nullptr, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BOTH, nullptr, nullptr, 0x180040, 1, nullptr, 0, nullptr,
        &kAllocatorFraming, nullptr),
    Pin(nullptr, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, nullptr, nullptr, 0x180040, 1, nullptr, 0, nullptr,
        &kAllocatorFraming, nullptr),
};
const KSPIN_DESCRIPTOR_EX kPlaceholderOutPin[] = {Pin(nullptr, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, nullptr,
                                                      nullptr, 0x80040, 0, nullptr, 0, nullptr, &kAllocatorFraming,
                                                      nullptr)};

// The pin descriptors of a filter's own copy of its descriptor.
KSPIN_DESCRIPTOR_EX* EditablePins(PKSFILTER filter) {
  return const_cast<KSPIN_DESCRIPTOR_EX*>(filter->Descriptor->PinDescriptors);
}

// Gives the filter its own copy of its descriptor and pin descriptors.
NTSTATUS EditFilterDescriptor(PKSFILTER filter) {
  NTSTATUS status =
      _KsEdit(filter->Bag, reinterpret_cast<PVOID*>(const_cast<KSFILTER_DESCRIPTOR**>(&filter->Descriptor)),
              sizeof(KSFILTER_DESCRIPTOR), sizeof(KSFILTER_DESCRIPTOR), kPinEditTag);
  if (!NT_SUCCESS(status)) return status;
  auto* descriptor = const_cast<KSFILTER_DESCRIPTOR*>(filter->Descriptor);
  const ULONG pinBytes = descriptor->PinDescriptorsCount * descriptor->PinDescriptorSize;
  return _KsEdit(filter->Bag,
                 reinterpret_cast<PVOID*>(const_cast<KSPIN_DESCRIPTOR_EX**>(&descriptor->PinDescriptors)), pinBytes,
                 pinBytes, kPinEditTag);
}

// Writes the card's instance number into the medium of pin `id` of the filter's own copy.
NTSTATUS SetMediumInstance(PKSFILTER filter, ULONG id, ULONG instance) {
  KSPIN_DESCRIPTOR& pin = EditablePins(filter)[id].PinDescriptor;
  NTSTATUS status = _KsEdit(filter->Bag, reinterpret_cast<PVOID*>(const_cast<KSPIN_MEDIUM**>(&pin.Mediums)),
                            sizeof(KSPIN_MEDIUM), sizeof(KSPIN_MEDIUM), kPinEditTag);
  if (NT_SUCCESS(status)) const_cast<KSPIN_MEDIUM*>(pin.Mediums)->Id = instance;
  return status;
}

// Encoder filter Create: pin 0's medium carries the card's instance number, in the filter's own copy of
// its descriptor.
NTSTATUS EncoderFilterCreate(PKSFILTER filter, PIRP irp) {
  PelgarDevice* device = DeviceFromIrp(irp);
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  NTSTATUS status = EditFilterDescriptor(filter);
  if (NT_SUCCESS(status)) status = SetMediumInstance(filter, 0, device->instance);
  return status;
}

constexpr ULONG kSwitchedPins[] = {kRawVideoPin, kHandOverPin};
constexpr ULONG kInstanceMediumPins[] = {kAnalogVideoInPin, kAnalogAudioInPin, kHandOverPin};

// The video capture filter's context marks a filter whose own descriptor copy is complete, so the range
// switch may write into it.
constexpr ULONG kVideoCaptureContextReady = 1;

// Writes the video range the card's stream type and standard select into pins 2 and 5 of the filter's copy.
void SelectFilterRanges(PKSFILTER filter, PelgarDevice* device) {
  const bool half = device->settings != nullptr && device->settings->IsHalfHeight();
  const bool is525 = CardIs525(device);
  PKSDATARANGE range = &kVideoRanges[SelectVideoRange(half, is525)].DataRange;
  for (ULONG id : kSwitchedPins)
    const_cast<PKSDATARANGE*>(EditablePins(filter)[id].PinDescriptor.DataRanges)[0] = range;
}

NTSTATUS VideoCaptureFilterCreate(PKSFILTER filter, PIRP irp) {
  PelgarDevice* device = DeviceFromIrp(irp);
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  auto* context = static_cast<PULONG>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ULONG), kPinEditTag));
  if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = EditFilterDescriptor(filter);
  for (ULONG id : kInstanceMediumPins)
    if (NT_SUCCESS(status)) status = SetMediumInstance(filter, id, device->instance);
  for (ULONG id : kSwitchedPins) {
    if (!NT_SUCCESS(status)) break;
    KSPIN_DESCRIPTOR& pin = EditablePins(filter)[id].PinDescriptor;
    status = _KsEdit(filter->Bag, reinterpret_cast<PVOID*>(const_cast<PKSDATARANGE**>(&pin.DataRanges)),
                     sizeof(PKSDATARANGE), sizeof(PKSDATARANGE), kPinEditTag);
  }
  if (!NT_SUCCESS(status)) {
    ExFreePool(context);
    return status;
  }
  SelectFilterRanges(filter, device);
  *context = kVideoCaptureContextReady;
  filter->Context = context;
  return STATUS_SUCCESS;
}

NTSTATUS VideoCaptureFilterClose(PKSFILTER filter, PIRP) {
  if (filter->Context != nullptr) ExFreePool(filter->Context);
  filter->Context = nullptr;
  return STATUS_SUCCESS;
}

const KSFILTER_DISPATCH kEncoderFilterDispatch = {EncoderFilterCreate, nullptr, nullptr, nullptr};
const KSFILTER_DISPATCH kVideoCaptureFilterDispatch = {VideoCaptureFilterCreate, VideoCaptureFilterClose, nullptr,
                                                       nullptr};
constexpr GUID kEncoderCategories[] = {kCategoryEncoder, kCategoryMultiplexer};
constexpr GUID kVideoCaptureCategories[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};
constexpr GUID kAudioCaptureCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE};

template <ULONG N>
constexpr KSFILTER_DESCRIPTOR Filter(const KSFILTER_DISPATCH* dispatch, const KSAUTOMATION_TABLE* automation,
                                     const GUID* reference, const KSPIN_DESCRIPTOR_EX (&pins)[N], ULONG categories,
                                     const GUID* category) {
  return {dispatch,
          automation,
          KSFILTER_DESCRIPTOR_VERSION,
          0,
          reference,
          N,
          sizeof(KSPIN_DESCRIPTOR_EX),
          pins,
          categories,
          category,
          0,
          0,
          nullptr,
          0,
          nullptr,
          nullptr};
}

const KSFILTER_DESCRIPTOR kTvAudioFilterDescriptor =
    Filter(nullptr, nullptr, &kTvAudioReference, kTvAudioPins, 1, &KSCATEGORY_TVAUDIO);
const KSFILTER_DESCRIPTOR kCrossbarFilterDescriptor =
    Filter(nullptr, nullptr, &kCrossbarReference, kPlaceholderOutPin, 1, &KSCATEGORY_CROSSBAR);
const KSFILTER_DESCRIPTOR kTunerFilterDescriptor =
    Filter(nullptr, nullptr, &kTunerReference, kPlaceholderOutPin, 1, &KSCATEGORY_TVTUNER);

}  // namespace

const KSFILTER_DESCRIPTOR kVideoCaptureFilterDescriptor =
    Filter(&kVideoCaptureFilterDispatch, &kVideoCaptureAutomationTable, &kVideoCaptureReference,
           kVideoCapturePinDescriptors, 2, kVideoCaptureCategories);

namespace {
// The dynamic factories in creation order; the first (video capture) is the one the device remembers.
const KSFILTER_DESCRIPTOR* const kDynamicFilters[] = {&kVideoCaptureFilterDescriptor, &kTvAudioFilterDescriptor,
                                                      &kCrossbarFilterDescriptor, &kTunerFilterDescriptor};
}  // namespace

const KSFILTER_DESCRIPTOR kEncoderFilterDescriptor = Filter(&kEncoderFilterDispatch, &kEncoderAutomationTable,
                                                            &kEncoderReference, kEncoderPins, 2, kEncoderCategories);

const KSFILTER_DESCRIPTOR kAudioCaptureFilterDescriptor = {nullptr,
                                                           nullptr,
                                                           KSFILTER_DESCRIPTOR_VERSION,
                                                           0,
                                                           &kAudioCaptureReference,
                                                           sizeof kAudioCapturePins / sizeof kAudioCapturePins[0],
                                                           sizeof(KSPIN_DESCRIPTOR_EX),
                                                           kAudioCapturePins,
                                                           2,
                                                           kAudioCaptureCategories,
                                                           1,
                                                           sizeof(KSNODE_DESCRIPTOR),
                                                           kAudioCaptureNodes,
                                                           2,
                                                           kAudioCaptureConnections,
                                                           nullptr};

const KSFILTER_DESCRIPTOR& TvAudioFilterDescriptor() { return kTvAudioFilterDescriptor; }
const KSFILTER_DESCRIPTOR& CrossbarFilterDescriptor() { return kCrossbarFilterDescriptor; }
const KSFILTER_DESCRIPTOR& TunerFilterDescriptor() { return kTunerFilterDescriptor; }

void SwitchCaptureRanges(PelgarDevice* device) {
  if (device->firstFactory == nullptr || device->ksDevice == nullptr) return;
  KsAcquireDevice(device->ksDevice);
  for (PVOID child = KsGetFirstChild(device->firstFactory); child != nullptr; child = KsGetNextSibling(child)) {
    auto* filter = static_cast<PKSFILTER>(child);
    const auto* ready = static_cast<const ULONG*>(filter->Context);
    if (ready != nullptr && *ready == kVideoCaptureContextReady) SelectFilterRanges(filter, device);
  }
  KsReleaseDevice(device->ksDevice);
}

NTSTATUS CreateFilterFactories(PelgarDevice* device) {
  for (const KSFILTER_DESCRIPTOR* descriptor : kDynamicFilters) {
    PKSFILTERFACTORY factory = nullptr;
    NTSTATUS status = KsCreateFilterFactory(device->ksDevice->FunctionalDeviceObject, descriptor, nullptr, nullptr,
                                            KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, &factory);
    if (!NT_SUCCESS(status)) return status;
    status = KsFilterFactoryUpdateCacheData(factory, nullptr);
    if (!NT_SUCCESS(status)) return status;
    if (device->firstFactory == nullptr) device->firstFactory = factory;
  }
  return STATUS_SUCCESS;
}

}  // namespace pelgar
