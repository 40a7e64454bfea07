// The console output: one line per record on standard output.

#include <cstdio>
#include <cwchar>
#include <memory>

#include "logging/debug_logger.h"
#include "win32/text_output.h"

void DebugLogger::ConsoleTarget::Refresh() {
  const HANDLE current = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (current == handle && known) return;
  // Asking what kind of output a handle is costs a round trip to the system (under Wine a
  // server call each), so it is asked once per standard output handle, not per line.
  handle = current;
  known = true;
  isConsole = IsConsoleHandle(current);
  codePage = ::GetConsoleOutputCP();
  if (codePage == 0) codePage = ::GetACP();
}

void DebugLogger::ConsoleTarget::Write(const wchar_t* line, int length) {
  Refresh();
  // A pipe or file gets the console's output code page (the ANSI code page without a
  // console).
  WriteTextToHandle(handle, isConsole, codePage, line, length);
}

void DebugLogger::WriteConsole(const SYSTEMTIME& time, DWORD threadId, int level,
                               const wchar_t* message, DWORD eventId) {
  if (!consoleLogEnabled_ || !LevelPasses(level, ConsoleLogLevel())) return;

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
