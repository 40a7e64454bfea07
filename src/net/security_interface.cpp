#include "net/security_handles.h"

namespace {

struct LoadedInterface {
  const SecurityFunctionTableW* table = nullptr;
  DWORD error = ERROR_SUCCESS;
};

LoadedInterface Load() noexcept {
  LoadedInterface loaded;
  // Once loaded it stays for the life of the process, as an import would.
  const HMODULE module = ::LoadLibraryW(L"secur32.dll");
  if (module == nullptr) {
    loaded.error = ::GetLastError();
    return loaded;
  }
  const FARPROC entry = ::GetProcAddress(module, "InitSecurityInterfaceW");
  if (entry == nullptr) {
    loaded.error = ::GetLastError();
    return loaded;
  }
  const auto initialize = reinterpret_cast<INIT_SECURITY_INTERFACE_W>(reinterpret_cast<void*>(entry));
  loaded.table = initialize();
  if (loaded.table == nullptr) loaded.error = ERROR_PROC_NOT_FOUND;
  return loaded;
}

}  // namespace

const SecurityFunctionTableW* SecurityInterface(DWORD* error) noexcept {
  static const LoadedInterface loaded = Load();
  if (error != nullptr) *error = loaded.error;
  return loaded.table;
}
