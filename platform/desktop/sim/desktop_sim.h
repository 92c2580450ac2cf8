// The host's desktop: other programs' top-level windows, the programs that can be started, and a record of every
// call of the desktop functions (platform/desktop/desktop.h). Time runs on the headless user interface's virtual
// clock: a started program ends after its run time.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/desktop/desktop.h"

namespace desk::sim {

// How a simulated window reacts to the messages that ask it to go away.
struct WindowBehaviour {
  bool closesOnClose = true;    // WM_CLOSE destroys it
  bool closesOnDestroy = true;  // WM_DESTROY sent to it destroys it
  bool closesOnCancel = true;   // WM_COMMAND IDCANCEL destroys it
};

struct Window {
  HWND handle = nullptr;
  std::string className;
  std::string title;
  WindowBehaviour behaviour;
  bool exists = true;
  bool visible = true;
  bool atBottom = false;
  std::vector<UINT> messages;  // every message posted or sent to it, in order
};

// A program file of the machine and what it does when started.
struct Program {
  DWORD exitCode = 0;
  unsigned runMs = 0;  // how long it runs, on the virtual clock
};

struct Process {
  std::string program;      // the file that was started
  std::string commandLine;  // as given
  uint64_t startedAt = 0;
  Program behaviour;
  bool open = true;
};

// One call of a desktop function: its name and its arguments as text.
struct Call {
  std::string function;
  std::string arguments;
};

class Desktop {
 public:
  Desktop();
  // A top-level window of another program.
  HWND addWindow(const std::string& className, const std::string& title, WindowBehaviour behaviour = {});
  Window* window(HWND handle);
  const std::vector<Window>& windows() const { return windows_; }
  std::vector<Window>& windowsMutable() { return windows_; }
  // What a program file does when started; the file itself must exist on the machine's drive.
  void setProgram(const std::string& path, Program program);

  std::vector<Call> calls;
  std::vector<Process> processes;  // every started process, in order
  std::vector<std::string> debugOutput;
  std::vector<DWORD> beeps;            // frequencies
  std::vector<UINT> exitWindowsCalls;  // flags of ExitWindowsEx
  std::string programFilesFolder = "C:\\Program Files";
  // The string resources of the system's newdev.dll; empty: the library is missing.
  std::map<UINT, std::string> newdevStrings;

  // Internal: the program a command line starts, as CreateProcessA finds it ("" when none).
  std::string programOf(const std::string& commandLine) const;
  const Program* programBehaviour(const std::string& path) const;

 private:
  std::vector<Window> windows_;
  std::map<std::string, Program> programs_;  // upper-cased path
};

// The desktop the functions act on; a fresh one for each scope.
Desktop& current();
class DesktopScope {
 public:
  DesktopScope();
  ~DesktopScope();
  DesktopScope(const DesktopScope&) = delete;
  DesktopScope& operator=(const DesktopScope&) = delete;
};

// The title of the new-hardware wizard in newdev.dll's string 2040, as English systems have it.
constexpr const char* kWizardTitle = "Found New Hardware Wizard";

}  // namespace desk::sim
