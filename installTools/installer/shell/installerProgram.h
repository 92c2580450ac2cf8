// The program start of tvSetupTool: the command line, the main window, the message loop and the exit code.
#pragma once

#include <functional>
#include <string>
#include <vector>

class TinstallForm;

// Exit codes of an unattended run ("PRODUCT 1 /s", "PRODUCT 0 /s").
constexpr int kExitSuccess = 0;
constexpr int kExitCompletedWithError = 1;
constexpr int kExitNothingToDo = 2;  // "/s" without a product and mode to act on
constexpr int kExitSuccessRestartNeeded = 3010;

// Whether an argument is the switch "/s", in any letter case.
bool isSilentSwitch(const std::string& argument);

// Runs the installer with the command line's arguments (without the program's name). loop runs the message loop
// of the main window (ui::run by default; the host tool watches the window while it runs).
int runInstaller(const std::vector<std::string>& arguments,
                 const std::function<void(TinstallForm&)>& loop = std::function<void(TinstallForm&)>());

// The exit code for a main window whose message loop has ended.
int exitCodeOf(const TinstallForm& form);
