#pragma once

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>

// Cuts a byte stream into lines in one pass: every byte is looked at once and copied at
// most once, so a line of any length costs time in proportion to its length. A line ends
// at LF; a CR before the LF goes with it. Bytes after the last LF are the last line.
class LineSplitter {
 public:
  using LineHandler = std::function<void(const char* bytes, std::size_t length)>;
  explicit LineSplitter(LineHandler onLine) : onLine_(std::move(onLine)) {}

  // The next bytes of the stream, in any pieces: a line may span many of them.
  void Feed(const char* bytes, std::size_t length);
  // The end of the stream: the last line, when the stream did not end in LF.
  void Finish();

 private:
  void Emit(const char* bytes, std::size_t length);

  LineHandler onLine_;
  std::string pending_;  // the start of a line that has not ended yet
};

// One input line as text: UTF-8 when it is valid UTF-8 (what Linux programs write), else
// the ANSI code page (what Windows programs write). A NUL byte becomes U+FFFD, so the
// text after it is kept; a UTF-8 byte order mark at the start is dropped.
std::wstring DecodeInputLine(const char* bytes, std::size_t length, bool firstLine);

// Reads `input` to its end and hands each line to the splitter. ERROR_SUCCESS at the end
// of the input (a pipe whose writer closed counts as an end), else the error that
// stopped the reading.
DWORD ReadLines(HANDLE input, LineSplitter* splitter);
