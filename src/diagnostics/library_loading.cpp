#include "diagnostics/library_loading.h"

namespace {

UnhandledFilterHolder* g_filterHolder = nullptr;

}  // namespace

UnhandledFilterHolder* RegisteredFilterHolder() noexcept { return g_filterHolder; }

void RegisterFilterHolder(UnhandledFilterHolder* holder) noexcept { g_filterHolder = holder; }

HMODULE LoadLibraryKeepingFilter(const char* name) {
  HMODULE module = ::LoadLibraryA(name);
  if (module != nullptr && g_filterHolder != nullptr) {
    ::SetUnhandledExceptionFilter(g_filterHolder->exceptionFilter());
  }
  return module;
}
