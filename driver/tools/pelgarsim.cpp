// pelgarsim: loads nvpelgar on a simulated card and reports what the driver made of the board, for the
// people who bring up a new board.
//
//   pelgarsim --card FILE [--registry FILE.reg] [--firmware DIR] [--power-cycles N] [--json]
//
// The card file (docs/simulated-card.md) describes the board and carries its "DriverData" values; a
// REGEDIT4 file given with --registry is applied over them (key paths relative to the card's driver key,
// such as [DriverData] or [DriverData\XBarPin0]; "name"=dword:XXXXXXXX sets a value, "name"=- deletes
// it). --firmware DIR puts every file of DIR into the driver folder; without it the project's generated
// test image is installed as "nvpelgar.rom". The tool adds and starts the device, waits for the encoder
// bring-up, cycles the power N times (D3, then D0 and another bring-up), stops and removes the device and
// prints one JSON object (--json) or the same facts as text.
//
// Exit status: 0 when the start succeeded and nothing was left behind (no pool bytes, no kernel faults),
// 1 otherwise, 2 for a bad command line or an unreadable input file.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/device.h"
#include "driver/encoder_mailbox.h"
#include "driver/kernel/sim/kernel.h"
#include "driver/kernel/sim/ks_class.h"
#include "driver/simcard/card_file.h"
#include "driver/simcard/firmware_image.h"
#include "driver/simcard/sim_card.h"
#include "driver/tools/pelgarsim_report.h"
#include "installTools/tools/json.h"

namespace {

struct Options {
  std::string card;
  std::string registry;
  std::string firmware;
  unsigned powerCycles = 0;
  bool json = false;
};

int Usage(const std::string& why) {
  std::cerr << "pelgarsim: " << why << "\n"
            << "usage: pelgarsim --card FILE [--registry FILE.reg] [--firmware DIR] [--power-cycles N] [--json]\n";
  return 2;
}

bool ReadText(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream s;
  s << in.rdbuf();
  *text = s.str();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&](std::string* into) {
      if (i + 1 >= argc) return false;
      *into = argv[++i];
      return true;
    };
    std::string n;
    if (a == "--card") {
      if (!next(&o.card)) return Usage("--card needs a file");
    } else if (a == "--registry") {
      if (!next(&o.registry)) return Usage("--registry needs a file");
    } else if (a == "--firmware") {
      if (!next(&o.firmware)) return Usage("--firmware needs a folder");
    } else if (a == "--power-cycles") {
      if (!next(&n) || n.empty() || n.find_first_not_of("0123456789") != std::string::npos || n.size() > 4)
        return Usage("--power-cycles needs a number (0 to 9999)");
      o.powerCycles = static_cast<unsigned>(std::stoul(n));
    } else if (a == "--json") {
      o.json = true;
    } else {
      return Usage("unknown argument '" + a + "'");
    }
  }
  if (o.card.empty()) return Usage("--card is required");

  pelgarsim::Inputs inputs;
  std::string text;
  if (!ReadText(o.card, &text)) return Usage("cannot read the card file " + o.card);
  simcard::ParseResult parsed = simcard::ParseCardFile(text, &inputs.card);
  if (!parsed.ok) {
    std::cerr << "pelgarsim: " << o.card << ":" << parsed.line << ": " << parsed.error << "\n";
    return 2;
  }
  if (!o.registry.empty()) {
    if (!ReadText(o.registry, &text)) return Usage("cannot read the registry file " + o.registry);
    std::string error;
    if (!pelgarsim::ParseRegFile(text, &inputs.registry, &error)) {
      std::cerr << "pelgarsim: " << o.registry << ": " << error << "\n";
      return 2;
    }
  }
  if (!o.firmware.empty()) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(o.firmware, ec)) {
      if (!entry.is_regular_file()) continue;
      std::string bytes;
      if (!ReadText(entry.path().string(), &bytes)) return Usage("cannot read " + entry.path().string());
      inputs.driverFiles.emplace_back(entry.path().filename().string(),
                                      std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
    if (ec) return Usage("cannot list the firmware folder " + o.firmware);
  } else {
    inputs.driverFiles.emplace_back(simcard::kFirmwareFileName, simcard::TestFirmwareImage());
  }
  inputs.powerCycles = o.powerCycles;

  pelgarsim::Report report = pelgarsim::Simulate(inputs);
  std::cout << (o.json ? pelgarsim::Json(report) : pelgarsim::Text(report));
  return report.Clean() ? 0 : 1;
}
