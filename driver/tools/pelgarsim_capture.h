// pelgarsim's capture run: on a started card it builds the graph an application would (the filters opened,
// pins joined through their mediums with a format both sides accept, one pin per stream asked for created
// with the format its intersection answers), applies private encoder properties, runs the pins for a
// stretch of the card's time or until enough buffers arrived, hands every completed buffer straight back,
// and checks and keeps what arrived.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "driver/kernel/ks.h"
#include "driver/kernel/sim/kernel.h"
#include "driver/simcard/stream_checkers.h"

namespace ksim {
class KsClassDriver;
}
namespace simcard {
class SimCard;
}

namespace pelgarsim {

// The streams in the order they are reported: "mpeg", "video", "audio", "vbi", "aux".
const std::vector<std::string>& StreamNames();
// Whether pelgarsim can run a stream on this driver; otherwise *why says what is missing.
bool StreamBuilt(const std::string& name, std::string* why);
// Splits "mpeg,video" into names, each known, built and given once; on failure *error says why.
bool ParseStreamList(const std::string& text, std::vector<std::string>* streams, std::string* error);

// One private encoder property to set before the run: "ID=VALUE". A 1- or 4-byte property takes one number
// (decimal or 0x hexadecimal); a block-valued one takes its fields in order, separated by commas:
// property 1 "mode,rate,peak" (three 32-bit numbers) and property 10 "median,temporalStatic,spatialStatic,
// temporalLevel,spatialLevel,lumaLow,lumaHigh,chromaLow,chromaHigh" (32-, 8-, 8- and six 16-bit numbers).
struct PropertyWrite {
  ULONG id = 0;
  std::vector<uint8_t> value;  // the property's bytes, little-endian
  std::string text;            // as given
};
bool ParseSet(const std::string& text, PropertyWrite* write, std::string* error);

struct CaptureRequest {
  std::vector<std::string> streams;
  ksim::Time duration = 0;  // of the card's time; 0: run until `buffers` arrived
  uint64_t buffers = 0;     // buffers with data each stream must deliver
  std::string outDir;       // where to write what arrived; empty: nothing written
  std::vector<PropertyWrite> sets;
};

struct StreamResult {
  std::string name;
  uint64_t buffers = 0;          // completed buffers with data
  uint64_t bytes = 0;            // data bytes of those buffers
  uint64_t dropped = 0;          // payload bytes the card produced that were counted as dropped on the way
  uint64_t discontinuities = 0;  // buffers marked with a data discontinuity
  bool intact = false;           // every other payload byte arrived once, in order, unchanged
  simcard::StreamTally tally;    // the checker's count of the stream's units
};

struct CaptureResult {
  std::vector<std::pair<std::string, NTSTATUS>> sets;  // each property write and its status
  std::vector<std::string> filters;                    // opened, in order: "encoder", "video capture", ...
  std::vector<std::string> joins;                      // "video capture pin 5 -> encoder pin 0"
  std::vector<StreamResult> streams;
  std::vector<std::string> files;  // written, in the order written (frames listed together as a pattern)
  ksim::Time ran = 0;              // the card's time the pins ran
  std::string error;               // why the run could not be made; empty when it was
  bool Clean() const;
};

// Runs the capture on a started device whose encoder was brought up. Every pin and filter it made is
// closed again before it returns.
CaptureResult Capture(ksim::Kernel& kernel, ksim::KsClassDriver& ks, PKSDEVICE device, simcard::SimCard& card,
                      const CaptureRequest& request);

}  // namespace pelgarsim
