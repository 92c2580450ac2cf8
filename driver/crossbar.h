// The crossbar: the card's physical inputs configured under "DriverData\XBarPin<n>" and their routing.
//
// Not built yet: a placeholder that reads no configuration and registers no mediums.
#pragma once

#include "driver/kernel/ntkernel.h"

namespace pelgar {

struct PelgarDevice;

class Crossbar {
 public:
  static NTSTATUS Create(PelgarDevice* device, Crossbar** crossbar);
  static void Destroy(Crossbar* crossbar);

 private:
  explicit Crossbar(PelgarDevice* device) : device_(device) {}
  ~Crossbar() = default;
  template <class T, class... Args>
  friend T* NewTagged(std::source_location, Args&&...);
  template <class T>
  friend void DeleteTagged(T*);
  PelgarDevice* device_;
};

}  // namespace pelgar
