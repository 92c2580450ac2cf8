// The analogue front end's chips: the video decoder that digitises the selected input for the encoder and
// the TV audio processor, each a family of kinds chosen by the board probe, and the 16-bit register
// accessor of the integrated decoder board.
//
// Not built yet: every kind is a placeholder with the family's operations; the placeholders talk to no
// chip and answer the fixed values written beside each operation (listed in docs/ARCHITECTURE.md).
#pragma once

#include "driver/i2c_bus.h"

namespace pelgar {

struct PelgarDevice;

// The 16-bit-register I2C accessor of the integrated audio/video decoder (board kind 3).
class IntegratedRegisters {
 public:
  static NTSTATUS Create(I2cBus* bus, IntegratedRegisters** accessor);
  static void Destroy(IntegratedRegisters* accessor);

 private:
  explicit IntegratedRegisters(I2cBus* bus);
  ~IntegratedRegisters();
  template <class T, class... Args>
  friend T* NewTagged(std::source_location, Args&&...);
  template <class T>
  friend void DeleteTagged(T*);
  I2cBus* bus_;  // held reference
};

class VideoDecoder {
 public:
  enum class Kind { A, B, IntegratedAv };
  // Decoder A (board kinds 0 and 1), decoder B (kind 2) or the integrated decoder (kind 3, over its
  // register accessor), for the configured KS video standard.
  static NTSTATUS Create(Kind kind, I2cBus* bus, PelgarDevice* device, ULONG standard, IntegratedRegisters* accessor,
                         VideoDecoder** decoder);
  static void Destroy(VideoDecoder* decoder);

  Kind GetKind() const { return kind_; }
  ULONG Standard() const { return standard_; }
  // The once-per-second status routine (runs on the monitor thread): counts idle seconds of the encoder
  // and puts the front end in standby after a long idle time. Placeholder: only the idle count.
  virtual void OnceASecond();
  // Placeholders: power up and down do nothing and succeed.
  virtual void PowerUp() {}
  virtual void PowerDown() {}
  // Placeholder: no input selected (kind 0).
  virtual ULONG CurrentInputKind() { return 0; }

 protected:
  VideoDecoder(Kind kind, I2cBus* bus, PelgarDevice* device, ULONG standard);
  virtual ~VideoDecoder();
  template <class T, class... Args>
  friend T* NewTagged(std::source_location, Args&&...);
  template <class T>
  friend void DeleteTagged(T*);

  Kind kind_;
  I2cBus* bus_;           // held reference
  PelgarDevice* device_;  // the card (idle state, tuners)
  ULONG standard_;        // current KS analogue video standard
};

class TvAudioProcessor {
 public:
  enum class Kind { A, B, C, Integrated };
  static NTSTATUS Create(Kind kind, I2cBus* bus, PelgarDevice* device, TvAudioProcessor** audio);
  static void Destroy(TvAudioProcessor* audio);

  Kind GetKind() const { return kind_; }
  // Bring-up hook after the encoder firmware started. Placeholder: nothing, success.
  virtual NTSTATUS FirmwareHook() { return STATUS_SUCCESS; }
  // Wake after idle standby: select the current input again. Placeholder: nothing.
  virtual void Wake() {}

 protected:
  TvAudioProcessor(Kind kind, I2cBus* bus, PelgarDevice* device);
  virtual ~TvAudioProcessor();
  template <class T, class... Args>
  friend T* NewTagged(std::source_location, Args&&...);
  template <class T>
  friend void DeleteTagged(T*);

  Kind kind_;
  I2cBus* bus_;  // held reference
  PelgarDevice* device_;
};

}  // namespace pelgar
