// Small services of the installer shared by its windows and sequences: the Windows version code, the installed
// media player version, restarting the machine, running other programs, a tolerant GUID parser.
#pragma once

#include <cstdint>
#include <string>

#include "platform/seam/winapi.h"

// The OS version code of the running system (95, 98, 982, 982000, 351, 2000, 20005, 1000), computed once.
int32_t osVersionCode();

// The installed Windows Media Player as major * 100 + minor ("PlayerVersion" 9,0,0,2980 gives 900); 0 when none
// is recorded.
int32_t mediaPlayerVersion(int32_t& major, int32_t& minor);

// Enables the shutdown privilege on the NT family, then asks the system to restart, forcing hung programs to
// close. Failures are not reported.
void restartComputer();

// Starts a program and returns when it has ended, dispatching the calling thread's window messages meanwhile.
// running is 1 while it runs. With a wait bound above 0 the messages are dispatched only during the first
// waitBound ms; the wait itself has no limit. Fails silently when the program cannot be started.
void runAndWait(const std::string& commandLine, int& running, unsigned waitBound);

// Starts a program without waiting for it; an error box names the command line when it cannot be started.
void startProgram(const std::string& commandLine);

// A GUID from a text, ignoring case, blanks around it and characters that cannot be part of a GUID; false (and the
// GUID unchanged) unless exactly the 38 characters of "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" remain.
bool parseGuid(const std::string& text, GUID& guid);

// A path as one command-line argument: in double quotes, so that blanks in it do not split it.
std::string quotedPath(const std::string& path);
