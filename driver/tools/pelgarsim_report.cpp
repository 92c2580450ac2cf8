#include "driver/tools/pelgarsim_report.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>

#include "driver/device.h"
#include "driver/encoder_mailbox.h"
#include "driver/kernel/sim/kernel.h"
#include "driver/kernel/sim/ks_class.h"
#include "driver/simcard/sim_card.h"
#include "installTools/tools/json.h"

namespace pelgarsim {
namespace {

// The bring-up loads 256000 bytes of firmware word by word and then configures the encoder; on the virtual
// clock it ends within a few seconds even when every command times out.
constexpr ksim::Time kBringUpLimit = 60 * ksim::kSecond;
constexpr ksim::Time kBringUpPoll = 10 * ksim::kMillisecond;

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t\r");
  return s.substr(a, b - a + 1);
}

BringUp WaitForBringUp(ksim::Kernel& kernel, const pelgar::PelgarDevice* device) {
  BringUp b;
  if (device == nullptr) return b;
  for (ksim::Time waited = 0; device->bringUpStatus == STATUS_PENDING && waited < kBringUpLimit;
       waited += kBringUpPoll)
    kernel.RunFor(kBringUpPoll);
  b.status = device->bringUpStatus;
  b.firmwareLoaded = device->mailbox != nullptr && device->mailbox->Ready();
  return b;
}

std::string Hex2(ULONG v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(v));
  return text;
}

}  // namespace

bool ParseRegFile(const std::string& text, std::vector<RegEdit>* edits, std::string* error) {
  std::istringstream in(text);
  std::string line;
  std::vector<RegEdit> parsed;
  std::string key;
  bool header = false, haveKey = false;
  int number = 0;
  auto fail = [&](const std::string& why) {
    *error = "line " + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    ++number;
    line = Trim(line);
    if (line.empty() || line[0] == ';') continue;
    if (!header) {
      if (line != "REGEDIT4") return fail("the file does not start with REGEDIT4");
      header = true;
      continue;
    }
    if (line.front() == '[') {
      if (line.back() != ']' || line.size() < 3) return fail("bad key line '" + line + "'");
      key = line.substr(1, line.size() - 2);
      haveKey = true;
      continue;
    }
    if (!haveKey) return fail("a value before the first key");
    if (line.front() != '"') return fail("a value line starts with its quoted name");
    size_t close = line.find('"', 1);
    if (close == std::string::npos || close + 1 >= line.size() || line[close + 1] != '=')
      return fail("bad value line '" + line + "'");
    RegEdit e;
    e.key = key;
    e.name = line.substr(1, close - 1);
    std::string data = line.substr(close + 2);
    if (data == "-") {
      e.remove = true;
    } else if (data.rfind("dword:", 0) == 0 && data.size() == 14) {
      uint32_t v = 0;
      for (size_t i = 6; i < data.size(); ++i) {
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(data[i])));
        if (!std::isxdigit(static_cast<unsigned char>(c))) return fail("bad dword '" + data + "'");
        v = v << 4 | static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
      }
      e.value = v;
    } else {
      return fail("only dword:XXXXXXXX values and deletions are read, not '" + data + "'");
    }
    parsed.push_back(e);
  }
  if (!header) return fail("the file does not start with REGEDIT4");
  edits->insert(edits->end(), parsed.begin(), parsed.end());
  return true;
}

Report Simulate(const Inputs& inputs) {
  Report r;
  r.card = inputs.card.name;
  ksim::Kernel kernel;
  auto sim = simcard::SimCard::Create(kernel, inputs.card);
  PDEVICE_OBJECT pdo = kernel.AddPhysicalDevice("card");
  ksim::RegistryKey& driverKey = kernel.DriverKey(pdo);
  simcard::WriteDriverData(inputs.card, driverKey);
  for (const RegEdit& e : inputs.registry) {
    if (e.remove) {
      if (ksim::RegistryKey* k = driverKey.Find(e.key)) k->DeleteValue(e.name);
    } else {
      driverKey.Create(e.key).SetDword(e.name, e.value);
    }
  }
  for (const auto& [name, bytes] : inputs.driverFiles) kernel.AddDriverFile(name, bytes);
  {
    ksim::KsClassDriver ks(kernel);
    NTSTATUS loaded = ks.Load(DriverEntry);
    PKSDEVICE device = nullptr;
    r.addStatus = NT_SUCCESS(loaded) ? ks.Add(pdo, &device) : loaded;
    if (device != nullptr) {
      const simcard::CardDescription& c = inputs.card;
      ksim::CardResources resources{
          c.memoryAddress, static_cast<ULONG>(c.memoryLength), c.vector, c.irql, c.latched, c.shared, 1};
      r.startStatus = ks.Start(device, resources);
      auto* context = static_cast<pelgar::PelgarDevice*>(device->Context);
      r.bringUp = WaitForBringUp(kernel, NT_SUCCESS(r.startStatus) ? context : nullptr);
      if (context != nullptr) {
        r.boardKind = context->boardKind;
        r.tunerType = context->tunerType;
        if (context->peripheralB8 != nullptr) r.peripherals.push_back(0xB8);
        if (context->peripheral24 != nullptr) r.peripherals.push_back(0x24);
        if (context->peripheralF4 != nullptr) r.peripherals.push_back(0xF4);
      }
      for (unsigned i = 0; i < inputs.powerCycles && NT_SUCCESS(r.startStatus); ++i) {
        PowerCycle cycle;
        cycle.queryPower = ks.QueryPower(device, PowerDeviceD3);
        if (NT_SUCCESS(cycle.queryPower)) {
          ks.SetPower(device, PowerDeviceD3);
          ks.SetPower(device, PowerDeviceD0, PowerSystemWorking);
          cycle.bringUp = WaitForBringUp(kernel, context);
        }
        r.powerCycles.push_back(cycle);
      }
      if (!inputs.capture.streams.empty()) {
        const bool ready = NT_SUCCESS(r.startStatus) && context != nullptr &&
                           context->bringUpStatus == STATUS_SUCCESS && context->mailbox != nullptr &&
                           context->mailbox->Ready();
        if (ready) {
          r.capture = Capture(kernel, ks, device, *sim, inputs.capture);
        } else {
          r.capture = CaptureResult{};
          r.capture->error = "the encoder is not running, so nothing can be captured";
        }
      }
      if (device->Started) ks.Stop(device);
      ks.Remove(device);
    }
  }
  for (const ksim::OutstandingBlock& b : kernel.Outstanding()) {
    r.poolOutstanding += b.size;
    r.outstanding.push_back(ksim::TagText(b.tag) + " " + std::to_string(b.size) + " bytes from " + b.site);
  }
  kernel.CheckUnload();
  r.faults = kernel.Faults();
  return r;
}

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

std::string Json(const Report& r) {
  JsonWriter w;
  w.beginObject();
  w.value("card", r.card);
  w.value("addStatus", StatusText(r.addStatus));
  w.value("startStatus", StatusText(r.startStatus));
  w.value("boardKind", static_cast<int64_t>(r.boardKind));
  w.value("tunerType", static_cast<int64_t>(r.tunerType));
  w.beginArray("peripherals");
  for (ULONG a : r.peripherals) w.value(nullptr, Hex2(a));
  w.endArray();
  w.value("firmwareLoaded", r.bringUp.firmwareLoaded);
  w.value("bringUpStatus", StatusText(r.bringUp.status));
  w.beginArray("powerCycles");
  for (const PowerCycle& c : r.powerCycles) {
    w.beginObject();
    w.value("queryPowerStatus", StatusText(c.queryPower));
    w.value("firmwareLoaded", c.bringUp.firmwareLoaded);
    w.value("bringUpStatus", StatusText(c.bringUp.status));
    w.endObject();
  }
  w.endArray();
  w.value("poolOutstanding", static_cast<int64_t>(r.poolOutstanding));
  w.beginArray("outstanding");
  for (const std::string& o : r.outstanding) w.value(nullptr, o);
  w.endArray();
  w.beginArray("faults");
  for (const std::string& f : r.faults) w.value(nullptr, f);
  w.endArray();
  if (r.capture) {
    const CaptureResult& c = *r.capture;
    w.beginArray("sets");
    for (const auto& [text, status] : c.sets) {
      w.beginObject();
      w.value("set", text);
      w.value("status", StatusText(status));
      w.endObject();
    }
    w.endArray();
    w.beginArray("filters");
    for (const std::string& f : c.filters) w.value(nullptr, f);
    w.endArray();
    w.beginArray("joins");
    for (const std::string& j : c.joins) w.value(nullptr, j);
    w.endArray();
    w.value("seconds", static_cast<int64_t>(c.ran / ksim::kSecond));
    w.value("milliseconds", static_cast<int64_t>(c.ran / ksim::kMillisecond));
    w.beginObject("streams");
    for (const StreamResult& s : c.streams) {
      w.beginObject(s.name.c_str());
      w.value("buffers", static_cast<int64_t>(s.buffers));
      w.value("bytes", static_cast<int64_t>(s.bytes));
      w.value("dropped", static_cast<int64_t>(s.dropped));
      w.value("discontinuities", static_cast<int64_t>(s.discontinuities));
      w.value("intact", s.intact);
      w.beginObject("units");
      w.value("intact", static_cast<int64_t>(s.tally.intact));
      w.value("lost", static_cast<int64_t>(s.tally.lost));
      w.value("duplicated", static_cast<int64_t>(s.tally.duplicated));
      w.value("reordered", static_cast<int64_t>(s.tally.reordered));
      w.value("damaged", static_cast<int64_t>(s.tally.damaged));
      w.endObject();
      w.endObject();
    }
    w.endObject();
    w.beginArray("files");
    for (const std::string& f : c.files) w.value(nullptr, f);
    w.endArray();
    w.value("captureError", c.error);
  }
  w.endObject();
  return w.text();
}

std::string Text(const Report& r) {
  std::ostringstream out;
  out << "card:             " << r.card << "\n"
      << "start:            " << StatusText(r.startStatus) << "\n"
      << "board kind:       " << r.boardKind << "\n"
      << "tuner type:       " << r.tunerType << "\n"
      << "peripherals:     ";
  if (r.peripherals.empty()) out << " none";
  for (ULONG a : r.peripherals) out << " " << Hex2(a);
  out << "\n"
      << "firmware loaded:  " << (r.bringUp.firmwareLoaded ? "yes" : "no") << " (bring-up "
      << StatusText(r.bringUp.status) << ")\n";
  for (size_t i = 0; i < r.powerCycles.size(); ++i)
    out << "power cycle " << i + 1 << ":    query " << StatusText(r.powerCycles[i].queryPower) << ", firmware "
        << (r.powerCycles[i].bringUp.firmwareLoaded ? "loaded" : "not loaded") << " (bring-up "
        << StatusText(r.powerCycles[i].bringUp.status) << ")\n";
  out << "pool outstanding: " << r.poolOutstanding << " bytes\n";
  for (const std::string& o : r.outstanding) out << "  " << o << "\n";
  for (const std::string& f : r.faults) out << "fault: " << f << "\n";
  if (r.capture) {
    const CaptureResult& c = *r.capture;
    for (const auto& [text, status] : c.sets) out << "set " << text << ": " << StatusText(status) << "\n";
    out << "filters:         ";
    for (const std::string& f : c.filters) out << " " << f;
    out << "\n";
    for (const std::string& j : c.joins) out << "joined:           " << j << "\n";
    out << "captured for:     " << c.ran / ksim::kMillisecond << " ms of the card's time\n";
    for (const StreamResult& s : c.streams)
      out << "stream " << s.name << ":" << std::string(10 - std::min<size_t>(s.name.size(), 9), ' ') << s.buffers
          << " buffers, " << s.bytes << " bytes, " << s.dropped << " dropped, " << s.discontinuities
          << " discontinuities, " << (s.intact ? "intact" : "NOT intact") << " (units: " << s.tally.intact
          << " intact, " << s.tally.lost << " lost, " << s.tally.duplicated << " duplicated, " << s.tally.reordered
          << " reordered, " << s.tally.damaged << " damaged)\n";
    for (const std::string& f : c.files) out << "wrote " << f << "\n";
    if (!c.error.empty()) out << "capture error: " << c.error << "\n";
  }
  return out.str();
}

}  // namespace pelgarsim
