#include "logging/console_output.h"

#include <climits>
#include <cwchar>

#include "logging/line_breaks.h"
#include "win32/text_output.h"

void ConsoleOutput::Refresh() {
  const HANDLE current = ::GetStdHandle(standardHandle_);
  if (current == handle_ && known_) return;
  handle_ = current;
  known_ = true;
  isConsole_ = IsConsoleHandle(current);
  codePage_ = chosenCodePage_;
  if (codePage_ == 0) codePage_ = ::GetConsoleOutputCP();
  if (codePage_ == 0) codePage_ = ::GetACP();
}

void ConsoleOutput::Write(const RecordView& record) {
  Refresh();
  const wchar_t* const message = record.message != nullptr ? record.message : L"";
  const SYSTEMTIME& time = record.time;

  constexpr std::size_t kHeadChars = 64;
  const std::size_t messageLength = std::wcslen(message);
  // Every character of the message may become an escape, and the line ends in two more.
  const std::size_t capacity = kHeadChars + kEscapedLineBreakChars * messageLength + 2;
  if (line_.size() < capacity) line_.resize(capacity);
  wchar_t* const line = line_.data();

  const int head = ::_snwprintf(line, kHeadChars, L"[%05lu] (%02d:%02d:%02d.%03d):{0x%04X} ",
                                static_cast<unsigned long>(record.EventCode()), time.wHour, time.wMinute,
                                time.wSecond, time.wMilliseconds, static_cast<unsigned>(record.threadId));
  std::size_t length = head > 0 ? static_cast<std::size_t>(head) : 0;
  // A record is one line: line breaks inside the message are escaped. Standard output is
  // a text-mode stream on Windows, so the line ends in CR LF.
  length += CopyEscapingLineBreaks(message, messageLength, line + length, kEscapedLineBreakChars * messageLength);
  line[length++] = L'\r';
  line[length++] = L'\n';
  const DWORD error = length > static_cast<std::size_t>(INT_MAX)
                          ? static_cast<DWORD>(ERROR_ARITHMETIC_OVERFLOW)
                          : WriteTextToHandle(handle_, isConsole_, codePage_, line, static_cast<int>(length));
  if (error != ERROR_SUCCESS) {
    ++failedLines_;
    lastError_ = error;
  }
}
