#include "logging/line_breaks.h"

std::size_t CopyEscapingLineBreaks(const wchar_t* text, std::size_t length, wchar_t* out, std::size_t room) {
  std::size_t written = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const wchar_t* escape = text[i] == L'\r' ? L"#015" : (text[i] == L'\n' ? L"#012" : nullptr);
    if (escape == nullptr) {
      if (written == room) break;
      out[written++] = text[i];
      continue;
    }
    if (room - written < kEscapedLineBreakChars) break;
    for (; *escape != L'\0'; ++escape) out[written++] = *escape;
  }
  return written;
}
