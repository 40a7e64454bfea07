#pragma once

#include <windows.h>

#include <cstdarg>

#include "logging/log_levels.h"
#include "logging/log_thresholds.h"

// The logging calls of the whole system. Each runs on the caller's thread in a fixed
// order: the level gate, the argument check, the running test, the formatting, and the
// hand-over to the process-wide logger. They never wait for an output and tell the
// caller nothing.

// The level gate: true when some output's threshold admits the level, or the level is 5.
// It looks only at the process-wide logger's thresholds, not at the output switches, and
// only at the highest of them: one load and a compare, no call, no lock, no allocation,
// so a disabled call costs next to nothing.
inline bool IsLogLevelEnabled(int level) { return g_processLogThresholds.Admits(level); }

// Wide format: in it %s is a wide text and %S a narrow one.
void LogMessage(int level, const wchar_t* format, ...);
void LogMessageWithId(int level, DWORD eventId, const wchar_t* format, ...);
void LogMessageV(int level, DWORD eventId, const wchar_t* format, va_list args);
// Narrow format in the ANSI code page: %s is a narrow text and %S a wide one.
void LogMessageA(int level, const char* format, ...);
// As LogMessage, but queued even before the logger runs (the environment report's lines
// are written while the logger thread is still opening its file).
void LogMessageDirect(int level, const wchar_t* format, ...);

// A bounded, checked wide printf for lines built in fixed buffers: formats into at most
// count - 1 characters and always terminates at count - 1. A call whose arguments fail
// the check is reported and leaves the buffer untouched.
void FormatChecked(wchar_t* buffer, int count, const wchar_t* format, ...);
void FormatCheckedV(wchar_t* buffer, int count, const wchar_t* format, va_list args);

// True for a non-null pointer into memory that is not writable: a function of the
// program passes, a pointer into data does not.
bool IsCodePointer(const void* pointer);
