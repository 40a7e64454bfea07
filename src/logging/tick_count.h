#pragma once

#include <windows.h>

// The milliseconds from one reading of the tick count to a later one. The unsigned 32-bit
// difference is the time passed even across the count's wrap (every 49.7 days); a signed
// comparison of the two counts would stop an interval for a whole wrap period.
inline DWORD TicksSince(DWORD then, DWORD now) noexcept { return now - then; }
