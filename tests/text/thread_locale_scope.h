#pragma once

#include <windows.h>

// Gives the calling thread another locale, and with it another ANSI code page for
// CP_THREAD_ACP conversions (Wine honours this as Windows does), until the scope ends.
class ThreadLocaleScope {
 public:
  explicit ThreadLocaleScope(LANGID language)
      : previous_(::GetThreadLocale()),
        changed_(::SetThreadLocale(MAKELCID(language, SORT_DEFAULT)) != FALSE) {}
  ~ThreadLocaleScope() { ::SetThreadLocale(previous_); }
  ThreadLocaleScope(const ThreadLocaleScope&) = delete;
  ThreadLocaleScope& operator=(const ThreadLocaleScope&) = delete;

  bool changed() const { return changed_; }

 private:
  LCID previous_;
  bool changed_;
};

inline constexpr LANGID kRussian = MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT);      // 1251
inline constexpr LANGID kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);    // 932
