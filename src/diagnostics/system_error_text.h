#pragma once

#include <windows.h>

#include <string>

#include "win32/unique_resource.h"

// Neutral language, default sublanguage: the user's default language.
inline constexpr DWORD kUserDefaultLanguage = 0x400;

// The system's message text for a Win32 error code, without its trailing line breaks,
// for printing next to the code. text() is null when the code is 0 (the system is not
// asked) or has no message; c_str() is then empty. A local value; any thread may build
// one.
template <typename Char>
class BasicSystemErrorText {
 public:
  explicit BasicSystemErrorText(DWORD code, DWORD language = kUserDefaultLanguage);
  BasicSystemErrorText(const BasicSystemErrorText&) = delete;
  BasicSystemErrorText& operator=(const BasicSystemErrorText&) = delete;

  DWORD Code() const noexcept { return code_; }
  const Char* Text() const noexcept { return static_cast<const Char*>(text_.get()); }
  const Char* c_str() const noexcept {
    static constexpr Char kEmpty[1] = {};
    return text_ ? Text() : kEmpty;
  }

 private:
  DWORD code_;
  UniqueLocalMemory text_;  // allocated by FormatMessage
};

using SystemErrorText = BasicSystemErrorText<wchar_t>;
using SystemErrorTextA = BasicSystemErrorText<char>;

// The line this system reports a failed Win32 call with:
// "<call> Error: <system text> (<code in decimal>)", e.g.
// L"OpenProcessToken Error: Access denied. (5)".
std::wstring Win32CallError(const wchar_t* call, DWORD code);

// The run time's words for an errno value after a failure's text, as the logger's
// diagnostics print them: L"<text> : <strerror text> (error : <number>)".
std::wstring WithRunTimeError(const std::wstring& text, int error);
