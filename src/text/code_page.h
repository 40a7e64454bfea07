#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>

// The code page of every conversion between wide text and the ANSI code page. On the NT
// family (5.0 and later) this is CP_THREAD_ACP, resolved by the system per thread at each
// conversion; older systems get the default ANSI code page of the thread's locale. The
// method is chosen on the first call and kept for the life of the process.
UINT GetConversionCodePage();

// Converts the whole text, terminator included, into a caller buffer. Both write an empty
// text first, so a failed conversion never leaves stale bytes behind; both answer the
// output, or null when an argument is null or the system conversion fails.
wchar_t* NarrowToWideInto(wchar_t* output, const char* text, int outputChars, UINT codePage);
char* WideToNarrowInto(char* output, const wchar_t* text, int outputBytes, UINT codePage);

// Texts longer than this (characters, terminator included) are refused by the
// temporary-conversion idiom: twice that many bytes would overflow a 32-bit size.
inline constexpr std::size_t kMaxConvertibleChars = 0x3FFFFFFF;

// The temporary-conversion idiom: the other form of a text, converted with the conversion
// code page, for as long as this object lives (a function's local). Short texts stay in
// the object itself; long ones take one heap buffer, so a long name never exhausts the
// stack. get() is null for a null text, a text over the limit or a failed conversion.
class TemporaryNarrowText {
 public:
  explicit TemporaryNarrowText(const wchar_t* text);
  TemporaryNarrowText(const TemporaryNarrowText&) = delete;
  TemporaryNarrowText& operator=(const TemporaryNarrowText&) = delete;
  const char* get() const noexcept { return result_; }

 private:
  char inline_[512];
  std::unique_ptr<char[]> heap_;
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
  std::unique_ptr<wchar_t[]> heap_;
  const wchar_t* result_ = nullptr;
};
