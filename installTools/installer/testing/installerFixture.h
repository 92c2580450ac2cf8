// The installer's test bed: a simulated Windows XP machine with a small package beside the installer, a desktop
// without other programs, the headless user interface and a recording engine.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "installTools/installer/shell/installForm.h"
#include "installTools/installer/testing/fakeEngine.h"
#include "platform/desktop/sim/desktop_sim.h"
#include "platform/sim/machine.h"
#include "platform/ui/headless/headless.h"

// A main window for worker threads run without TinstallForm: it records every status message with the virtual
// time it arrived, counts hardware refreshes and logs the keep-on-top switch.
class RecordingWindow : public InstallWindow, public ui::FormEvents {
 public:
  struct Arrival {
    InstallStatus status;
    uint64_t at;
  };
  RecordingWindow();
  ~RecordingWindow() override;
  ui::Form& form() override { return form_; }
  void refreshHardware() override { ++refreshes; }
  void setKeepOnTop(bool on) override { keepOnTop.push_back(on); }
  bool onMessage(UINT message, WPARAM, LPARAM lParam) override;
  // "text@percent" of every status before the done one.
  std::vector<std::string> lines() const;
  bool done() const { return !arrivals.empty() && arrivals.back().status.done == 1; }

  std::vector<Arrival> arrivals;
  int refreshes = 0;
  std::vector<bool> keepOnTop;

 private:
  ui::Form form_;
};

class InstallerTest : public ::testing::Test {
 protected:
  static constexpr const char* kFolder = "C:\\Program Files\\tvSetup\\";
  // Hardware IDs of the package's products.
  static constexpr const char* kVl540Id = "PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D";
  static constexpr const char* kRx410Id = "PCI\\VEN_1C5D&DEV_0410";
  static constexpr const char* kRx130Id = "USB\\VID_1C5D&PID_0130";
  static constexpr const char* kVl210Id = "USB\\VID_1C5D&PID_0210";

  InstallerTest();
  ~InstallerTest() override;

  // The package: "drvInstall.ini" with VL540 (5401), RX410 (111), RX130 (130) and VL210 (211), their INF files
  // under Driver\XP. extra: "[Section]\nKey=Value\n..." blocks whose lines go into those sections.
  void writePackage(const std::string& extra = "");
  // Starts the main window with the command line's positional arguments.
  TinstallForm& start(const std::vector<std::string>& arguments = {});
  // The main window's message boxes so far, as "caption: text".
  std::vector<std::string> boxes() const;
  // Runs until no worker thread is left and its status has been handled (at most limitMs).
  bool runUntilIdle(unsigned limitMs = 120000);
  std::string regValue(const std::string& key, const std::string& name) const;

  sim::Machine machine;
  sim::MachineScope scope{machine};
  desk::sim::DesktopScope desktopScope;
  FakeEngine engine;
  ui::headless::Session session;
  std::unique_ptr<TinstallForm> window;

  desk::sim::Desktop& desktop() { return desk::sim::current(); }
};
