#pragma once

#include <cstddef>

// Where a record must stay one line (a file line, a console line, a syslog line), a
// carriage return or line feed inside its texts is written as the escape rsyslog itself
// uses for control characters, "#015" and "#012": a message cannot end its line early and
// forge a second record.
inline constexpr std::size_t kEscapedLineBreakChars = 4;

inline bool HasLineBreak(const wchar_t* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] == L'\r' || text[i] == L'\n') return true;
  }
  return false;
}

// Copies `length` characters of text to `out` with line breaks escaped, writing at most
// `room` characters and never half an escape; answers how many it wrote. No terminator.
std::size_t CopyEscapingLineBreaks(const wchar_t* text, std::size_t length, wchar_t* out, std::size_t room);
