#pragma once

#include <windows.h>

// Writes wide text to an output handle. A console takes the text as it is; a pipe or a
// file gets it in codePage, with characters that page lacks as "?" (UTF-8 has a form for
// every character). (The C run time's wide printf would instead stop printing a text at
// its first non-ASCII character when the output is a pipe.) Whether the handle is a
// console is the caller's answer, since asking costs a round trip to the system.
// Answers ERROR_SUCCESS once every byte is written, else the system's error code: a
// missing handle, a pipe whose reader has gone, a full disk.
DWORD WriteTextToHandle(HANDLE handle, bool isConsole, UINT codePage, const wchar_t* text, int length);

// Whether the handle is a console (GetConsoleMode answers for it).
bool IsConsoleHandle(HANDLE handle);
