#include "installTools/installer/testing/installerFixture.h"

#include "installTools/installer/config/installIniFile.h"

namespace {

const char kIni[] = R"(
[InstallData]
MainFormCaption=TV Card Driver Setup
ProductBoxCaption=Product Name
IinstallButtonName=Install
UnIinstallButtonName=Uninstall
ExitButtonName=Exit
InstallCompleteMsg=Install Complete
RestartPcMsg=Restart PC ?
OKButton=OK
RestartButton=OK
CancelButton=Cancel
ConnectHardwareString=Please plug %DEVICE% into USB port
UnConnectHardwareString=Please unplug %DEVICE%

[__Info]
ShortCutSimIR_ApName=SimIR

[VL540_Drv]
ProductListOrder=1
driverXPPath=Driver\XP
InfFileName_0=nvpelgar.inf
OemProductName=VL540 MPEG Encoder Card
ShowRestartPC=1
bEnableType=1

[RX410_Drv]
ProductListOrder=2
driverXPPath=Driver\XP
InfFileName_0=rx410.inf
OemProductName=RX410 TV Card
bEnableType=1

[RX130_Drv]
ProductListOrder=3
driverXPPath=Driver\XP
InfFileName_0=rx130v.inf
OemProductName=RX130 USB TV Box
bEnableType=1

[VL210_Drv]
ProductListOrder=4
driverXPPath=Driver\XP
InfFileName_0=vl210.inf
OemProductName=VL210 USB Box
bEnableType=1
)";

std::string inf(const std::string& model) {
  return "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=MEDIA\r\n"
         "ClassGUID={4d36e96c-e325-11ce-bfc1-08002be10318}\r\n\r\n[Manufacturer]\r\n%Mfg%=Taviron.Models\r\n\r\n"
         "[Taviron.Models]\r\n%Desc%=Desc.Install, " +
         model + "\r\n";
}

}  // namespace

RecordingWindow::RecordingWindow() : form_("RecordingWindow", 100, 100, *this) { setApplicationMainWindow(this); }
RecordingWindow::~RecordingWindow() {
  if (applicationMainWindow() == this) setApplicationMainWindow(nullptr);
}
bool RecordingWindow::onMessage(UINT message, WPARAM, LPARAM lParam) {
  if (message != WM_INSTALL_STATUS) return false;
  arrivals.push_back({*reinterpret_cast<const InstallStatus*>(lParam), ui::now()});
  return true;
}
std::vector<std::string> RecordingWindow::lines() const {
  std::vector<std::string> result;
  for (const Arrival& a : arrivals)
    if (!a.status.done) result.push_back(std::string(a.status.text) + "@" + std::to_string(a.status.percent));
  return result;
}

InstallerTest::InstallerTest() = default;

InstallerTest::~InstallerTest() {
  window.reset();
  // Settle every thread before the machine and the desktop go.
}

void InstallerTest::writePackage(const std::string& extra) {
  std::string folder = kFolder;
  std::string ini = kIni;
  // Each block's lines go right after its section's header (a new section when the INI file has none).
  size_t at = 0;
  while ((at = extra.find('[', at)) != std::string::npos) {
    size_t close = extra.find(']', at);
    size_t next = extra.find('[', close);
    std::string header = extra.substr(at, close - at + 1);
    std::string lines = extra.substr(close + 2, next == std::string::npos ? std::string::npos : next - close - 2);
    size_t place = ini.find(header + "\n");
    if (place == std::string::npos)
      ini += "\n" + header + "\n" + lines;
    else
      ini.insert(place + header.size() + 1, lines);
    at = close;
  }
  machine.files.writeFile(folder + "drvInstall.ini", ini);
  machine.files.writeFile(folder + "Driver\\XP\\nvpelgar.inf", inf(kVl540Id));
  machine.files.writeFile(folder + "Driver\\XP\\rx410.inf", inf(kRx410Id));
  machine.files.writeFile(folder + "Driver\\XP\\rx130v.inf", inf(std::string(kRx130Id) + "&MI_00"));
  machine.files.writeFile(folder + "Driver\\XP\\vl210.inf", inf(kVl210Id));
}

TinstallForm& InstallerTest::start(const std::vector<std::string>& arguments) {
  window = std::make_unique<TinstallForm>(arguments);
  return *window;
}

std::vector<std::string> InstallerTest::boxes() const {
  std::vector<std::string> result;
  for (const sim::MessageBoxCall& box : machine.boxes.calls()) result.push_back(box.caption + ": " + box.text);
  return result;
}

bool InstallerTest::runUntilIdle(unsigned limitMs) {
  return ui::headless::runUntil([this] { return !window->threadRunning(); }, limitMs);
}

std::string InstallerTest::regValue(const std::string& key, const std::string& name) const {
  HKEY handle;
  if (win::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return "(no key)";
  char buffer[512] = "";
  DWORD size = sizeof buffer - 1;
  LONG result = win::RegQueryValueExA(handle, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
  win::RegCloseKey(handle);
  return result == ERROR_SUCCESS ? std::string(buffer) : "(no value)";
}
