// tvSetupTool: installs and uninstalls the drivers of one product of the package, with its window or unattended:
//   tvSetupTool [PRODUCT [MODE]] [/s]      MODE 1 installs, 0 uninstalls; /s hides the window
// The host build runs the installer headless on a simulated machine and prints the status as it changes:
//   tvSetupTool [--machine DIR] [--package DIR] PRODUCT MODE [/s]
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "installTools/installer/shell/installForm.h"
#include "installTools/installer/shell/installerProgram.h"
#include "platform/seam/winapi.h"

#ifndef _WIN32
#include <filesystem>

#include "installTools/installer/config/installIniFile.h"
#include "platform/desktop/sim/desktop_sim.h"
#include "platform/sim/machine.h"
#include "platform/ui/headless/headless.h"
#endif

#ifdef _WIN32

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  try {
    return runInstaller(arguments);
  } catch (const std::exception& e) {
    win::MessageBoxA(nullptr, e.what(), "tvSetupTool", MB_OK | MB_ICONHAND);
    return kExitCompletedWithError;
  }
}

#else

namespace {

const char kUsage[] =
    "usage: tvSetupTool [--machine DIR] [--package DIR] [PRODUCT [MODE]] [/s]\n"
    "  --machine DIR   the simulated machine to run on; saved back when the run ends\n"
    "  --package DIR   the package folder (default: sample/package of the source tree)\n"
    "  --answer N      an answer for the next message box (1 OK, 2 Cancel; repeatable)\n"
    "  PRODUCT MODE    a product ID and 1 (install) or 0 (uninstall): an unattended run\n";

void printStatus(int percent, const std::string& text) {
  constexpr int kWidth = 30;
  int filled = percent * kWidth / 100;
  std::printf("[%s%s] %3d%%  %s\n", std::string(filled, '#').c_str(), std::string(kWidth - filled, ' ').c_str(),
              percent, text.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::string machineDir;
  std::string package = TV_SOURCE_DIR "/sample/package";
  std::vector<std::string> arguments;
  std::vector<int> answers;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "--machine" || arg == "--package" || arg == "--answer") && i + 1 < argc) {
      std::string value = argv[++i];
      if (arg == "--machine") machineDir = value;
      if (arg == "--package") package = value;
      if (arg == "--answer") answers.push_back(std::atoi(value.c_str()));
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      arguments.push_back(arg);
    }
  }
  sim::Machine machine;
  std::string error;
  if (!machineDir.empty() && std::filesystem::exists(machineDir + "/machine.ini") &&
      !sim::Machine::load(machineDir, machine, error)) {
    std::fprintf(stderr, "tvSetupTool: %s\n", error.c_str());
    return 2;
  }
  sim::MachineScope scope(machine);
  std::string folder = machine.modulePath.substr(0, machine.modulePath.find_last_of('\\') + 1);
  if (!machine.files.importHostTree(folder, package, error)) {
    std::fprintf(stderr, "tvSetupTool: %s\n", error.c_str());
    return 2;
  }
  for (int answer : answers) machine.boxes.script(answer);
  desk::sim::DesktopScope desktop;
  ui::headless::Session session;

  int code;
  try {
    code = runInstaller(arguments, [](TinstallForm& form) {
      if (!form.unattended()) {
        std::printf("%s: %d product(s); the host build runs only unattended installs and uninstalls\n",
                    form.form().caption().c_str(), static_cast<int>(form.config().activeSections().size()));
        form.exitButtonClick();
      }
      std::string text;
      int percent = -1;
      ui::headless::runUntil(
          [&] {
            const std::string& now = form.statusBar().panelText(1);
            int position = form.progressBar().position();
            if (now != text || position != percent) {
              text = now;
              percent = position;
              printStatus(percent, text);
            }
            return form.form().closed();
          },
          24 * 3600 * 1000);
    });
  } catch (const sim::ProcessExit& exit) {
    code = static_cast<int>(exit.exitCode);
  }
  for (const sim::MessageBoxCall& box : machine.boxes.calls())
    std::printf("message box \"%s\": %s\n", box.caption.c_str(), box.text.c_str());
  if (!machineDir.empty() && !machine.save(machineDir, error)) {
    std::fprintf(stderr, "tvSetupTool: %s\n", error.c_str());
    return 2;
  }
  std::printf("exit code %d\n", code);
  return code;
}

#endif
