#pragma once

#include <windows.h>

#include <cstddef>

#include "text/scrubbed_buffer.h"

// The code page of every conversion between wide text and the ANSI code page. On the NT
// family (5.0 and later) this is CP_THREAD_ACP, resolved by the system per thread at each
// conversion; older systems get the default ANSI code page of the thread's locale. The
// method is chosen on the first call and kept for the life of the process.
UINT GetConversionCodePage();

// True exactly when the system ANSI code page (GetACP) was 1252 when the process started.
// Callers pass it as the table flag of the narrow-to-wide converters, so text built from
// narrow text takes the built-in Windows-1252 table on Western systems and the system
// converter elsewhere. Defined with the process-wide objects (app/process_objects.cpp),
// set before any of the later objects is built and never changed.
extern const bool AnsiCodePageIs1252;

// Converts the whole text, terminator included, into a caller buffer. Both write an empty
// text first, so a failed conversion never leaves stale bytes behind; both answer the
// output, or null when an argument is null, the size is not positive (nothing may be
// written then, not even the empty text) or the system conversion fails.
wchar_t* NarrowToWideInto(wchar_t* output, const char* text, int outputChars, UINT codePage);
char* WideToNarrowInto(char* output, const wchar_t* text, int outputBytes, UINT codePage);

// Texts longer than this (characters, terminator included) are refused by the
// temporary-conversion idiom: twice that many bytes would overflow a 32-bit size.
inline constexpr std::size_t kMaxConvertibleChars = 0x3FFFFFFF;

// The temporary-conversion idiom: the other form of a text, converted with the conversion
// code page, for as long as this object lives (a function's local). Short texts stay in
// the object itself; long ones take one heap buffer, so a long name never exhausts the
// stack. get() is null for a null text, a text over the limit or a failed conversion.
// Two bytes per character cover every double-byte ANSI code page; when the thread's code
// page needs more (UTF-8 as the ANSI code page), the narrow form is sized by the system
// instead of being refused.
class TemporaryNarrowText {
 public:
  explicit TemporaryNarrowText(const wchar_t* text);
  TemporaryNarrowText(const TemporaryNarrowText&) = delete;
  TemporaryNarrowText& operator=(const TemporaryNarrowText&) = delete;
  const char* get() const noexcept { return result_; }

 private:
  char inline_[512];
  ScrubbedBuffer<char> heap_;
  const char* result_ = nullptr;
};

class TemporaryWideText {
 public:
  explicit TemporaryWideText(const char* text);
  TemporaryWideText(const TemporaryWideText&) = delete;
  TemporaryWideText& operator=(const TemporaryWideText&) = delete;
  const wchar_t* get() const noexcept { return result_; }

 private:
  wchar_t inline_[256];
  ScrubbedBuffer<wchar_t> heap_;
  const wchar_t* result_ = nullptr;
};
