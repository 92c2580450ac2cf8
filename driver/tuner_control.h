// The tuner manager behind the tuner filter: the card's tuners, the country and standard, the frequency.
//
// Not built yet: a placeholder whose power operations do nothing.
#pragma once

#include "driver/kernel/ntkernel.h"

namespace pelgar {

struct PelgarDevice;

class TunerControl {
 public:
  static NTSTATUS Create(PelgarDevice* device, TunerControl** tuners);
  static void Destroy(TunerControl* tuners);

  // The tuner of the current mode in standby (power-down, idle). Placeholder: nothing.
  void Standby() {}
  // The tuner of the current mode awake again (wake-up on encoder activity). Placeholder: nothing.
  void Wake() {}
  // After a return to full power: country applied again, stored frequency forgotten. Placeholder: nothing.
  void ReapplyAfterPowerUp() {}

 private:
  explicit TunerControl(PelgarDevice* device) : device_(device) {}
  ~TunerControl() = default;
  template <class T, class... Args>
  friend T* NewTagged(std::source_location, Args&&...);
  template <class T>
  friend void DeleteTagged(T*);
  PelgarDevice* device_;
};

}  // namespace pelgar
