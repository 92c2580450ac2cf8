// tvSetupCheck: prints, as one JSON object, the configuration the installer will build from a package folder on
// this machine: the chosen INI file, the OS version code, the locale, the active products and each product's
// INF files with their hardware IDs and whether a present device matches.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "installTools/tools/setupCheck.h"
#include "platform/seam/winapi.h"

#ifndef _WIN32
#include <filesystem>

#include "platform/sim/machine.h"
#endif

namespace {

const char kUsage[] =
    "usage: tvSetupCheck [--package DIR] [--machine DIR] [--device HWID]... [--args \"ARGS\"]\n"
    "  --package DIR   folder of the INI files and driver folders (default: this program's folder)\n"
#ifndef _WIN32
    "  --machine DIR   the simulated machine to check on (default: Windows XP SP2, locale 0409, no devices)\n"
#endif
    "  --device HWID   an extra present device, by its hardware-ID text (repeatable)\n"
    "  --args \"ARGS\"   the installer's command-line arguments (product ID, mode, 1000)\n";

int usage(const char* problem) {
  if (problem) std::fprintf(stderr, "tvSetupCheck: %s\n", problem);
  std::fputs(kUsage, stderr);
  return 2;
}

std::string moduleFolder() {
  char path[MAX_PATH + 1] = {};
  DWORD n = win::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string module(path, n);
  auto at = module.find_last_of("\\/");
  return at == std::string::npos ? std::string() : module.substr(0, at + 1);
}

}  // namespace

int main(int argc, char** argv) {
  SetupCheckRequest request;
  std::string package, machineDir;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* value = nullptr;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--package" || arg == "--machine" || arg == "--device" || arg == "--args") {
      if (i + 1 >= argc) return usage((arg + " needs a value").c_str());
      value = argv[++i];
      if (arg == "--package") package = value;
      if (arg == "--machine") machineDir = value;
      if (arg == "--device") request.devices.push_back(value);
      if (arg == "--args") request.arguments = value;
    } else {
      return usage(("unknown argument: " + arg).c_str());
    }
  }

#ifndef _WIN32
  // The host checks on a simulated machine; the package folder is copied onto its drive C:, where the installer
  // would lie.
  sim::Machine machine;
  std::string error;
  if (!machineDir.empty() && !sim::Machine::load(machineDir, machine, error)) {
    std::fprintf(stderr, "tvSetupCheck: %s\n", error.c_str());
    return 2;
  }
  sim::MachineScope scope(machine);
  const std::string hostPackage =
      package.empty() ? std::filesystem::canonical("/proc/self/exe").parent_path().string() : package;
  if (!std::filesystem::is_directory(hostPackage)) {
    std::fprintf(stderr, "tvSetupCheck: no package folder %s\n", hostPackage.c_str());
    return 2;
  }
  const std::string installFolder = "C:\\Program Files\\tvSetup\\";
  if (!machine.files.importHostTree(installFolder, hostPackage, error)) {
    std::fprintf(stderr, "tvSetupCheck: %s\n", error.c_str());
    return 2;
  }
  request.packageFolder = installFolder;
#else
  if (!machineDir.empty()) return usage("--machine is for the host build; this build checks the real machine");
  request.packageFolder = package.empty() ? moduleFolder() : package;
#endif
  if (request.packageFolder.empty()) request.packageFolder = moduleFolder();
  if (request.packageFolder.back() != '\\' && request.packageFolder.back() != '/') request.packageFolder += '\\';

  std::string json;
  if (!describeSetup(request, json)) {
    std::fputs("Can't find Ini file\n", stderr);
    return 2;
  }
  std::fwrite(json.data(), 1, json.size(), stdout);
  return 0;
}
