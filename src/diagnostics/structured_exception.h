#pragma once

#include <windows.h>

#include <cstdint>

// A processor fault (access violation, division by zero ...) or another structured
// exception, carried as a thrown C++ exception so that an ordinary handler can catch it:
//
//   SeTranslatorGuard guard;
//   try { ... } catch (const StructuredException& fault) { fault.code ... }
//
// No base class and nothing virtual: handlers select it by its own type (or catch(...)).
struct StructuredException {
  std::uint32_t code;            // e.g. EXCEPTION_ACCESS_VIOLATION
  // The fault's record and processor context. They stay valid while the exception is
  // being handled (inside the catch block); a copy of this object kept beyond that must
  // not follow the pointer.
  EXCEPTION_POINTERS* pointers;
};

// Whether this build turns faults into StructuredException at all (see
// SeTranslatorGuard); where it does not, guards change nothing.
#if defined(_MSC_VER) || (defined(__GNUC__) && defined(__SEH__) && defined(__x86_64__)) || \
    (defined(__GNUC__) && defined(__i386__) && !defined(__SEH__) && !defined(__USING_SJLJ_EXCEPTIONS__))
inline constexpr bool kTranslatesFaults = true;
#else
inline constexpr bool kTranslatesFaults = false;
#endif

// The shape of a translator: called with the structured exception's code and details,
// it throws the C++ exception that stands for the fault.
using SeTranslator = void (*)(unsigned int code, EXCEPTION_POINTERS* pointers);

// The translator of this program: throws StructuredException{code, pointers}.
[[noreturn]] void TranslateStructuredException(unsigned int code, EXCEPTION_POINTERS* pointers);

// The calling thread's translator, or null. Translators are per thread; a thread without
// one keeps the platform's ordinary handling of faults.
SeTranslator CurrentSeTranslator() noexcept;

// Turns faults of the calling thread into StructuredException while it lives, and puts
// the thread's previous translator back when it goes (also when an exception unwinds
// through its scope). Guards nest. Build and destroy it on the same thread.
//
// A fault is translated only where a C++ handler that accepts StructuredException is
// active on the thread's stack; a fault outside every such handler still ends the
// process through the platform's unhandled-exception path, with the fault's code as the
// exit status. Code that handles faults itself (IsBadReadPtr, lstrlenW, a __try of a
// system library) keeps doing so: translation happens only where the search for a
// handler reaches a C++ frame.
//
// Built with MSVC this is _set_se_translator (compile with /EHa). Built with GCC it needs
// -fnon-call-exceptions, and is the unwinder hook in fault_translation_seh.cpp on x64 and
// the vectored handler in fault_translation_dwarf.cpp on i686. With GCC a fault is
// translated only where unwinding to the handler leaves nothing half done: never through
// a point GCC proved cannot throw (inside a noexcept function, a call of strlen or wcslen,
// which GCC knows as built-ins that cannot throw) and never out of a system library in
// the middle of its work (MultiByteToWideChar, the run time's printf family); on i686
// only a fault in our own image is translated, so a fault inside one of the C run time's
// string routines keeps its ordinary path there too. Such faults end the process with
// their code, as they would without a guard.
class SeTranslatorGuard {
 public:
  SeTranslatorGuard() noexcept;
  ~SeTranslatorGuard();
  SeTranslatorGuard(const SeTranslatorGuard&) = delete;
  SeTranslatorGuard& operator=(const SeTranslatorGuard&) = delete;

 private:
  SeTranslator previous_;
};
