// Other programs' windows and processes, and the shell services the installer uses around them: finding a
// top-level window by class and title and sending or posting it messages, starting programs and waiting for them,
// the Program Files folder, system message texts, string resources of a system library, the beep, the debugger
// output and restarting the machine. Called as desk::Name, with the platform's names, signatures and contracts.
//   Windows build: the system's functions themselves.
//   Host build:    platform/desktop/sim, a desktop of simulated windows and programs that records every call.
#pragma once

#include "platform/seam/winapi.h"

#ifdef _WIN32
#include <dbt.h>
#include <shellapi.h>
#include <shlobj.h>
#else
#include <cstdarg>

// Host definitions of the records and constants of these functions, as the platform declares them.
struct STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput, hStdOutput, hStdError;
};
typedef STARTUPINFOA* LPSTARTUPINFOA;
struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
typedef PROCESS_INFORMATION* LPPROCESS_INFORMATION;
struct POINT {
  LONG x, y;
};
struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
typedef MSG* LPMSG;

#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_COMMAND 0x0111
#define WM_USER 0x0400
#define WM_DEVICECHANGE 0x0219
#define HWND_TOP ((HWND)0)
#define HWND_BOTTOM ((HWND)1)
#define HWND_TOPMOST ((HWND)-1)
#define HWND_NOTOPMOST ((HWND)-2)
#define SWP_NOSIZE 0x0001
#define SWP_NOMOVE 0x0002
#define SWP_HIDEWINDOW 0x0080
#define STILL_ACTIVE 259
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0
#define WAIT_TIMEOUT 258
#define WAIT_FAILED 0xFFFFFFFF
#define QS_ALLINPUT 0x04FF
#define PM_REMOVE 0x0001
#define NORMAL_PRIORITY_CLASS 0x00000020
#define STARTF_FORCEONFEEDBACK 0x00000040
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define EWX_REBOOT 0x00000002
#define EWX_FORCEIFHUNG 0x00000010
#define CSIDL_PROGRAM_FILES 0x0026
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define DBT_DEVNODES_CHANGED 0x0007
#define DBT_DEVICEARRIVAL 0x8000
#define DBT_DEVICEREMOVECOMPLETE 0x8004
#define DBT_DEVTYP_DEVICEINTERFACE 0x00000005
#define VK_SHIFT 0x10
#define VK_CONTROL 0x11
#endif

namespace desk {
#ifdef _WIN32
using ::Beep;
using ::CreateProcessA;
using ::DispatchMessageA;
using ::ExitWindowsEx;
using ::FindWindowA;
using ::FormatMessageA;
using ::FreeLibrary;
using ::GetExitCodeProcess;
using ::IsWindow;
using ::LoadLibraryA;
using ::LoadStringA;
using ::MsgWaitForMultipleObjects;
using ::OutputDebugStringA;
using ::PeekMessageA;
using ::PostMessageA;
using ::SendMessageA;
using ::SetWindowPos;
using ::ShellExecuteA;
using ::SHGetSpecialFolderPathA;
using ::TranslateMessage;
// Process and thread handles of CreateProcessA.
using ::CloseHandle;
#else
HWND FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName);
BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL IsWindow(HWND hWnd);
BOOL SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy, UINT uFlags);
BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                    LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                    LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                    LPPROCESS_INFORMATION lpProcessInformation);
BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);
DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll, DWORD dwMilliseconds,
                                DWORD dwWakeMask);
BOOL PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg);
BOOL TranslateMessage(const MSG* lpMsg);
LRESULT DispatchMessageA(const MSG* lpMsg);
BOOL CloseHandle(HANDLE hObject);
HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters, LPCSTR lpDirectory,
                        INT nShowCmd);
BOOL ExitWindowsEx(UINT uFlags, DWORD dwReason);
BOOL Beep(DWORD dwFreq, DWORD dwDuration);
void OutputDebugStringA(LPCSTR lpOutputString);
BOOL SHGetSpecialFolderPathA(HWND hwnd, LPSTR pszPath, int csidl, BOOL fCreate);
DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list* Arguments);
HMODULE LoadLibraryA(LPCSTR lpLibFileName);
BOOL FreeLibrary(HMODULE hLibModule);
int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
#endif
}  // namespace desk
