// The work of pelgarsim, as a library its tests call: one simulated card on a fresh kernel stand-in, nvpelgar
// loaded through the class-driver stand-in, the device added, started, brought up, power-cycled, stopped and
// removed, and what the driver made of the board collected into a report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "driver/kernel/ntkernel.h"
#include "driver/simcard/card_file.h"
#include "driver/tools/pelgarsim_capture.h"

namespace pelgarsim {

// One line of a REGEDIT4 file: a REG_DWORD set, or a value deleted ("name"=-), under a key path relative to
// the card's driver key.
struct RegEdit {
  std::string key;
  std::string name;
  bool remove = false;
  uint32_t value = 0;
  bool operator==(const RegEdit&) const = default;
};

// Reads REGEDIT4 text: the "REGEDIT4" header, [key] lines, "name"=dword:XXXXXXXX and "name"=- lines, blank
// lines and ';' comments. Other value types are refused. On failure *error names the line and nothing is
// appended.
bool ParseRegFile(const std::string& text, std::vector<RegEdit>* edits, std::string* error);

struct Inputs {
  simcard::CardDescription card;
  std::vector<RegEdit> registry;                                          // applied over the card's values
  std::vector<std::pair<std::string, std::vector<uint8_t>>> driverFiles;  // the system's driver folder
  unsigned powerCycles = 0;
  CaptureRequest capture;  // streams to run after the power cycles; none: no capture
};

// The encoder after one bring-up.
struct BringUp {
  bool firmwareLoaded = false;  // the mailbox is ready: the firmware runs and answers
  NTSTATUS status = STATUS_PENDING;
};

struct PowerCycle {
  NTSTATUS queryPower = STATUS_PENDING;  // the driver's answer to the query for D3
  BringUp bringUp;                       // after the return to D0
};

struct Report {
  std::string card;
  NTSTATUS addStatus = STATUS_PENDING;
  NTSTATUS startStatus = STATUS_PENDING;
  ULONG boardKind = 0;
  ULONG tunerType = 0;
  std::vector<ULONG> peripherals;  // optional I2C addresses that acknowledged the probe
  BringUp bringUp;
  std::vector<PowerCycle> powerCycles;
  uint64_t poolOutstanding = 0;  // bytes still allocated after remove, over every pool tag
  std::vector<std::string> outstanding;
  std::vector<std::string> faults;  // kernel rules broken, leaks found at unload
  std::optional<CaptureResult> capture;

  bool Clean() const {
    return NT_SUCCESS(startStatus) && poolOutstanding == 0 && faults.empty() && (!capture || capture->Clean());
  }
};

Report Simulate(const Inputs& inputs);

// "0xC000009A"
std::string StatusText(NTSTATUS status);
// The report as one JSON object, and as text lines.
std::string Json(const Report& report);
std::string Text(const Report& report);

}  // namespace pelgarsim
