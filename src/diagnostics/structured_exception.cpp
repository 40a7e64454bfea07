#include "diagnostics/structured_exception.h"

#ifdef _MSC_VER
#include <eh.h>
#else
#include <winternl.h>

#include <cstddef>
#include <cstdint>

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

constexpr DWORD kThreadBlockSlots = sizeof(TEB::TlsSlots) / sizeof(TEB::TlsSlots[0]);
constexpr std::uintptr_t kThreadBlockSlotsOffset = offsetof(TEB, TlsSlots);
static_assert(kThreadBlockSlotsOffset == (sizeof(void*) == 8 ? 0x1480 : 0xE10),
              "the slots where the system keeps them");

// One of the first slots, read from the thread's block through its segment register as
// NtCurrentTeb does (GCC 12 takes NtCurrentTeb's own read for an access out of bounds).
void* ThreadBlockSlot(DWORD slot) noexcept {
  const std::uintptr_t offset = kThreadBlockSlotsOffset + slot * sizeof(void*);
  void* value;
#if defined(__x86_64__)
  asm volatile("movq %%gs:(%1), %0" : "=r"(value) : "r"(offset));
#else
  asm volatile("movl %%fs:(%1), %0" : "=r"(value) : "r"(offset));
#endif
  return value;
}

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
  // The first slots lie in the thread's own block, where TlsGetValue reads them: read
  // there, the value costs no call (guards run on every checked logging call) and the
  // thread's last error stays untouched.
  if (slot < kThreadBlockSlots) return reinterpret_cast<SeTranslator>(ThreadBlockSlot(slot));
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

#ifdef _MSC_VER
SeTranslatorGuard::~SeTranslatorGuard() { SetSeTranslator(previous_); }
#else
// Puts the previous translator back without asking for the current one first: guards
// run on every checked logging call, and the slot is the calling thread's own.
SeTranslatorGuard::~SeTranslatorGuard() {
  const DWORD slot = TranslatorSlot();
  if (slot != TLS_OUT_OF_INDEXES) ::TlsSetValue(slot, reinterpret_cast<void*>(previous_));
}
#endif
