#include "driver/filters.h"

#include "driver/aux_pin.h"
#include "driver/device.h"
#include "driver/encoder_settings.h"
#include "driver/stream_pin.h"

namespace pelgar {
namespace {

// clang-format off
constexpr GUID kEncoderReference      = {0x03688831, 0x8667, 0x4C61, {0xB5, 0xD6, 0x4A, 0x36, 0x1F, 0x02, 0x5D, 0x2D}};
constexpr GUID kAudioCaptureReference = {0xAB766B70, 0xAFB3, 0x4461, {0xA4, 0xDE, 0x22, 0xE9, 0xC5, 0x16, 0xB7, 0xFE}};
constexpr GUID kVideoCaptureReference = {0x9B365890, 0x165F, 0x11D0, {0xA1, 0x95, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4}};
constexpr GUID kTvAudioReference      = {0xBD5227E3, 0x96BB, 0x4172, {0x9C, 0xD3, 0xD0, 0x7B, 0x25, 0xFA, 0xC0, 0x1A}};
constexpr GUID kCrossbarReference     = {0xE4E33899, 0x8D15, 0x47D1, {0xBE, 0xCC, 0x11, 0x38, 0x83, 0xD0, 0xBB, 0xC9}};
constexpr GUID kTunerReference        = {0xEBE24D78, 0xF037, 0x4932, {0xB8, 0x79, 0xCC, 0xEF, 0xEF, 0xE7, 0x87, 0x50}};

constexpr GUID kCategoryVideo    = {0x6994AD05, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kCategoryCapture  = {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kCategoryTvAudio  = {0xA799A802, 0xA46D, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4}};
constexpr GUID kCategoryCrossbar = {0xA799A801, 0xA46D, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4}};
constexpr GUID kCategoryTvTuner  = {0xA799A800, 0xA46D, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4}};
constexpr GUID kCategoryEncoder  = {0x19689BF6, 0xC384, 0x48FD, {0xAD, 0x51, 0x90, 0xE5, 0x8C, 0x79, 0xF7, 0x0B}};
constexpr GUID kCategoryMultiplexer = {0x7A5DE1D3, 0x01A1, 0x452C, {0xB4, 0x81, 0x4F, 0xA2, 0xB9, 0x62, 0x71, 0xE8}};

// Pin names and categories.
constexpr GUID kPinNameVideoCapture = {0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
constexpr GUID kEncoderVideoIn      = {0x0E49C928, 0xC95B, 0x4E72, {0xB1, 0xA5, 0xA1, 0xB9, 0xEA, 0x79, 0xEB, 0x6B}};
constexpr GUID kEncoderMpegName     = {0x0336609B, 0x16B8, 0x420B, {0x9A, 0x6F, 0xE6, 0x5B, 0xB0, 0x34, 0x47, 0xBA}};
constexpr GUID kEncoderAuxCategory  = {0xE298342F, 0xF60B, 0x4C61, {0x9C, 0x0D, 0x4E, 0xDA, 0xCD, 0xA8, 0x00, 0x7F}};

// Mediums: the video capture filter's format hand-over to the encoder filter.
constexpr GUID kMediumEncoderVideo  = {0x0F8ED065, 0xF820, 0x4A1F, {0x98, 0x22, 0xEA, 0xAE, 0x04, 0x3A, 0x19, 0xAB}};

// Formats.
constexpr GUID kFormatTypeStream    = {0xE436EB83, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr GUID kSubtypeMpeg2Program = {0xE06D8022, 0xDB46, 0x11CF, {0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA}};
constexpr GUID kSubtypeNone         = {0xE436EB8E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr GUID kSpecifierNone       = {0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kAuxRecordsType      = {0x2F67CE98, 0xF841, 0x4D3E, {0xA4, 0xB4, 0x8A, 0xEB, 0xCE, 0xDB, 0x40, 0x6B}};
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

KSDATARANGE kMpegRange = {{sizeof(KSDATARANGE), 0, 0, 0, kFormatTypeStream, kSubtypeMpeg2Program, kSpecifierNone}};
KSDATARANGE kAuxRange = {{sizeof(KSDATARANGE), 0, 0, 0, kAuxRecordsType, kSubtypeNone, kSpecifierNone}};
const PKSDATARANGE kMpegRanges[] = {&kMpegRange};
const PKSDATARANGE kAuxRanges[] = {&kAuxRange};

// Pin 0's medium Id is the card's instance number, written into the filter's own copy at creation.
const KSPIN_MEDIUM kEncoderVideoMedium = {kMediumEncoderVideo, 0, 0};

constexpr KSPIN_DESCRIPTOR_EX Pin(const KSPIN_DISPATCH* dispatch, KSPIN_DATAFLOW flow,
                                  KSPIN_COMMUNICATION communication, const GUID* category, const GUID* name,
                                  ULONG flags, ULONG necessary, const KSPIN_MEDIUM* medium, ULONG rangeCount,
                                  const PKSDATARANGE* ranges, const KSALLOCATOR_FRAMING_EX* framing,
                                  PFNKSINTERSECTHANDLEREX intersect) {
  return {dispatch,
          nullptr,
          {0, nullptr, medium ? 1u : 0u, medium, rangeCount, ranges, flow, communication, category, name, 0},
          flags,
          1,
          necessary,
          framing,
          intersect};
}

const KSPIN_DESCRIPTOR_EX kEncoderPins[] = {
    // 0: the video capture filter's internal format comes in here (format only, no data).
    Pin(nullptr, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BOTH, &kEncoderVideoIn, &kEncoderVideoIn, 0x80040, 1,
        &kEncoderVideoMedium, 0, nullptr, &kAllocatorFraming, nullptr),
    // 1: the MPEG program stream, stream index 0.
    Pin(&kMpegPinDispatch, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, &kPinNameVideoCapture, &kEncoderMpegName,
        0x100, 0, nullptr, 1, kMpegRanges, &kAllocatorFraming, MpegPin::Intersect),
    // 2: the auxiliary records, stream index 4.
    Pin(&kAuxPinDispatch, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, &kEncoderAuxCategory, &kEncoderAuxCategory,
        0x10, 0, nullptr, 1, kAuxRanges, &kAllocatorFraming, AuxPin::Intersect),
};

// Encoder filter Create: pin 0's medium carries the card's instance number, in the filter's own copy of
// its descriptor.
NTSTATUS EncoderFilterCreate(PKSFILTER filter, PIRP irp) {
  PelgarDevice* device = DeviceFromIrp(irp);
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  NTSTATUS status =
      _KsEdit(filter->Bag, reinterpret_cast<PVOID*>(const_cast<KSFILTER_DESCRIPTOR**>(&filter->Descriptor)),
              sizeof(KSFILTER_DESCRIPTOR), sizeof(KSFILTER_DESCRIPTOR), kPinEditTag);
  if (!NT_SUCCESS(status)) return status;
  auto* descriptor = const_cast<KSFILTER_DESCRIPTOR*>(filter->Descriptor);
  const ULONG pinBytes = descriptor->PinDescriptorsCount * descriptor->PinDescriptorSize;
  status =
      _KsEdit(filter->Bag, reinterpret_cast<PVOID*>(const_cast<KSPIN_DESCRIPTOR_EX**>(&descriptor->PinDescriptors)),
              pinBytes, pinBytes, kPinEditTag);
  if (!NT_SUCCESS(status)) return status;
  KSPIN_DESCRIPTOR& videoIn = const_cast<KSPIN_DESCRIPTOR_EX*>(descriptor->PinDescriptors)[0].PinDescriptor;
  status = _KsEdit(filter->Bag, reinterpret_cast<PVOID*>(const_cast<KSPIN_MEDIUM**>(&videoIn.Mediums)),
                   sizeof(KSPIN_MEDIUM), sizeof(KSPIN_MEDIUM), kPinEditTag);
  if (!NT_SUCCESS(status)) return status;
  const_cast<KSPIN_MEDIUM*>(videoIn.Mediums)->Id = device->instance;
  return STATUS_SUCCESS;
}

const KSFILTER_DISPATCH kEncoderFilterDispatch = {EncoderFilterCreate, nullptr, nullptr, nullptr};
constexpr GUID kEncoderCategories[] = {kCategoryEncoder, kCategoryMultiplexer};

constexpr GUID kVideoCaptureCategories[] = {kCategoryVideo, kCategoryCapture};

// A descriptor without pins, nodes or automation: what the filters carry until their pins are built.
constexpr KSFILTER_DESCRIPTOR Pinless(const GUID* reference, ULONG categories, const GUID* category) {
  return {nullptr,  nullptr,   KSFILTER_DESCRIPTOR_VERSION,
          0,        reference, 0,
          0,        nullptr,   categories,
          category, 0,         0,
          nullptr,  0,         nullptr,
          nullptr};
}

const KSFILTER_DESCRIPTOR kVideoCaptureFilterDescriptor =
    Pinless(&kVideoCaptureReference, 2, kVideoCaptureCategories);
const KSFILTER_DESCRIPTOR kTvAudioFilterDescriptor = Pinless(&kTvAudioReference, 1, &kCategoryTvAudio);
const KSFILTER_DESCRIPTOR kCrossbarFilterDescriptor = Pinless(&kCrossbarReference, 1, &kCategoryCrossbar);
const KSFILTER_DESCRIPTOR kTunerFilterDescriptor = Pinless(&kTunerReference, 1, &kCategoryTvTuner);

// The dynamic factories in creation order; the first (video capture) is the one the device remembers.
const KSFILTER_DESCRIPTOR* const kDynamicFilters[] = {&kVideoCaptureFilterDescriptor, &kTvAudioFilterDescriptor,
                                                      &kCrossbarFilterDescriptor, &kTunerFilterDescriptor};

}  // namespace

const KSFILTER_DESCRIPTOR kEncoderFilterDescriptor = {&kEncoderFilterDispatch,
                                                      &kEncoderAutomationTable,
                                                      KSFILTER_DESCRIPTOR_VERSION,
                                                      0,
                                                      &kEncoderReference,
                                                      sizeof kEncoderPins / sizeof kEncoderPins[0],
                                                      sizeof(KSPIN_DESCRIPTOR_EX),
                                                      kEncoderPins,
                                                      2,
                                                      kEncoderCategories,
                                                      0,
                                                      0,
                                                      nullptr,
                                                      0,
                                                      nullptr,
                                                      nullptr};
const KSFILTER_DESCRIPTOR kAudioCaptureFilterDescriptor = Pinless(&kAudioCaptureReference, 0, nullptr);

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
