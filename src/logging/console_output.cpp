#include "logging/console_output.h"

#include <algorithm>
#include <climits>
#include <cwchar>
#include <iterator>

#include "logging/line_breaks.h"
#include "win32/text_output.h"

void ConsoleOutput::Refresh() {
  const HANDLE current = ::GetStdHandle(standardHandle_);
  if (current == handle_ && known_) return;
  Flush();
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
  if (pending_.size() < pendingChars_ + capacity) {
    pending_.resize(std::max(pendingChars_ + capacity, kBatchChars + kHeadChars));
  }
  wchar_t* const line = pending_.data() + pendingChars_;

  const int head = ::_snwprintf(line, kHeadChars, L"[%05lu] (%02d:%02d:%02d.%03d):{0x%04X} ",
                                static_cast<unsigned long>(record.EventCode()), time.wHour, time.wMinute,
                                time.wSecond, time.wMilliseconds, static_cast<unsigned>(record.threadId));
  std::size_t length = head > 0 ? static_cast<std::size_t>(head) : 0;
  // A record is one line: line breaks inside the message are escaped. Standard output is
  // a text-mode stream on Windows, so the line ends in CR LF.
  length += CopyEscapingLineBreaks(message, messageLength, line + length, kEscapedLineBreakChars * messageLength);
  line[length++] = L'\r';
  line[length++] = L'\n';
  pendingChars_ += length;
  ++pendingLines_;
  if (pendingChars_ >= kBatchChars) Flush();
}

void ConsoleOutput::Flush() {
  if (pendingLines_ == 0) return;
  const wchar_t* const text = pending_.data();
  DWORD error = ERROR_SUCCESS;
  // Only the line feed that ends a line is left in the text (the message's are escaped),
  // so the line feeds that reached the handle count the lines it got whole.
  std::uint64_t linesWritten = 0;
  DWORD written = 0;
  if (pendingChars_ > static_cast<std::size_t>(INT_MAX)) {
    error = ERROR_ARITHMETIC_OVERFLOW;
  } else if (isConsole_) {
    // A console takes a write through a heap of 64 KB it shares with the process, and
    // refuses one larger than what is free there: whole lines of a few pages at a time.
    constexpr std::size_t kMostConsoleChars = 4096;
    std::size_t done = 0;
    while (error == ERROR_SUCCESS && done < pendingChars_) {
      std::size_t piece = std::min(pendingChars_ - done, kMostConsoleChars);
      if (done + piece < pendingChars_) {
        const wchar_t* const lastLineEnd = std::find(std::make_reverse_iterator(text + done + piece),
                                                     std::make_reverse_iterator(text + done), L'\n').base();
        // A line longer than a piece goes in pieces of its own.
        if (lastLineEnd != text + done) piece = static_cast<std::size_t>(lastLineEnd - (text + done));
      }
      error = WriteUnitsToHandle(handle_, true, text + done, static_cast<DWORD>(piece), &written);
      done += written;
    }
    linesWritten = static_cast<std::uint64_t>(std::count(text, text + done, L'\n'));
  } else {
    const int count = EncodeForHandle(codePage_, text, static_cast<int>(pendingChars_), &bytes_);
    if (count <= 0) {
      error = ::GetLastError();
    } else {
      error = WriteUnitsToHandle(handle_, false, bytes_.data(), static_cast<DWORD>(count), &written);
      linesWritten = static_cast<std::uint64_t>(std::count(bytes_.data(), bytes_.data() + written, '\n'));
    }
  }
  if (error != ERROR_SUCCESS) {
    failedLines_ += pendingLines_ - std::min(linesWritten, pendingLines_);
    lastError_ = error;
  }
  pendingChars_ = 0;
  pendingLines_ = 0;
}
