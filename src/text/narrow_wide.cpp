#include "text/narrow_wide.h"

#include <cstring>
#include <cwchar>
#include <utility>

#include "text/cp1252.h"

NarrowToWide::NarrowToWide(const char* text, bool useCp1252Table,
                           ScrubbedBuffer<wchar_t>* output, UINT codePage) {
  if (output != nullptr) output->reset();
  if (text == nullptr) return;
  const std::size_t chars = std::strlen(text) + 1;
  if (chars > kMaxConvertibleChars) return;

  // One byte never gives more than one UTF-16 unit, so `chars` units always suffice.
  if (output != nullptr && chars < kShortConversionLimit) {
    wchar_t shortBuffer[kShortConversionLimit];
    const wchar_t* converted = shortBuffer;
    if (useCp1252Table) {
      const char* source = text;
      wchar_t* target = shortBuffer;
      Cp1252ToWide(source, text + chars, target, shortBuffer + chars);
    } else {
      converted = NarrowToWideInto(shortBuffer, text, static_cast<int>(chars), codePage);
    }
    *output = converted != nullptr
                  ? ScrubbedBuffer<wchar_t>::CopyOf(converted, std::wcslen(converted))
                  : ScrubbedBuffer<wchar_t>::CopyOf(L"", 0);
    return;
  }

  ScrubbedBuffer<wchar_t> buffer(chars);
  bool converted;
  if (useCp1252Table) {
    const char* source = text;
    wchar_t* target = buffer.get();
    converted = Cp1252ToWide(source, text + chars, target, buffer.get() + chars) == CP1252_OK;
  } else {
    converted = ::MultiByteToWideChar(codePage, 0, text, static_cast<int>(chars), buffer.get(),
                                      static_cast<int>(chars)) != 0;
  }
  if (!converted) return;
  (output != nullptr ? *output : own_) = std::move(buffer);
}

WideToNarrow::WideToNarrow(const wchar_t* text, bool useCp1252Table, ScrubbedBuffer<char>* output,
                           UINT codePage) {
  if (output != nullptr) output->reset();
  if (text == nullptr) return;
  const std::size_t chars = std::wcslen(text) + 1;
  if (chars > kMaxConvertibleChars) return;

  if (output != nullptr && chars < kShortConversionLimit) {
    if (useCp1252Table) {
      char shortBuffer[kShortConversionLimit];
      const wchar_t* source = text;
      char* target = shortBuffer;
      const Cp1252Result result =
          WideToCp1252(source, text + chars, target, shortBuffer + chars, kCp1252DefaultByte);
      if (result != CP1252_OK && result != CP1252_OK_WITH_REPLACEMENTS) shortBuffer[0] = '\0';
      *output = ScrubbedBuffer<char>::CopyOf(shortBuffer, std::strlen(shortBuffer));
      return;
    }
    // Two bytes per character cover every double-byte code page.
    char shortBuffer[2 * kShortConversionLimit];
    if (WideToNarrowInto(shortBuffer, text, static_cast<int>(2 * chars), codePage) != nullptr) {
      *output = ScrubbedBuffer<char>::CopyOf(shortBuffer, std::strlen(shortBuffer));
      return;
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      *output = ScrubbedBuffer<char>::CopyOf("", 0);
      return;
    }
    // A code page with longer characters (UTF-8 as the ANSI code page): the long path
    // asks the system for the size instead of losing the text.
  }

  ScrubbedBuffer<char> buffer;
  if (useCp1252Table) {
    buffer = ScrubbedBuffer<char>(chars);
    const wchar_t* source = text;
    char* target = buffer.get();
    const Cp1252Result result =
        WideToCp1252(source, text + chars, target, buffer.get() + chars, kCp1252DefaultByte);
    if (result != CP1252_OK && result != CP1252_OK_WITH_REPLACEMENTS) return;
  } else {
    const int needed = ::WideCharToMultiByte(codePage, 0, text, static_cast<int>(chars), nullptr,
                                             0, nullptr, nullptr);
    if (needed <= 0) return;
    buffer = ScrubbedBuffer<char>(static_cast<std::size_t>(needed));
    if (::WideCharToMultiByte(codePage, 0, text, static_cast<int>(chars), buffer.get(), needed,
                              nullptr, nullptr) == 0) {
      return;
    }
  }
  (output != nullptr ? *output : own_) = std::move(buffer);
}
