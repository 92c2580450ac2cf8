// What the installer will build from a package folder on this machine: the configuration as one JSON object.
#pragma once

#include <string>
#include <vector>

struct SetupCheckRequest {
  std::string packageFolder;         // the folder of the INI files and driver folders, ending in "\"
  std::vector<std::string> devices;  // extra present devices, as hardware-ID texts
  std::string arguments;             // the installer's command-line arguments
};

// The hardware-ID strings of every present device, as the device-installation functions list them.
std::vector<std::string> presentHardwareIds();

// Loads the configuration as the installer does and matches the present devices (the machine's and the request's)
// against the active products. False when the package has no INI file.
bool describeSetup(const SetupCheckRequest& request, std::string& json);
