// Fault translation for GCC's x64 build, which has no _set_se_translator.
//
// On x64 both kinds of exception travel the same road: the system walks the stack with
// the functions' unwind tables and asks each frame's handler. Every GCC function with a
// try block or a cleanup names __gxx_personality_seh0 as its handler, and the link wraps
// that name (-Wl,--wrap=__gxx_personality_seh0), so every C++ frame's handler call comes
// here first. For a C++ exception this hook only passes the call on. For a structured
// exception it is the moment MSVC's run time calls a translator: the frames nearer the
// fault (a system library's __try, IsBadReadPtr, lstrlenW) have already declined it.
//
// At a C++ frame whose exception tables give the faulting point a landing pad, on a
// thread whose translator is TranslateStructuredException, the hook builds the
// StructuredException as a C++ exception object, makes the record in flight look like
// GCC's own throw of it and lets the real personality routine judge the frame. If one of
// the frame's handlers accepts a StructuredException, the routine unwinds to it right
// away, running the cleanups of every frame in between, exactly as for a throw; if not,
// it answers "search on", and the hook puts the record back as it was and frees the
// object. A fault that no C++ handler accepts therefore reaches the platform's
// unhandled-exception path untouched and ends the process with the fault's code.
//
// Two details of GCC's tables matter:
// - The routine looks up "return address - 1", which is right for a call but points
//   before a faulting instruction; for the faulting frame the hook presents the fault
//   address + 1, both while searching and while unwinding through that frame.
// - GCC leaves out of the tables the points where it proves nothing can throw (inside a
//   noexcept function, for one). Unwinding through such a point calls std::terminate.
// Our own code is compiled with -fnon-call-exceptions so that each of its instructions
// that can fault counts as able to throw and gets its place in the tables.
//
// Unwinding abandons every frame between the fault and the handler. Frames of our
// program release what they hold through their cleanups; code outside it (the system's
// libraries, the C run time) has no cleanups for C++ exceptions, and a fault inside
// GetModuleFileNameW, for one, happens while it holds the loader lock: translating it
// leaves the lock held for good and the next thread start of the process hangs. So the
// hook first walks the frames between the fault and the handler's frame, and declines
// (the fault keeps its ordinary handling) unless each frame of ours lets the exception
// pass and each frame outside our program can hold nothing: a leaf routine, which calls
// nothing and so holds no lock (wcslen, strlen, wcscpy ...), or one of the C run time's
// string and memory routines, which work on their arguments alone (memcpy is a small
// wrapper around a leaf in some run times).
//
// The exception object is built with the same libstdc++ calls that __cxa_throw and
// std::make_exception_ptr use; the two values set by hand (the reference count and the
// count of uncaught exceptions) are the ones __cxa_throw sets.

#include "diagnostics/fault_translation.h"

#if defined(__GNUC__) && defined(__SEH__) && defined(__x86_64__)

#include <cxxabi.h>
#include <unwind.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <new>
#include <typeinfo>

extern "C" EXCEPTION_DISPOSITION __real___gxx_personality_seh0(EXCEPTION_RECORD* record, void* frame,
                                                             CONTEXT* context,
                                                             DISPATCHER_CONTEXT* dispatch);

// Not noexcept and without locals that need cleaning up: a successful translation unwinds
// straight through this function's frame, which therefore needs no handler of its own.
extern "C" EXCEPTION_DISPOSITION __wrap___gxx_personality_seh0(EXCEPTION_RECORD* record, void* frame,
                                                             CONTEXT* context,
                                                             DISPATCHER_CONTEXT* dispatch);

namespace {

using fault_translation::CallSite;
using fault_translation::IsFaultToTranslate;
using fault_translation::LookUpCallSite;
using fault_translation::TranslatedFault;

// GCC's own throw of a C++ exception, as the structured exception it raises.
constexpr DWORD kGccThrow = 0x20474343;

// Marks a record that carries a translated fault, in slots GCC's unwinder does not use
// (it uses 0 to 3). Slot 5 repeats slot 0, the exception object, to make a chance match
// with leftover data impossible in practice.
constexpr std::size_t kMarkSlot = 4;
constexpr std::size_t kObjectCopySlot = 5;
constexpr ULONG_PTR kTranslatedFaultMark = static_cast<ULONG_PTR>(0x5645525354524C46ull);

// More frames than any stack of this program holds between a fault and its handler.
constexpr int kMaxFramesToHandler = 4096;

constexpr std::uint8_t kUnwindOpPushNonvolatile = 0;  // UWOP_PUSH_NONVOL

static_assert(offsetof(TranslatedFault, exception) == 0, "the thrown object starts the block");
static_assert(alignof(TranslatedFault) <= alignof(_Unwind_Exception),
              "exception objects are only as aligned as the unwinder's header");

// The Itanium C++ ABI's per-thread exception state; __cxa_get_globals answers it as an
// incomplete type.
struct CxaEhGlobals {
  void* caughtExceptions;
  unsigned int uncaughtExceptions;
};

bool CarriesTranslatedFault(const EXCEPTION_RECORD& record) {
  return record.ExceptionCode == kGccThrow &&
         record.ExceptionInformation[kMarkSlot] == kTranslatedFaultMark &&
         record.ExceptionInformation[kObjectCopySlot] == record.ExceptionInformation[0];
}

// The address GCC's tables are searched with, plus one: the personality routine
// subtracts one to land inside the call a return address follows. The faulting frame
// stands at the faulting instruction itself, which has no such call before it.
ULONG64 PersonalityAddress(ULONG64 controlPc, const EXCEPTION_RECORD& record) {
  return controlPc == reinterpret_cast<ULONG64>(record.ExceptionAddress) ? controlPc + 1 : controlPc;
}

bool IsCxxPersonality(PEXCEPTION_ROUTINE handler) {
  return handler == reinterpret_cast<PEXCEPTION_ROUTINE>(&__wrap___gxx_personality_seh0) ||
         handler == reinterpret_cast<PEXCEPTION_ROUTINE>(&__real___gxx_personality_seh0);
}

// The run times the C run-time routines below may come from, and the routines of theirs
// that work on their arguments alone and take no lock.
constexpr const wchar_t* kCRunTimeModules[] = {L"msvcrt.dll", L"ucrtbase.dll"};
constexpr const char* kLockFreeCRunTimeRoutines[] = {
    "memcpy", "memmove", "memset",  "memcmp",  "memchr",  "strlen",  "strnlen", "strcpy",
    "strncpy", "strcat",  "strncat", "strcmp",  "strncmp", "strchr",  "strrchr", "strstr",
    "wcslen",  "wcsnlen", "wcscpy",  "wcsncpy", "wcscat",  "wcsncat", "wcscmp",  "wcsncmp",
    "wcschr",  "wcsrchr", "wcsstr"};

// Where each of those routines starts, looked up once before the first translation (the
// lookups take the loader lock, which a fault's handler must not wait for).
struct LockFreeRoutineStarts {
  ULONG64 start[std::size(kCRunTimeModules)][std::size(kLockFreeCRunTimeRoutines)] = {};

  LockFreeRoutineStarts() {
    for (std::size_t m = 0; m < std::size(kCRunTimeModules); ++m) {
      HMODULE module = ::GetModuleHandleW(kCRunTimeModules[m]);
      if (module == nullptr) continue;
      for (std::size_t r = 0; r < std::size(kLockFreeCRunTimeRoutines); ++r) {
        start[m][r] = reinterpret_cast<ULONG64>(
            reinterpret_cast<void*>(::GetProcAddress(module, kLockFreeCRunTimeRoutines[r])));
      }
    }
  }

  bool Contains(ULONG64 functionStart) const {
    for (const auto& module : start) {
      for (ULONG64 routine : module) {
        if (routine != 0 && routine == functionStart) return true;
      }
    }
    return false;
  }
};

const LockFreeRoutineStarts& LockFreeRoutines() {
  static const LockFreeRoutineStarts routines;
  return routines;
}

// A routine whose unwind data records nothing but register pushes has no stack of its
// own to call another routine with, so it cannot hold a lock.
bool IsLeafRoutine(ULONG64 imageBase, const RUNTIME_FUNCTION& function) {
  const auto* info = reinterpret_cast<const std::uint8_t*>(imageBase + function.UnwindData);
  const std::uint8_t flags = info[0] >> 3;
  const std::uint8_t codeCount = info[2];
  const std::uint8_t frameRegister = info[3] & 0x0F;
  if ((flags & UNW_FLAG_CHAININFO) != 0 || frameRegister != 0) return false;
  const auto* codes = reinterpret_cast<const std::uint16_t*>(info + 4);
  for (std::uint8_t i = 0; i < codeCount; ++i) {
    if (((codes[i] >> 8) & 0x0F) != kUnwindOpPushNonvolatile) return false;
  }
  return true;
}

// True when unwinding from the faulting frame up to the frame at `handlerFrame` leaves
// nothing behind: every frame of our program lets a C++ exception pass (no point GCC
// marked as unable to throw), and every frame outside it holds nothing. The walk repeats
// the one the system has just made to arrive at the handler's frame.
bool FramesBelowCanBeAbandoned(const EXCEPTION_RECORD& record, const CONTEXT& faultContext,
                               ULONG64 handlerFrame) {
    CONTEXT walk = faultContext;
  for (int depth = 0; depth < kMaxFramesToHandler; ++depth) {
    const ULONG64 pc = walk.Rip;
    ULONG64 imageBase = 0;
    PRUNTIME_FUNCTION function = ::RtlLookupFunctionEntry(pc, &imageBase, nullptr);
    if (function == nullptr) {
      // A routine without unwind data is a leaf: it keeps nothing on the stack but its
      // return address, and calls nothing.
      walk.Rip = *reinterpret_cast<const ULONG64*>(walk.Rsp);
      walk.Rsp += sizeof(ULONG64);
      continue;
    }
    const bool ours = fault_translation::IsInOurImage(pc);
    if (!ours && !IsLeafRoutine(imageBase, *function) &&
        !LockFreeRoutines().Contains(imageBase + function->BeginAddress)) {
      return false;
    }
    void* handlerData = nullptr;
    ULONG64 frame = 0;
    const PEXCEPTION_ROUTINE handler = ::RtlVirtualUnwind(
        UNW_FLAG_EHANDLER, imageBase, pc, function, &walk, &handlerData, &frame, nullptr);
    if (frame >= handlerFrame) return frame == handlerFrame;
    if (ours && IsCxxPersonality(handler) && handlerData != nullptr &&
        LookUpCallSite(handlerData, imageBase + function->BeginAddress,
                       PersonalityAddress(pc, record)) == CallSite::kNotListed) {
      return false;
    }
    if (walk.Rip == 0) return false;
  }
  return false;
}

// Calls the real personality routine with the faulting frame's address adjusted (see
// PersonalityAddress), and puts the dispatcher's value back if the routine returns.
EXCEPTION_DISPOSITION CallPersonality(EXCEPTION_RECORD* record, void* frame, CONTEXT* context,
                                      DISPATCHER_CONTEXT* dispatch, const EXCEPTION_RECORD& fault) {
  const ULONG64 controlPc = dispatch->ControlPc;
  dispatch->ControlPc = PersonalityAddress(controlPc, fault);
  const EXCEPTION_DISPOSITION disposition = __real___gxx_personality_seh0(record, frame, context, dispatch);
  dispatch->ControlPc = controlPc;
  return disposition;
}

// Offers the fault to this frame's handlers as a thrown StructuredException. Returns
// only when none of them accepts it, with the record as it came.
EXCEPTION_DISPOSITION OfferTranslatedFault(EXCEPTION_RECORD* record, void* frame, CONTEXT* context,
                                           DISPATCHER_CONTEXT* dispatch) {
  void* object = __cxxabiv1::__cxa_allocate_exception(sizeof(TranslatedFault));
  auto* fault = new (object) TranslatedFault;
  fault->record = *record;
  fault->context = *context;
  fault->pointers = EXCEPTION_POINTERS{&fault->record, &fault->context};
  fault->exception = StructuredException{record->ExceptionCode, &fault->pointers};

  // The header's reference count is its first member; __cxa_throw sets it to 1 for the
  // thrower's reference, which the end of the last catch block gives up.
  auto* header = __cxxabiv1::__cxa_init_primary_exception(
      object, const_cast<std::type_info*>(&typeid(StructuredException)), nullptr);
  *reinterpret_cast<int*>(header) = 1;
  auto* globals = reinterpret_cast<CxaEhGlobals*>(__cxxabiv1::__cxa_get_globals());
  globals->uncaughtExceptions += 1;

  auto* unwindHeader = static_cast<_Unwind_Exception*>(object) - 1;
  const EXCEPTION_RECORD original = *record;
  record->ExceptionCode = kGccThrow;
  record->NumberParameters = 1;
  record->ExceptionInformation[0] = reinterpret_cast<ULONG_PTR>(unwindHeader);
  record->ExceptionInformation[kMarkSlot] = kTranslatedFaultMark;
  record->ExceptionInformation[kObjectCopySlot] = record->ExceptionInformation[0];

  const EXCEPTION_DISPOSITION disposition = CallPersonality(record, frame, context, dispatch, original);

  // No handler of this frame took it.
  *record = original;
  globals->uncaughtExceptions -= 1;
  __cxxabiv1::__cxa_free_exception(object);
  return disposition;
}

}  // namespace

void PrepareFaultTranslation() { LockFreeRoutines(); }

extern "C" EXCEPTION_DISPOSITION __wrap___gxx_personality_seh0(EXCEPTION_RECORD* record, void* frame,
                                                             CONTEXT* context,
                                                             DISPATCHER_CONTEXT* dispatch) {
  // Unwinding towards the handler that took a translated fault: the faulting frame needs
  // the same adjusted address as during the search, or its cleanups are not found.
  if (CarriesTranslatedFault(*record)) {
    const auto* fault = reinterpret_cast<const TranslatedFault*>(
        reinterpret_cast<const _Unwind_Exception*>(record->ExceptionInformation[0]) + 1);
    return CallPersonality(record, frame, context, dispatch, fault->record);
  }
  if (IsFaultToTranslate(*record) && dispatch->HandlerData != nullptr &&
      LookUpCallSite(dispatch->HandlerData, dispatch->ImageBase + dispatch->FunctionEntry->BeginAddress,
                     PersonalityAddress(dispatch->ControlPc, *record)) == CallSite::kLandingPad &&
      FramesBelowCanBeAbandoned(*record, *context, dispatch->EstablisherFrame)) {
    return OfferTranslatedFault(record, frame, context, dispatch);
  }
  return __real___gxx_personality_seh0(record, frame, context, dispatch);
}

#endif
