#include "diagnostics/system_error_text.h"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

constexpr DWORD kFormatFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

DWORD FormatSystemMessage(DWORD code, DWORD language, wchar_t** text) {
  return ::FormatMessageW(kFormatFlags, nullptr, code, LOWORD(language), reinterpret_cast<wchar_t*>(text), 0,
                          nullptr);
}

DWORD FormatSystemMessage(DWORD code, DWORD language, char** text) {
  return ::FormatMessageA(kFormatFlags, nullptr, code, LOWORD(language), reinterpret_cast<char*>(text), 0,
                          nullptr);
}

}  // namespace

template <typename Char>
BasicSystemErrorText<Char>::BasicSystemErrorText(DWORD code, DWORD language) : code_(code) {
  if (code == 0) return;
  Char* text = nullptr;
  const DWORD length = FormatSystemMessage(code, language, &text);
  if (length == 0) return;
  text_.reset(text);
  // The system's texts end in CR LF, which the "text (code)" lines must not carry.
  for (DWORD at = length; at > 0 && text[0] != 0 && (text[at - 1] == '\r' || text[at - 1] == '\n'); --at) {
    text[at - 1] = 0;
  }
}

template class BasicSystemErrorText<wchar_t>;
template class BasicSystemErrorText<char>;

std::wstring Win32CallError(const wchar_t* call, DWORD code) {
  const SystemErrorText text(code);
  wchar_t number[16] = {};
  _snwprintf(number, 15, L"%d", static_cast<int>(code));
  return std::wstring(call != nullptr ? call : L"") + L" Error: " + text.c_str() + L" (" + number + L")";
}

std::wstring WithRunTimeError(const std::wstring& text, int error) {
  // The run time's texts are plain ASCII in every code page.
  const char* const words = std::strerror(error);
  std::wstring report = text + L" : ";
  for (const char* c = words != nullptr ? words : ""; *c != '\0'; ++c) report += static_cast<unsigned char>(*c);
  wchar_t number[32];
  ::_snwprintf(number, std::size(number) - 1, L" (error : %d)", error);
  number[std::size(number) - 1] = L'\0';
  return report + number;
}
