// The console output: one line per record on standard output.

#include <cstdio>
#include <cwchar>
#include <memory>

#include "logging/debug_logger.h"

void DebugLogger::ConsoleTarget::Refresh() {
  const HANDLE current = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (current == handle && known) return;
  // Asking what kind of output a handle is costs a round trip to the system (under Wine a
  // server call each), so it is asked once per standard output handle, not per line.
  handle = current;
  known = true;
  DWORD mode = 0;
  isConsole = current != nullptr && current != INVALID_HANDLE_VALUE && ::GetConsoleMode(current, &mode);
  codePage = ::GetConsoleOutputCP();
  if (codePage == 0) codePage = ::GetACP();
}

void DebugLogger::ConsoleTarget::Write(const wchar_t* line, int length) {
  Refresh();
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  if (isConsole) {
    ::WriteConsoleW(handle, line, static_cast<DWORD>(length), &written, nullptr);
    return;
  }
  // A pipe or file gets the text in the console's output code page (the ANSI code page
  // without a console), with characters that page lacks as "?". The C run time's wide
  // printf would instead stop printing a text at its first non-ASCII character when the
  // output is a pipe. UTF-8 has a form for every character and refuses a default one.
  const char* fallback = codePage == CP_UTF8 ? nullptr : "?";
  char stackBytes[4096];
  std::unique_ptr<char[]> heapBytes;
  char* bytes = stackBytes;
  const int capacity = length * 4;  // the most any code page takes per character
  if (capacity > static_cast<int>(sizeof(stackBytes))) {
    heapBytes = std::make_unique<char[]>(static_cast<std::size_t>(capacity));
    bytes = heapBytes.get();
  }
  const int count = ::WideCharToMultiByte(codePage, 0, line, length, bytes, capacity, fallback, nullptr);
  if (count > 0) ::WriteFile(handle, bytes, static_cast<DWORD>(count), &written, nullptr);
}

void DebugLogger::WriteConsole(const SYSTEMTIME& time, DWORD threadId, int level,
                               const wchar_t* message, DWORD eventId) {
  if (!consoleLogEnabled_ || (level > ConsoleLogLevel() && level != kLogAlways)) return;

  wchar_t stackLine[1200];
  std::unique_ptr<wchar_t[]> heapLine;
  wchar_t* line = stackLine;
  const std::size_t messageLength = message != nullptr ? std::wcslen(message) : 0;
  const std::size_t capacity = messageLength + 64;
  if (capacity > std::size(stackLine)) {
    heapLine = std::make_unique<wchar_t[]>(capacity);
    line = heapLine.get();
  }
  const int head = ::_snwprintf(line, 64, L"[%05lu] (%02d:%02d:%02d.%03d):{0x%04X} ",
                                static_cast<unsigned long>(ShortEventCode(eventId, level)), time.wHour,
                                time.wMinute, time.wSecond, time.wMilliseconds, static_cast<unsigned>(threadId));
  std::size_t length = head > 0 ? static_cast<std::size_t>(head) : 0;
  std::wmemcpy(line + length, message != nullptr ? message : L"", messageLength);
  length += messageLength;
  // Standard output is a text-mode stream on Windows: a line ends in CR LF.
  line[length++] = L'\r';
  line[length++] = L'\n';
  console_.Write(line, static_cast<int>(length));
}
