#include "installTools/installer/config/myDebug.h"

namespace {

struct Switches {
  int32_t outFileName = -1;
  int32_t enableDebug = -1;
  int32_t outDebugId = -1;
};

Switches& switches() {
  static Switches s;
  return s;
}

// Values of "g_EnableDebug" that make each channel store its own switch when it ends.
constexpr int32_t kStoreChannels[] = {5474, 21620};

}  // namespace

MyDebug::MyDebug(const char* sourcePath, const char* channelName) {
  std::string path = sourcePath ? sourcePath : "";
  auto slash = path.find_last_of("\\/");
  sourceName_ = slash == std::string::npos ? path : path.substr(slash + 1);
  channel_ = std::make_unique<IntRegData>(channelName, 0, kIntMarker);

  HKLM_RegDataRW key(kKeyPath, 0);
  struct {
    const char* name;
    int32_t* value;
  } globals[] = {{"g_OutFileName", &switches().outFileName},
                 {"g_EnableDebug", &switches().enableDebug},
                 {"g_OutDebugID", &switches().outDebugId}};
  for (auto& g : globals) {
    if (*g.value != -1) continue;
    key.readInteger(g.name, *g.value);
    if (*g.value == -1) {
      *g.value = 0;
      key.writeInteger(g.name, 0);
    }
  }
  channel_->load(key);
}

MyDebug::~MyDebug() {
  for (int32_t store : kStoreChannels) {
    if (switches().enableDebug == store) {
      HKLM_RegDataRW key(kKeyPath, 0);
      channel_->save(key);
      break;
    }
  }
}

int32_t MyDebug::outFileName() { return switches().outFileName; }
int32_t MyDebug::enableDebug() { return switches().enableDebug; }
int32_t MyDebug::outDebugId() { return switches().outDebugId; }
void MyDebug::resetSwitches() { switches() = Switches{}; }
