#pragma once

// The pieces of fault translation that GCC's two Windows builds share. Each build has its
// own way into the unwinder: fault_translation_seh.cpp (x64, whose C++ exceptions travel
// the system's own unwinding) and fault_translation_dwarf.cpp (i686, whose C++ exceptions
// unwind with DWARF tables the system never reads).

#include <windows.h>

#include <cstdint>

#include "diagnostics/structured_exception.h"

// Does, in ordinary circumstances, the work the fault translation must not do while a
// fault is being dispatched. SeTranslatorGuard calls it before it installs the
// translator.
void PrepareFaultTranslation();

namespace fault_translation {

// The thrown object and, behind it, copies of the fault's record and context that
// StructuredException::pointers refers to. They live as long as the exception object,
// so they stay valid in the catch block after the unwinding has overwritten the stack
// the system kept them on.
struct TranslatedFault {
  StructuredException exception;
  EXCEPTION_POINTERS pointers;
  EXCEPTION_RECORD record;
  CONTEXT context;
};

// True for a fault the calling thread wants as StructuredException: a processor fault
// (not a C++ exception of some run time, not a fault raised while a handler ran, not a
// stack overflow), on a thread whose translator is TranslateStructuredException.
bool IsFaultToTranslate(const EXCEPTION_RECORD& record);

// True for an address inside this program's own image.
bool IsInOurImage(std::uintptr_t address);

enum class CallSite { kLandingPad, kPassesThrough, kNotListed };

// What GCC's call-site table (the language-specific data `lsda` of a function part that
// starts at `regionStart`) says about the instruction before `address`: a landing pad
// (a handler or a cleanup), a point an exception passes through, or a point GCC proved
// cannot throw (unwinding through it calls std::terminate). Callers pass the faulting
// instruction's address + 1, the way a return address follows a call.
CallSite LookUpCallSite(const void* lsda, std::uintptr_t regionStart, std::uintptr_t address);

}  // namespace fault_translation
