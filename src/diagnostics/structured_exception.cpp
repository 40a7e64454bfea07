#include "diagnostics/structured_exception.h"

#ifdef _MSC_VER
#include <eh.h>
#else
#include "diagnostics/fault_translation.h"
#endif

void TranslateStructuredException(unsigned int code, EXCEPTION_POINTERS* pointers) {
  throw StructuredException{code, pointers};
}

#ifdef _MSC_VER

namespace {

SeTranslator SetSeTranslator(SeTranslator translator) noexcept {
  return _set_se_translator(translator);
}

}  // namespace

SeTranslator CurrentSeTranslator() noexcept {
  const SeTranslator current = _set_se_translator(nullptr);
  _set_se_translator(current);
  return current;
}

#else

namespace {

// A Win32 thread-local slot rather than thread_local: the unwinder hook reads it while a
// fault is being dispatched, possibly on a thread that never installed a translator,
// and a first thread_local access there could allocate from a heap the fault left in a
// bad state. TlsGetValue never allocates.
DWORD TranslatorSlot() noexcept {
  static const DWORD slot = ::TlsAlloc();
  return slot;
}

// The equivalent of _set_se_translator: installs a translator for the calling thread
// and answers the one installed before.
SeTranslator SetSeTranslator(SeTranslator translator) noexcept {
  const SeTranslator previous = CurrentSeTranslator();
  const DWORD slot = TranslatorSlot();
  if (slot != TLS_OUT_OF_INDEXES) ::TlsSetValue(slot, reinterpret_cast<void*>(translator));
  return previous;
}

}  // namespace

SeTranslator CurrentSeTranslator() noexcept {
  const DWORD slot = TranslatorSlot();
  if (slot == TLS_OUT_OF_INDEXES) return nullptr;
  // TlsGetValue clears the thread's last error, which code running while a fault is
  // dispatched must leave as the fault found it.
  const DWORD lastError = ::GetLastError();
  void* value = ::TlsGetValue(slot);
  ::SetLastError(lastError);
  return reinterpret_cast<SeTranslator>(value);
}

#endif

#ifdef _MSC_VER
SeTranslatorGuard::SeTranslatorGuard() noexcept : previous_(SetSeTranslator(&TranslateStructuredException)) {}
#else
SeTranslatorGuard::SeTranslatorGuard() noexcept : previous_(nullptr) {
  PrepareFaultTranslation();
  previous_ = SetSeTranslator(&TranslateStructuredException);
}
#endif

SeTranslatorGuard::~SeTranslatorGuard() { SetSeTranslator(previous_); }
