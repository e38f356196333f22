// What differs between Windows and POSIX, behind one small interface.
// Each function has one implementation per platform (PlatformWin32.cpp,
// PlatformPosix.cpp).
#pragma once

#include <cstdint>

namespace tovik::platform {

// Milliseconds since the system started, wrapping at 2^32 (GetTickCount).
// [any-thread]
uint32_t TickCount();

// Sleeps the calling thread for about ms milliseconds. [any-thread]
void SleepMs(uint32_t ms);

}  // namespace tovik::platform
