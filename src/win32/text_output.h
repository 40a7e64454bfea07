#pragma once

#include <windows.h>

// Writes wide text to an output handle. A console takes the text as it is; a pipe or a
// file gets it in codePage, with characters that page lacks as "?". (The C run time's
// wide printf would instead stop printing a text at its first non-ASCII character when
// the output is a pipe.) Whether the handle is a console is the caller's answer, since
// asking costs a round trip to the system.
void WriteTextToHandle(HANDLE handle, bool isConsole, UINT codePage, const wchar_t* text, int length);

// Whether the handle is a console (GetConsoleMode answers for it).
bool IsConsoleHandle(HANDLE handle);
