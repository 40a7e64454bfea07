#pragma once

#include <windows.h>

// Something that keeps an unhandled-exception filter of its own (a crash handler's
// symbol engine) and wants it back in place after a library installed another one.
class UnhandledFilterHolder {
 public:
  virtual LPTOP_LEVEL_EXCEPTION_FILTER exceptionFilter() const = 0;

 protected:
  ~UnhandledFilterHolder() = default;
};

// The registered holder, or null (nothing in this program registers one). Meant to be
// set once during start-up; read without a lock.
UnhandledFilterHolder* RegisteredFilterHolder() noexcept;
void RegisterFilterHolder(UnhandledFilterHolder* holder) noexcept;

// LoadLibraryA. A library's initialisation may install an unhandled-exception filter of
// its own, so when the library loads and a holder is registered, the holder's filter is
// installed again. Reports nothing; null when the library does not load.
HMODULE LoadLibraryKeepingFilter(const char* name);
