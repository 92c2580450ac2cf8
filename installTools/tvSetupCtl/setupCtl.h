// tvSetupCtl: a console front end to the install engine for scripted installs and support work.
//   tvSetupCtl [--machine DIR] COMMAND [ARGUMENTS]
// Commands: present, installed HWID, install HWID INF, remove HWID, uninstall HWID, delinf HWID..., refresh,
// isadmin. A HWID argument is a hardware-ID text ("PCI\VEN_1C5D&DEV_5401"), made into a record by
// NormalizeHardwareID; whether a device is present is decided from the engine's list of present devices.
// Exit codes as the system's own tools use them.
#pragma once

#include <string>
#include <vector>

inline constexpr int kCtlDone = 0;
inline constexpr int kCtlFailed = 1;
inline constexpr int kCtlNoDevice = 259;        // ERROR_NO_MORE_ITEMS: no matching device
inline constexpr int kCtlRestartNeeded = 3010;  // ERROR_SUCCESS_REBOOT_REQUIRED

// Runs one command (the arguments after the program's name, --machine already taken off) against the engine:
// loads it, acts, unloads it. What the command lists goes to `out`, one line each; a failure's one-line reason
// to `err`.
int RunSetupCtl(const std::vector<std::string>& args, std::string& out, std::string& err);

// The whole command line: on the host, "--machine DIR" loads the simulated machine's folder, runs the command on
// it and saves the folder back.
int SetupCtlMain(const std::vector<std::string>& args, std::string& out, std::string& err);
