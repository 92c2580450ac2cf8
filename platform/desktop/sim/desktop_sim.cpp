// The simulated desktop behind desk::Name on the host.
#include "platform/desktop/sim/desktop_sim.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/ui/headless/scheduler.h"
#include "platform/ui/ui.h"

namespace desk::sim {
namespace {

std::recursive_mutex& lock() {
  static std::recursive_mutex m;
  return m;
}

std::unique_ptr<Desktop>& slot() {
  static std::unique_ptr<Desktop> desktop = std::make_unique<Desktop>();
  return desktop;
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool sameText(const std::string& a, const std::string& b) { return upper(a) == upper(b); }

std::string hex(uintptr_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(value));
  return buffer;
}

bool fileExists(const std::string& path) {
  DWORD attributes = win::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A name without an extension in its last part is looked for with ".exe", as CreateProcessA does.
std::string withExtension(const std::string& name) {
  size_t slash = name.find_last_of("\\/");
  size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name + ".exe";
  return name;
}

constexpr uintptr_t kProcessBase = 0x7000;
constexpr uintptr_t kThreadBase = 0x9000;
constexpr uintptr_t kNewdevModule = 0x6E00;

}  // namespace

Desktop::Desktop() { newdevStrings[2040] = kWizardTitle; }

HWND Desktop::addWindow(const std::string& className, const std::string& title, WindowBehaviour behaviour) {
  HWND handle = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x20000 + 4 * (windows_.size() + 1)));
  Window w;
  w.handle = handle;
  w.className = className;
  w.title = title;
  w.behaviour = behaviour;
  windows_.push_back(w);
  return handle;
}

Window* Desktop::window(HWND handle) {
  for (Window& w : windows_)
    if (w.handle == handle) return &w;
  return nullptr;
}

void Desktop::setProgram(const std::string& path, Program program) { programs_[upper(path)] = program; }

const Program* Desktop::programBehaviour(const std::string& path) const {
  auto it = programs_.find(upper(path));
  return it == programs_.end() ? nullptr : &it->second;
}

// An unquoted command line is tried at each blank, shortest first: "C:\Program Files\a b.exe" starts
// "C:\Program.exe" when that file exists. A quoted one names its program exactly.
std::string Desktop::programOf(const std::string& commandLine) const {
  if (!commandLine.empty() && commandLine[0] == '"') {
    size_t end = commandLine.find('"', 1);
    std::string name = commandLine.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    std::string candidate = withExtension(name);
    return fileExists(candidate) ? candidate : "";
  }
  size_t pos = 0;
  for (;;) {
    size_t blank = commandLine.find(' ', pos);
    std::string candidate = withExtension(commandLine.substr(0, blank));
    if (fileExists(candidate)) return candidate;
    if (blank == std::string::npos) return "";
    pos = blank + 1;
  }
}

Desktop& current() { return *slot(); }

DesktopScope::DesktopScope() {
  std::lock_guard g(lock());
  slot() = std::make_unique<Desktop>();
}
DesktopScope::~DesktopScope() {
  std::lock_guard g(lock());
  slot() = std::make_unique<Desktop>();
}

}  // namespace desk::sim

namespace desk {
namespace {

using sim::current;

void record(const std::string& function, const std::string& arguments) {
  current().calls.push_back({function, arguments});
}

std::string describe(HWND hwnd) {
  sim::Window* w = current().window(hwnd);
  return w ? w->className + "|" + w->title : sim::hex(reinterpret_cast<uintptr_t>(hwnd));
}

sim::Process* processOf(HANDLE handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value < sim::kProcessBase || value >= sim::kProcessBase + current().processes.size()) return nullptr;
  return &current().processes[value - sim::kProcessBase];
}

bool running(const sim::Process& p) { return ui::now() < p.startedAt + p.behaviour.runMs; }

// A message that asks the window to go away, and whether it does.
void deliver(sim::Window& w, UINT message, WPARAM wParam) {
  w.messages.push_back(message);
  if ((message == WM_CLOSE && w.behaviour.closesOnClose) || (message == WM_DESTROY && w.behaviour.closesOnDestroy) ||
      (message == WM_COMMAND && wParam == IDCANCEL && w.behaviour.closesOnCancel))
    w.exists = false;
}

}  // namespace

HWND FindWindowA(LPCSTR className, LPCSTR windowName) {
  std::lock_guard g(sim::lock());
  record("FindWindowA", std::string(className ? className : "(any)") + "|" + (windowName ? windowName : "(any)"));
  for (sim::Window& w : current().windowsMutable())
    if (w.exists && (!className || sim::sameText(className, w.className)) &&
        (!windowName || sim::sameText(windowName, w.title)))
      return w.handle;
  return nullptr;
}

BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  std::lock_guard g(sim::lock());
  record("PostMessageA", describe(hwnd) + " " + sim::hex(message) + " " + sim::hex(wParam) + " " +
                             sim::hex(static_cast<uintptr_t>(lParam)));
  sim::Window* w = current().window(hwnd);
  if (!w || !w->exists) {
    win::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  deliver(*w, message, wParam);
  return TRUE;
}

LRESULT SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  std::lock_guard g(sim::lock());
  record("SendMessageA", describe(hwnd) + " " + sim::hex(message) + " " + sim::hex(wParam) + " " +
                             sim::hex(static_cast<uintptr_t>(lParam)));
  sim::Window* w = current().window(hwnd);
  if (!w || !w->exists) {
    win::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  deliver(*w, message, wParam);
  return 0;
}

BOOL IsWindow(HWND hwnd) {
  std::lock_guard g(sim::lock());
  record("IsWindow", describe(hwnd));
  sim::Window* w = current().window(hwnd);
  return w && w->exists;
}

BOOL SetWindowPos(HWND hwnd, HWND insertAfter, int, int, int, int, UINT flags) {
  std::lock_guard g(sim::lock());
  record("SetWindowPos", describe(hwnd) + " " +
                             sim::hex(static_cast<uintptr_t>(reinterpret_cast<intptr_t>(insertAfter))) + " " +
                             sim::hex(flags));
  sim::Window* w = current().window(hwnd);
  if (!w || !w->exists) {
    win::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (insertAfter == HWND_BOTTOM) w->atBottom = true;
  if (flags & SWP_HIDEWINDOW) w->visible = false;
  return TRUE;
}

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                    BOOL inheritHandles, DWORD creationFlags, LPVOID, LPCSTR, LPSTARTUPINFOA startupInfo,
                    LPPROCESS_INFORMATION info) {
  std::lock_guard g(sim::lock());
  std::string line = commandLine ? commandLine : "";
  record("CreateProcessA", line + " inherit=" + std::to_string(inheritHandles) + " flags=" + sim::hex(creationFlags) +
                               " startf=" + sim::hex(startupInfo ? startupInfo->dwFlags : 0));
  if (!info || (!applicationName && line.empty())) {
    win::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string program = applicationName ? applicationName : current().programOf(line);
  if (program.empty() ||
      (applicationName && current().programOf(std::string("\"") + applicationName + "\"").empty())) {
    win::SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  sim::Process process;
  process.program = program;
  process.commandLine = line;
  process.startedAt = ui::now();
  if (const sim::Program* behaviour = current().programBehaviour(program)) process.behaviour = *behaviour;
  current().processes.push_back(process);
  uintptr_t index = current().processes.size() - 1;
  info->hProcess = reinterpret_cast<HANDLE>(sim::kProcessBase + index);
  info->hThread = reinterpret_cast<HANDLE>(sim::kThreadBase + index);
  info->dwProcessId = static_cast<DWORD>(1000 + 4 * index);
  info->dwThreadId = static_cast<DWORD>(2000 + 4 * index);
  return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
  std::lock_guard g(sim::lock());
  sim::Process* p = processOf(process);
  if (!p || !p->open || !exitCode) {
    win::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *exitCode = running(*p) ? STILL_ACTIVE : p->behaviour.exitCode;
  return TRUE;
}

// Waits for one process on the virtual clock. The simulated threads have no window messages of their own, so the
// wait ends only when the process ends or the time is up.
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL, DWORD milliseconds, DWORD) {
  uint64_t endsAt;
  {
    std::lock_guard g(sim::lock());
    record("MsgWaitForMultipleObjects", std::to_string(count) + " " + std::to_string(milliseconds));
    sim::Process* p = count == 1 && handles ? processOf(handles[0]) : nullptr;
    if (!p || !p->open) {
      win::SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    endsAt = p->startedAt + p->behaviour.runMs;
  }
  uint64_t start = ui::now();
  uint64_t limit = milliseconds == INFINITE ? endsAt : std::min<uint64_t>(endsAt, start + milliseconds);
  if (limit > start) ui::sleep(static_cast<unsigned>(limit - start));
  return ui::now() >= endsAt ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL PeekMessageA(LPMSG msg, HWND, UINT, UINT, UINT) {
  // The installer's own forms take their messages through platform/ui; nothing else is queued here.
  ui::processMessages();
  if (msg) *msg = MSG{};
  return FALSE;
}
BOOL TranslateMessage(const MSG*) { return FALSE; }
LRESULT DispatchMessageA(const MSG*) { return 0; }

BOOL CloseHandle(HANDLE handle) {
  std::lock_guard g(sim::lock());
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (sim::Process* p = processOf(handle)) {
    if (!p->open) return FALSE;
    p->open = false;
    return TRUE;
  }
  if (value >= sim::kThreadBase && value < sim::kThreadBase + current().processes.size()) return TRUE;
  return win::CloseHandle(handle);
}

HINSTANCE ShellExecuteA(HWND, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR, INT showCmd) {
  std::lock_guard g(sim::lock());
  std::string target = file ? file : "";
  record("ShellExecuteA", std::string(operation ? operation : "(default)") + " " + target + " " +
                              (parameters ? parameters : "") + " show=" + std::to_string(showCmd));
  std::string program = current().programOf("\"" + target + "\"");
  if (program.empty()) return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(ERROR_FILE_NOT_FOUND));
  sim::Process process;
  process.program = program;
  process.commandLine = "\"" + target + "\"" + (parameters && *parameters ? std::string(" ") + parameters : "");
  process.startedAt = ui::now();
  process.open = false;
  if (const sim::Program* behaviour = current().programBehaviour(program)) process.behaviour = *behaviour;
  current().processes.push_back(process);
  return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(42));
}

BOOL ExitWindowsEx(UINT flags, DWORD) {
  std::lock_guard g(sim::lock());
  record("ExitWindowsEx", sim::hex(flags));
  current().exitWindowsCalls.push_back(flags);
  return TRUE;
}

BOOL Beep(DWORD frequency, DWORD duration) {
  std::lock_guard g(sim::lock());
  record("Beep", std::to_string(frequency) + " " + std::to_string(duration));
  current().beeps.push_back(frequency);
  return TRUE;
}

void OutputDebugStringA(LPCSTR text) {
  std::lock_guard g(sim::lock());
  current().debugOutput.push_back(text ? text : "");
}

BOOL SHGetSpecialFolderPathA(HWND, LPSTR path, int csidl, BOOL) {
  std::lock_guard g(sim::lock());
  record("SHGetSpecialFolderPathA", sim::hex(static_cast<uintptr_t>(csidl)));
  const std::string& folder = current().programFilesFolder;
  if (csidl != CSIDL_PROGRAM_FILES || folder.empty() || folder.size() >= MAX_PATH || !path) return FALSE;
  std::memcpy(path, folder.c_str(), folder.size() + 1);
  return TRUE;
}

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size, va_list*) {
  static const std::map<DWORD, const char*> texts = {
      {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
      {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
      {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
  };
  auto it = texts.find(messageId);
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || it == texts.end() || !buffer) return 0;
  size_t length = std::strlen(it->second);
  if (length + 1 > size) return 0;
  std::memcpy(buffer, it->second, length + 1);
  return static_cast<DWORD>(length);
}

HMODULE LoadLibraryA(LPCSTR name) {
  std::lock_guard g(sim::lock());
  record("LoadLibraryA", name ? name : "");
  std::string path = name ? name : "";
  size_t slash = path.find_last_of("\\/");
  std::string file = sim::upper(path.substr(slash == std::string::npos ? 0 : slash + 1));
  if ((file == "NEWDEV.DLL" || file == "NEWDEV") && !current().newdevStrings.empty())
    return reinterpret_cast<HMODULE>(sim::kNewdevModule);
  win::SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

BOOL FreeLibrary(HMODULE module) { return module == reinterpret_cast<HMODULE>(sim::kNewdevModule); }

int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int size) {
  std::lock_guard g(sim::lock());
  if (instance != reinterpret_cast<HINSTANCE>(sim::kNewdevModule) || !buffer || size <= 0) return 0;
  auto it = current().newdevStrings.find(id);
  if (it == current().newdevStrings.end()) return 0;
  int length = std::min<int>(static_cast<int>(it->second.size()), size - 1);
  std::memcpy(buffer, it->second.data(), length);
  buffer[length] = 0;
  return length;
}

}  // namespace desk
