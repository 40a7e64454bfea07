// Fault translation for GCC's i686 build, which has no _set_se_translator.
//
// There C++ exceptions unwind with DWARF tables (libgcc's unwinder), which know nothing
// of the system's exception dispatcher: a C++ exception thrown from a vectored handler
// cannot unwind through the dispatcher's frames and ends in std::terminate. So a fault
// is translated in two steps:
//
// 1. A vectored handler, called first for every structured exception of the process,
//    acts only on a thread whose translator is TranslateStructuredException and only for
//    a fault in our own image. It asks the unwinder, starting at the faulting frame,
//    whether a frame of ours will take a StructuredException (the search phase of a
//    throw, without unwinding anything); the walk goes through our frames only. If no
//    frame takes it, or the way to the frame that would passes a point GCC proved cannot
//    throw (a noexcept function: unwinding there calls std::terminate) or a frame outside
//    our program (a system library in the middle of its work, maybe holding a lock), the
//    handler declines and the fault takes its ordinary path with its own code.
// 2. Otherwise the handler resumes the thread in a small function that throws the
//    StructuredException, as if the faulting instruction had called it: the faulting
//    address + 1 is pushed as its return address, so the unwinder starts in the faulting
//    frame, where GCC's tables (with -fnon-call-exceptions) list the faulting
//    instruction, and runs every cleanup between there and the handler once.
//
// The search walks from a stand-in frame (BacktraceFromFault below) whose unwind
// description names the faulting frame's registers as its caller's, so the unwinder
// steps from it straight into the faulting frame, skipping the dispatcher's frames.
//
// The exception object is allocated by the handler (with the same libstdc++ calls that
// __cxa_throw uses), because the record and context must be copied out of the stack
// area the resumed thread is about to reuse.

#include "diagnostics/fault_translation.h"

#if defined(__GNUC__) && defined(__i386__) && !defined(__SEH__) && !defined(__USING_SJLJ_EXCEPTIONS__)

#include <cxxabi.h>
#include <unwind.h>

#include <cstddef>
#include <new>
#include <typeinfo>

using fault_translation::CallSite;
using fault_translation::IsInOurImage;
using fault_translation::TranslatedFault;

extern "C" _Unwind_Reason_Code __gxx_personality_v0(int version, _Unwind_Action actions,
                                                    _Unwind_Exception_Class exceptionClass,
                                                    _Unwind_Exception* exception, _Unwind_Context* context);

namespace {

static_assert(offsetof(TranslatedFault, exception) == 0, "the thrown object starts the block");

// The faulting frame's registers as the unwinder needs them. BacktraceFromFault's unwind
// description reads them at these offsets.
struct FaultFrame {
  DWORD returnAddress;  // the faulting address + 1
  DWORD stackPointer;
  DWORD ebx;
  DWORD esi;
  DWORD edi;
  DWORD ebp;
};
static_assert(offsetof(FaultFrame, stackPointer) == 4 && offsetof(FaultFrame, ebp) == 20,
              "the offsets BacktraceFromFault's unwind description reads");

}  // namespace

// Calls _Unwind_Backtrace(trace, argument) from a frame whose caller, to the unwinder, is
// the faulting frame that `frame` describes. Its unwind description, after the first two
// instructions, says: the caller's stack pointer (the CFA) is frame->stackPointer, its
// instruction pointer frame->returnAddress, its ebx, esi, edi and ebp the saved ones;
// %esi holds `frame` meanwhile. (DWARF register numbers: ebx 3, ebp 5, esi 6, edi 7,
// eip 8; 0x76 is DW_OP_breg6, an offset from %esi; 0x06 DW_OP_deref.)
extern "C" _Unwind_Reason_Code VarrowmereBacktraceFromFault(const FaultFrame* frame,
                                                           _Unwind_Trace_Fn trace, void* argument);

// Where the resumed thread enters: %eax holds the faulting address + 1, %ecx the
// exception object. Pushing the address makes the throw look called from the fault.
extern "C" void VarrowmereEnterTranslatedFault();

asm(R"(
  .text
  .p2align 4
  .globl _VarrowmereBacktraceFromFault
  .def _VarrowmereBacktraceFromFault; .scl 2; .type 32; .endef
_VarrowmereBacktraceFromFault:
  .cfi_startproc
  pushl %esi
  .cfi_adjust_cfa_offset 4
  movl 8(%esp), %esi
  .cfi_escape 0x0f, 0x03, 0x76, 0x04, 0x06
  .cfi_escape 0x16, 0x08, 0x03, 0x76, 0x00, 0x06
  .cfi_escape 0x16, 0x03, 0x03, 0x76, 0x08, 0x06
  .cfi_escape 0x16, 0x06, 0x03, 0x76, 0x0c, 0x06
  .cfi_escape 0x16, 0x07, 0x03, 0x76, 0x10, 0x06
  .cfi_escape 0x16, 0x05, 0x03, 0x76, 0x14, 0x06
  pushl 16(%esp)
  pushl 16(%esp)
  call __Unwind_Backtrace
  addl $8, %esp
  popl %esi
  ret
  .cfi_endproc

  .p2align 4
  .globl _VarrowmereEnterTranslatedFault
  .def _VarrowmereEnterTranslatedFault; .scl 2; .type 32; .endef
_VarrowmereEnterTranslatedFault:
  pushl %eax
  jmp @VarrowmereRaiseTranslatedFault@4
)");

// Throws the prepared StructuredException. Entered with the faulting address + 1 as its
// return address, so the unwinder's first frame after this one is the faulting frame.
extern "C" [[noreturn]] __attribute__((fastcall, used)) void VarrowmereRaiseTranslatedFault(void* object) {
  __cxxabiv1::__cxa_throw(object, const_cast<std::type_info*>(&typeid(StructuredException)), nullptr);
}

namespace {

// Marks a thread whose handler is judging the frames: a fault during the judging itself
// (a stack too damaged to walk) is left to its ordinary path.
DWORD JudgingSlot() {
  static const DWORD slot = ::TlsAlloc();
  return slot;
}

struct Search {
  const FaultFrame* frame;
  _Unwind_Exception* exception;
  bool reachedFault = false;
  bool accepted = false;
};

// Judges one frame, from the faulting frame outwards, the way the search phase of a
// throw would; stops the walk (any answer but _URC_NO_REASON) once the outcome is known.
_Unwind_Reason_Code JudgeFrame(_Unwind_Context* context, void* argument) {
  Search& search = *static_cast<Search*>(argument);
  const _Unwind_Ptr ip = _Unwind_GetIP(context);
  if (!search.reachedFault) {
    if (ip != search.frame->returnAddress) return _URC_NO_REASON;  // the stand-in frame
    search.reachedFault = true;
  }
  if (!IsInOurImage(ip - 1)) return _URC_END_OF_STACK;
  const void* lsda = reinterpret_cast<const void*>(_Unwind_GetLanguageSpecificData(context));
  if (lsda == nullptr) return _URC_NO_REASON;  // nothing to run here: the exception passes
  switch (fault_translation::LookUpCallSite(lsda, _Unwind_GetRegionStart(context), ip)) {
    case CallSite::kNotListed: return _URC_END_OF_STACK;
    case CallSite::kPassesThrough: return _URC_NO_REASON;
    case CallSite::kLandingPad: break;
  }
  if (__gxx_personality_v0(1, _UA_SEARCH_PHASE, search.exception->exception_class, search.exception,
                           context) == _URC_HANDLER_FOUND) {
    search.accepted = true;
    return _URC_END_OF_STACK;
  }
  return _URC_NO_REASON;
}

// Builds the exception object for the fault: the StructuredException with its own copies
// of the record and context.
void* NewTranslatedFault(const EXCEPTION_RECORD& record, const CONTEXT& context) {
  void* object = __cxxabiv1::__cxa_allocate_exception(sizeof(TranslatedFault));
  auto* fault = new (object) TranslatedFault;
  fault->record = record;
  fault->context = context;
  fault->pointers = EXCEPTION_POINTERS{&fault->record, &fault->context};
  fault->exception = StructuredException{record.ExceptionCode, &fault->pointers};
  __cxxabiv1::__cxa_init_primary_exception(object, const_cast<std::type_info*>(&typeid(StructuredException)),
                                           nullptr);
  return object;
}

bool SomeFrameTakes(const CONTEXT& context, void* object) {
  const FaultFrame frame{context.Eip + 1, context.Esp, context.Ebx, context.Esi, context.Edi, context.Ebp};
  // The unwinder's header ends right where the thrown object starts.
  Search search{&frame, static_cast<_Unwind_Exception*>(object) - 1};
  ::TlsSetValue(JudgingSlot(), reinterpret_cast<void*>(1));
  VarrowmereBacktraceFromFault(&frame, &JudgeFrame, &search);
  ::TlsSetValue(JudgingSlot(), nullptr);
  return search.accepted;
}

LONG CALLBACK TranslateFault(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  CONTEXT& context = *pointers->ContextRecord;
  if (!fault_translation::IsFaultToTranslate(record) || !IsInOurImage(context.Eip)) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  // TlsGetValue and TlsSetValue change the thread's last error, which the fault's own
  // path must find as the fault left it.
  const DWORD lastError = ::GetLastError();
  if (::TlsGetValue(JudgingSlot()) != nullptr) {
    ::SetLastError(lastError);
    return EXCEPTION_CONTINUE_SEARCH;
  }
  void* object = NewTranslatedFault(record, context);
  if (!SomeFrameTakes(context, object)) {
    __cxxabiv1::__cxa_free_exception(object);
    ::SetLastError(lastError);
    return EXCEPTION_CONTINUE_SEARCH;
  }
  ::SetLastError(lastError);
  context.Eax = context.Eip + 1;
  context.Ecx = reinterpret_cast<DWORD>(object);
  context.Eip = reinterpret_cast<DWORD>(&VarrowmereEnterTranslatedFault);
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void PrepareFaultTranslation() {
  // First in line: a fault of ours is judged before any other vectored handler sees it.
  static const PVOID handler = (JudgingSlot(), ::AddVectoredExceptionHandler(1, &TranslateFault));
  (void)handler;
}

#elif !(defined(__GNUC__) && defined(__SEH__) && defined(__x86_64__))

void PrepareFaultTranslation() {}

#endif
