#pragma once

#include <windows.h>

#include <vector>

// Writes wide text to an output handle. A console takes the text as it is; a pipe or a
// file gets it in codePage, with characters that page lacks as "?" (UTF-8 has a form for
// every character). (The C run time's wide printf would instead stop printing a text at
// its first non-ASCII character when the output is a pipe.) Whether the handle is a
// console is the caller's answer, since asking costs a round trip to the system.
// Answers ERROR_SUCCESS once every byte is written, else the system's error code: a
// missing handle, a pipe whose reader has gone, a full disk.
DWORD WriteTextToHandle(HANDLE handle, bool isConsole, UINT codePage, const wchar_t* text, int length);

// The same in two steps, for a caller that keeps text to write later in one call: the
// text in codePage as a pipe or a file takes it, put into `bytes` (which grows as
// needed), answering the byte count or 0 with the system's error in GetLastError ...
int EncodeForHandle(UINT codePage, const wchar_t* text, int length, std::vector<char>* bytes);
// ... and `units` (wide characters to a console, bytes to anything else) written whole,
// the rest written on after a partial write. *unitsWritten tells how many reached the
// handle, also when a later write failed: what a reader may have seen.
DWORD WriteUnitsToHandle(HANDLE handle, bool isConsole, const void* units, DWORD count, DWORD* unitsWritten);

// Whether the handle is a console (GetConsoleMode answers for it).
bool IsConsoleHandle(HANDLE handle);
