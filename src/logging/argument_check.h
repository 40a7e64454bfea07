#pragma once

#include <windows.h>

#include <cstdarg>

// Matches a logging call's arguments against its format before anything is formatted.
// The format is walked conversion by conversion; each conversion takes the next argument
// by the type its kind reads, and the memory the formatter would read (or, for %n,
// write) is tested first. A call that fails is not formatted: it is described in an
// "Invalid log entry" report at level 5 (while the logger runs) and false is answered.
//
// wideMeaning selects how %s/%S/%c/%C read: wide formats take %s as a wide text,
// narrow formats as a narrow one. The level, event identifier and user text serve only
// the report. The caller's argument list is not advanced.
bool CheckLogArguments(int level, const wchar_t* format, va_list args, DWORD eventId,
                       const wchar_t* userText, bool wideMeaning);

// The narrow-format twin: format and user text are converted to wide text for the walk
// and the report, and the conversions read with narrow meaning.
bool CheckLogArgumentsA(int level, const char* format, va_list args, DWORD eventId,
                        const char* userText);
