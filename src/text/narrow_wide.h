#pragma once

#include <windows.h>

#include <cstddef>

#include "text/code_page.h"
#include "text/scrubbed_buffer.h"

// Texts shorter than this (characters or bytes, terminator included) are converted in a
// buffer on the stack and copied once into an allocation of the exact size, so the common
// case costs one heap allocation. Longer texts are converted straight into a heap buffer.
inline constexpr std::size_t kShortConversionLimit = 1024;

// Converts narrow text to wide text, either with the built-in Windows-1252 table
// (useCp1252Table) or with the system converter and `codePage`, by default the conversion
// code page.
//
// With `output`, the converted text goes to the caller: *output receives a buffer of
// exactly the text's size, or stays empty for a null text, a text over
// kMaxConvertibleChars or a failed long conversion (a failed short conversion gives the
// empty text). Without it, the converter keeps the text until it is destroyed (get()).
// Every buffer, the caller's included, is zeroed before it is freed.
class NarrowToWide {
 public:
  NarrowToWide(const char* text, bool useCp1252Table, ScrubbedBuffer<wchar_t>* output = nullptr,
               UINT codePage = GetConversionCodePage());
  NarrowToWide(const NarrowToWide&) = delete;
  NarrowToWide& operator=(const NarrowToWide&) = delete;

  // The text the converter keeps; null when the text went to the caller or the
  // conversion failed.
  const wchar_t* get() const noexcept { return own_.get(); }

 private:
  ScrubbedBuffer<wchar_t> own_;
};

// The reverse direction, with the same contract. The table replaces characters that
// Windows-1252 cannot hold with "?"; the system converter uses the code page's own
// default character.
class WideToNarrow {
 public:
  WideToNarrow(const wchar_t* text, bool useCp1252Table, ScrubbedBuffer<char>* output = nullptr,
               UINT codePage = GetConversionCodePage());
  WideToNarrow(const WideToNarrow&) = delete;
  WideToNarrow& operator=(const WideToNarrow&) = delete;

  const char* get() const noexcept { return own_.get(); }

 private:
  ScrubbedBuffer<char> own_;
};
