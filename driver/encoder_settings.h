// The encoder parameters (stream type, bit rates, GOP, audio word, frame size ...) with their registry
// persistence, behind the private encoder property set.
//
// Not built yet: a placeholder that reads and keeps nothing.
#pragma once

#include "driver/kernel/ntkernel.h"

namespace pelgar {

struct PelgarDevice;

class EncoderSettings {
 public:
  static NTSTATUS Create(PelgarDevice* device, EncoderSettings** settings);
  static void Destroy(EncoderSettings* settings);

 private:
  explicit EncoderSettings(PelgarDevice* device) : device_(device) {}
  ~EncoderSettings() = default;
  template <class T, class... Args>
  friend T* NewTagged(std::source_location, Args&&...);
  template <class T>
  friend void DeleteTagged(T*);
  PelgarDevice* device_;
};

}  // namespace pelgar
