#include "text/code_page.h"

#include <atomic>
#include <cstdlib>

namespace {

enum class CodePageMethod : int { Unknown = 0, ThreadAnsi = 1, LocaleDefault = 2 };

std::atomic<CodePageMethod> g_codePageMethod{CodePageMethod::Unknown};

CodePageMethod ChooseCodePageMethod() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (::GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
      version.dwMajorVersion >= 5) {
    return CodePageMethod::ThreadAnsi;
  }
  return CodePageMethod::LocaleDefault;
}

UINT ThreadLocaleAnsiCodePage() {
  char digits[7] = {};
  if (::GetLocaleInfoA(::GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE, digits, 7) != 0) {
    const UINT codePage = static_cast<UINT>(std::strtoul(digits, nullptr, 10));
    if (codePage != 0) return codePage;
  }
  return ::GetACP();
}

}  // namespace

UINT GetConversionCodePage() {
  CodePageMethod method = g_codePageMethod.load(std::memory_order_acquire);
  if (method == CodePageMethod::Unknown) {
    // Racing first callers all compute the same answer; the exchange publishes one.
    method = ChooseCodePageMethod();
    g_codePageMethod.exchange(method, std::memory_order_acq_rel);
  }
  return method == CodePageMethod::ThreadAnsi ? CP_THREAD_ACP : ThreadLocaleAnsiCodePage();
}

wchar_t* NarrowToWideInto(wchar_t* output, const char* text, int outputChars, UINT codePage) {
  if (output == nullptr || text == nullptr || outputChars <= 0) return nullptr;
  *output = L'\0';
  if (::MultiByteToWideChar(codePage, 0, text, -1, output, outputChars) == 0) return nullptr;
  return output;
}

char* WideToNarrowInto(char* output, const wchar_t* text, int outputBytes, UINT codePage) {
  if (output == nullptr || text == nullptr || outputBytes <= 0) return nullptr;
  *output = '\0';
  if (::WideCharToMultiByte(codePage, 0, text, -1, output, outputBytes, nullptr, nullptr) == 0) {
    return nullptr;
  }
  return output;
}

TemporaryNarrowText::TemporaryNarrowText(const wchar_t* text) {
  if (text == nullptr) return;
  const std::size_t chars = static_cast<std::size_t>(::lstrlenW(text)) + 1;
  if (chars > kMaxConvertibleChars) return;
  const UINT codePage = GetConversionCodePage();
  // Two bytes per character covers every double-byte ANSI code page.
  const std::size_t bytes = 2 * chars;
  char* buffer = inline_;
  if (bytes > sizeof(inline_)) {
    heap_ = ScrubbedBuffer<char>(bytes);
    buffer = heap_.get();
  }
  result_ = WideToNarrowInto(buffer, text, static_cast<int>(bytes), codePage);
  if (result_ == nullptr && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    const int needed = ::WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed > 0) {
      heap_ = ScrubbedBuffer<char>(static_cast<std::size_t>(needed));
      result_ = WideToNarrowInto(heap_.get(), text, needed, codePage);
    }
  }
}

TemporaryWideText::TemporaryWideText(const char* text) {
  if (text == nullptr) return;
  const std::size_t chars = static_cast<std::size_t>(::lstrlenA(text)) + 1;
  if (chars > kMaxConvertibleChars) return;
  // One byte never gives more than one UTF-16 unit, so `chars` units always suffice.
  wchar_t* buffer = inline_;
  if (chars > sizeof(inline_) / sizeof(inline_[0])) {
    heap_ = ScrubbedBuffer<wchar_t>(chars);
    buffer = heap_.get();
  }
  result_ = NarrowToWideInto(buffer, text, static_cast<int>(chars), GetConversionCodePage());
}
