#include <windows.h>

#include "platform/Platform.h"

namespace tovik::platform {

uint32_t TickCount() { return static_cast<uint32_t>(GetTickCount()); }

void SleepMs(uint32_t ms) { Sleep(ms); }

}  // namespace tovik::platform
