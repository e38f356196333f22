// Console facts that differ between Windows and POSIX: TerminalPosix.cpp and
// TerminalWin32.cpp.
#pragma once

namespace tovik::host {

// True when the standard error stream is an interactive terminal (a progress
// bar is drawn only there).
bool StderrIsTerminal();

}  // namespace tovik::host
