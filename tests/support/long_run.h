#pragma once

#include <windows.h>

// Whether this is the long run (./test --long sets VARROWMERE_LONG_TESTS=1): load, fuzz
// and memory tests then take their full sizes, minutes instead of seconds.
inline bool LongTestRun() {
  wchar_t value[4] = {};
  return ::GetEnvironmentVariableW(L"VARROWMERE_LONG_TESTS", value, 4) == 1 && value[0] == L'1';
}
