#include "driver/decoders.h"

#include "driver/device.h"
#include "driver/driver_services.h"

namespace pelgar {

NTSTATUS IntegratedRegisters::Create(I2cBus* bus, IntegratedRegisters** accessor) {
  *accessor = NewTagged<IntegratedRegisters>(std::source_location::current(), bus);
  return *accessor == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}
void IntegratedRegisters::Destroy(IntegratedRegisters* accessor) { DeleteTagged(accessor); }
IntegratedRegisters::IntegratedRegisters(I2cBus* bus) : bus_(bus) { bus_->Retain(); }
IntegratedRegisters::~IntegratedRegisters() { bus_->Release(); }

NTSTATUS VideoDecoder::Create(Kind kind, I2cBus* bus, PelgarDevice* device, ULONG standard, IntegratedRegisters*,
                              VideoDecoder** decoder) {
  *decoder = NewTagged<VideoDecoder>(std::source_location::current(), kind, bus, device, standard);
  return *decoder == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}
void VideoDecoder::Destroy(VideoDecoder* decoder) { DeleteTagged(decoder); }
VideoDecoder::VideoDecoder(Kind kind, I2cBus* bus, PelgarDevice* device, ULONG standard)
    : kind_(kind), bus_(bus), device_(device), standard_(standard) {
  bus_->Retain();
}
VideoDecoder::~VideoDecoder() { bus_->Release(); }
void VideoDecoder::OnceASecond() { CountIdleSecond(device_); }

NTSTATUS TvAudioProcessor::Create(Kind kind, I2cBus* bus, PelgarDevice* device, TvAudioProcessor** audio) {
  *audio = NewTagged<TvAudioProcessor>(std::source_location::current(), kind, bus, device);
  return *audio == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}
void TvAudioProcessor::Destroy(TvAudioProcessor* audio) { DeleteTagged(audio); }
TvAudioProcessor::TvAudioProcessor(Kind kind, I2cBus* bus, PelgarDevice* device)
    : kind_(kind), bus_(bus), device_(device) {
  bus_->Retain();
}
TvAudioProcessor::~TvAudioProcessor() { bus_->Release(); }

}  // namespace pelgar
