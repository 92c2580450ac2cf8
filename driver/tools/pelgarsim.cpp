// pelgarsim: loads nvpelgar on a simulated card and reports what the driver made of the board, for the
// people who bring up a new board.
//
//   pelgarsim --card FILE [--registry FILE.reg] [--firmware DIR] [--power-cycles N] [--json]
//             [--stream mpeg[,video,audio,vbi,aux] (--seconds N | --buffers N) [--out DIR] [--set ID=VALUE]...]
//
// The card file (docs/simulated-card.md) describes the board and carries its "DriverData" values; a
// REGEDIT4 file given with --registry is applied over them (key paths relative to the card's driver key,
// such as [DriverData] or [DriverData\XBarPin0]; "name"=dword:XXXXXXXX sets a value, "name"=- deletes
// it). --firmware DIR puts every file of DIR into the driver folder; without it the project's generated
// test image is installed as "nvpelgar.rom". The tool adds and starts the device, waits for the encoder
// bring-up, cycles the power N times (D3, then D0 and another bring-up), stops and removes the device and
// prints one JSON object (--json) or the same facts as text.
//
// With --stream it also captures, after the power cycles, as an application would (pelgarsim_capture.h):
// for N seconds of the card's time or until every stream delivered N buffers with data, with the private
// encoder properties of --set applied first, and checks each stream at the receiving end. --out DIR keeps
// what arrived: capture.mpg, video-NNNNNN.png, audio.wav, vbi-lines.raw and aux-records.bin.
//
// Exit status: 0 when the start succeeded, nothing was left behind (no pool bytes, no kernel faults) and
// every stream captured arrived intact, 1 otherwise, 2 for a bad command line or an unreadable input file.
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
  pelgarsim::CaptureRequest capture;
  bool seconds = false, buffers = false;
};

constexpr char kUsage[] =
    "usage: pelgarsim --card FILE [--registry FILE.reg] [--firmware DIR] [--power-cycles N] [--json]\n"
    "                 [--stream mpeg[,video,audio,vbi,aux] (--seconds N | --buffers N) [--out DIR]\n"
    "                  [--set ID=VALUE]...]\n";

constexpr char kHelp[] =
    "Loads nvpelgar on a simulated card, starts it, brings the encoder up and reports what the driver made of\n"
    "the board; with --stream it also captures the streams named, as an application's graph would.\n"
    "\n"
    "  --card FILE        the card file (docs/simulated-card.md)\n"
    "  --registry FILE    REGEDIT4 file applied over the card's DriverData values\n"
    "  --firmware DIR     the files of DIR go into the driver folder (default: the test image)\n"
    "  --power-cycles N   cycles through D3 and back N times before any capture\n"
    "  --json             one JSON object instead of text\n"
    "  --stream LIST      streams to capture, comma-separated: mpeg, video, audio, vbi, aux\n"
    "  --seconds N        capture for N seconds of the simulated card's time (1 to 3600)\n"
    "  --buffers N        capture until every stream delivered N buffers with data (1 to 100000)\n"
    "  --out DIR          write what arrived: capture.mpg (the program stream in delivery order),\n"
    "                     video-NNNNNN.png (each raw video frame), audio.wav, vbi-lines.raw (the VBI\n"
    "                     lines, 1440 bytes each) and aux-records.bin (the 24-byte auxiliary records)\n"
    "  --set ID=VALUE     sets private encoder property ID before the capture (repeatable). One-byte and\n"
    "                     four-byte properties take one number, decimal or 0x hexadecimal. Block-valued\n"
    "                     properties take their fields in order, separated by commas:\n"
    "                       1   mode,rate,peak (three 32-bit numbers), e.g. --set 1=1,4000000,6000000\n"
    "                       10  median,temporalStatic,spatialStatic,temporalLevel,spatialLevel,\n"
    "                           lumaLow,lumaHigh,chromaLow,chromaHigh (32-, 8-, 8-, then six 16-bit numbers)\n"
    "\n"
    "Exit status: 0 when the card started, nothing was left behind and every stream arrived intact;\n"
    "1 otherwise; 2 for a bad command line or an unreadable input file.\n";

int Usage(const std::string& why) {
  std::cerr << "pelgarsim: " << why << "\n" << kUsage;
  return 2;
}

bool Count(const std::string& n, uint64_t max, uint64_t* value) {
  if (n.empty() || n.size() > 6 || n.find_first_not_of("0123456789") != std::string::npos) return false;
  *value = std::stoull(n);
  return *value >= 1 && *value <= max;
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
    } else if (a == "--help") {
      std::cout << kUsage << "\n" << kHelp;
      return 0;
    } else if (a == "--stream") {
      std::string error;
      if (!next(&n)) return Usage("--stream needs a list of streams");
      if (!pelgarsim::ParseStreamList(n, &o.capture.streams, &error)) return Usage(error);
    } else if (a == "--seconds") {
      uint64_t v = 0;
      if (!next(&n) || !Count(n, 3600, &v)) return Usage("--seconds needs a number (1 to 3600)");
      o.capture.duration = static_cast<ksim::Time>(v) * ksim::kSecond;
      o.seconds = true;
    } else if (a == "--buffers") {
      uint64_t v = 0;
      if (!next(&n) || !Count(n, 100000, &v)) return Usage("--buffers needs a number (1 to 100000)");
      o.capture.buffers = v;
      o.buffers = true;
    } else if (a == "--out") {
      if (!next(&o.capture.outDir)) return Usage("--out needs a folder");
    } else if (a == "--set") {
      pelgarsim::PropertyWrite w;
      std::string error;
      if (!next(&n)) return Usage("--set needs ID=VALUE");
      if (!pelgarsim::ParseSet(n, &w, &error)) return Usage(error);
      o.capture.sets.push_back(w);
    } else {
      return Usage("unknown argument '" + a + "'");
    }
  }
  if (o.card.empty()) return Usage("--card is required");
  if (o.capture.streams.empty() && (o.seconds || o.buffers || !o.capture.outDir.empty() || !o.capture.sets.empty()))
    return Usage("--seconds, --buffers, --out and --set go with --stream");
  if (!o.capture.streams.empty() && o.seconds == o.buffers) return Usage("--stream needs --seconds or --buffers");

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
  inputs.capture = o.capture;

  pelgarsim::Report report = pelgarsim::Simulate(inputs);
  std::cout << (o.json ? pelgarsim::Json(report) : pelgarsim::Text(report));
  return report.Clean() ? 0 : 1;
}
