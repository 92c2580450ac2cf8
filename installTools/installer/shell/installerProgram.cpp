#include "installTools/installer/shell/installerProgram.h"

#include <cctype>

#include "installTools/installer/shell/installForm.h"
#include "platform/desktop/desktop.h"

bool isSilentSwitch(const std::string& argument) {
  std::string lower = argument;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower == "/s";
}

int exitCodeOf(const TinstallForm& form) {
  if (!form.unattended()) return kExitSuccess;
  if (form.lastResult() != 1) return kExitCompletedWithError;
  return form.restartNeeded() ? kExitSuccessRestartNeeded : kExitSuccess;
}

int runInstaller(const std::vector<std::string>& arguments, const std::function<void(TinstallForm&)>& loop) {
  std::vector<std::string> positional;
  int silentSwitches = 0;
  for (const std::string& argument : arguments) {
    if (isSilentSwitch(argument))
      ++silentSwitches;
    else if (positional.size() < 2)
      positional.push_back(argument);
  }
  TinstallForm form(positional);
  for (int i = 0; i < silentSwitches; ++i) desk::Beep(10000, 500);
  bool showMainWindow = silentSwitches == 0;
  // A hidden window with nothing to do would wait for ever: an unattended call without a product to act on ends.
  if (!showMainWindow && !form.unattended()) return kExitNothingToDo;
  if (showMainWindow) form.form().show();
  if (loop)
    loop(form);
  else
    ui::run(form.form());
  return exitCodeOf(form);
}
