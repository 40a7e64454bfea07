#pragma once

#include <windows.h>

#include <string>

#include "logging/report_sink.h"

// A trace that needs nothing but the file system: one line per call, appended to a daily
// text file below the folder named by TEMP, named after the host:
//   %TEMP%\20240305\MYHOST_log_20240305.txt
// with the date in UTC. It takes the arguments of a report line sink, for code that must
// leave a trace where the debug logger is not available. Each line is opened, appended
// in one write and closed on its own, so other processes may read the file between
// lines, and every process of the host may append to it at the same time without a line
// being lost or broken. It is meant for rare diagnostic lines, not for volume.

// Lines are written when the trace level is above 3 or the line's level is at most the
// trace level; 3 at start.
int FallbackTraceLevel() noexcept;
void SetFallbackTraceLevel(int level) noexcept;

// The part of the file name between the host and the date; "log" at start. Longer names
// are cut to this many characters.
inline constexpr int kFallbackTraceNamePartChars = 63;
std::wstring FallbackTraceNamePart();
void SetFallbackTraceNamePart(const wchar_t* namePart);

// The clock of the trace's dates and time stamps, in UTC: GetSystemTime unless a test
// drives the time itself (null puts GetSystemTime back).
using TraceClock = void(WINAPI*)(LPSYSTEMTIME);
void SetFallbackTraceClock(TraceClock clock) noexcept;

// The writer, with a report line sink's parameters; a, b and c are not used. An empty or
// null text writes nothing, and neither does a text equal to the previous call's text. A
// capture block (its first word kCaptureBlockMarker, writable) receives a copy of every
// non-empty text, cut to 2047 characters and terminated; the answer is the capture block
// when the text was copied into it, else null. Any thread may call it; the calls are
// serialised.
void* WriteFallbackTrace(int level, int a, int b, int c, const wchar_t* text, const char* function, int line,
                         void* captureBlock);

// A copy of the path with a backslash appended, unless it is empty or already ends in one.
std::wstring AppendBackslash(const std::wstring& path);

// The current UTC time as "MM/DD hh:mm:ss", in a buffer of 32 characters that belongs to
// the calling thread and is overwritten by its next call.
const wchar_t* FormatTraceTimestamp();

// True for a path the system reports as a directory, and for one it cannot answer for
// because it is busy (sharing violations, too many names or sessions): such a folder is
// there, only not available right now. False for a null or empty path.
bool DirectoryExists(const wchar_t* path);
