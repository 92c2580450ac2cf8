#include "driver/filters.h"

#include "driver/device.h"

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
// clang-format on

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

const KSFILTER_DESCRIPTOR kEncoderFilterDescriptor = Pinless(&kEncoderReference, 0, nullptr);
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
