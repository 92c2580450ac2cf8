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
  // Capture size the encoder is fed; the placeholder stores it and programs nothing.
  virtual void SetCaptureSize(ULONG width, ULONG height) {
    captureWidth_ = width;
    captureHeight_ = height;
  }
  // Audio sampling rate (32000, 44100 or 48000); the placeholder stores it and programs nothing.
  virtual void SetAudioRate(ULONG rate) { audioRate_ = rate; }
  // Whether the current standard has 525 lines (NTSC-M, NTSC-M-J, NTSC-4.43, PAL-M, PAL-60).
  virtual bool Is525Line() const { return (standard_ & k525LineStandards) != 0; }
  // The VBI start-code word and the second VBI word the encoder's VBI configuration carries, and the two
  // capture-window values of the encoder's bring-up. Placeholder: the values of decoder A.
  virtual ULONG VbiStartCodeWord() const { return 0x25622562; }
  virtual ULONG VbiSecondWord() const { return 0x387F387F; }
  virtual void CaptureWindow(ULONG* first, ULONG* second) const {
    *first = Is525Line() ? 259 : 305;
    *second = Is525Line() ? 260 : 305;
  }
  ULONG CaptureWidth() const { return captureWidth_; }
  ULONG CaptureHeight() const { return captureHeight_; }
  ULONG AudioRate() const { return audioRate_; }

  // The picture controls (video processing amplifier). A setter refuses a value outside its range
  // (brightness, contrast, hue, saturation 0 ... 10000, sharpness 0 ... 100) with false and changes nothing;
  // otherwise it remembers the value. Placeholder: remembers it and programs no chip.
  virtual bool SetBrightness(LONG value) { return Remember(&brightness_, value, kProcAmpMax); }
  virtual bool SetContrast(LONG value) { return Remember(&contrast_, value, kProcAmpMax); }
  virtual bool SetHue(LONG value) { return Remember(&hue_, value, kProcAmpMax); }
  virtual bool SetSaturation(LONG value) { return Remember(&saturation_, value, kProcAmpMax); }
  virtual bool SetSharpness(LONG value) { return Remember(&sharpness_, value, kSharpnessMax); }
  LONG Brightness() const { return brightness_; }
  LONG Contrast() const { return contrast_; }
  LONG Hue() const { return hue_; }
  LONG Saturation() const { return saturation_; }
  LONG Sharpness() const { return sharpness_; }
  static constexpr LONG kProcAmpMax = 10000;
  static constexpr LONG kSharpnessMax = 100;

  // Stores a new KS analogue video standard and programs the decoder for its kind. Placeholder: stores it.
  virtual void SetStandard(ULONG standard) { standard_ = standard; }
  // Whether the decoder is locked to an input signal. Placeholder: no chip is read; the flag is what
  // `SetSignalLocked` last said (initially not locked).
  virtual bool SignalLocked() const { return signalLocked_; }
  void SetSignalLocked(bool locked) { signalLocked_ = locked; }

  // KS analogue video standards with 525 lines.
  static constexpr ULONG k525LineStandards = 0x00000A07;

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
  ULONG captureWidth_ = 720;
  ULONG captureHeight_ = 480;
  ULONG audioRate_ = 48000;
  // The picture controls' last values; the decoder starts with these.
  LONG brightness_ = 5000;
  LONG contrast_ = 4750;
  LONG hue_ = 5240;
  LONG saturation_ = 6670;
  LONG sharpness_ = 50;
  bool signalLocked_ = false;

 private:
  static bool Remember(LONG* field, LONG value, LONG max) {
    if (value < 0 || value > max) return false;
    *field = value;
    return true;
  }
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
  // Audio sampling rate of the encoder's audio (32000, 44100 or 48000). Placeholder: stores it.
  virtual void SetSamplingRate(ULONG rate) { samplingRate_ = rate; }
  // Quiet around an input change and back. Placeholder: a flag.
  virtual void Mute() { muted_ = true; }
  virtual void Unmute() { muted_ = false; }
  ULONG SamplingRate() const { return samplingRate_; }
  bool Muted() const { return muted_; }

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
  ULONG samplingRate_ = 48000;
  bool muted_ = false;
};

}  // namespace pelgar
