// Real processor faults turned into StructuredException. This file is built twice, at
// the release optimisation level and at -O0, and so is the child program it starts,
// because whether a fault finds its handler depends on the exception tables the compiler
// emits for the faulting code.

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <exception>
#include <stdexcept>
#include <thread>
#include <vector>

#include "diagnostics/structured_exception.h"
#include "support/child_process.h"

namespace {

// Values the compiler cannot see through, so every fault happens where it is written (a
// store through a visible null would be compiled into a trap instruction instead).
int* volatile g_nowhere = nullptr;
wchar_t* volatile g_unmappedText = reinterpret_cast<wchar_t*>(16);  // inside the never-mapped first page
volatile int g_zero = 0;
volatile int g_sink = 0;

constexpr std::uint32_t kAccessViolation = EXCEPTION_ACCESS_VIOLATION;
constexpr std::uint32_t kIntegerDivideByZero = EXCEPTION_INT_DIVIDE_BY_ZERO;

class FaultTranslation : public testing::Test {
 protected:
  void SetUp() override {
    if (!kTranslatesFaults) GTEST_SKIP() << "this build keeps the ordinary handling of faults";
  }
};

struct Outcome {
  bool caught = false;
  std::uint32_t code = 0;
};

Outcome RunGuardedBlock(void (*action)()) {
  try {
    action();
  } catch (const StructuredException& fault) {
    return {true, fault.code};
  }
  return {};
}

struct FaultCase {
  const char* name;
  void (*fault)();
  std::uint32_t code;
};

const FaultCase kFaults[] = {
    {"null write in our code", [] { *g_nowhere = 1; }, kAccessViolation},
    {"null read in our code", [] { g_sink = *g_nowhere; }, kAccessViolation},
    {"integer division by zero", [] { g_sink = 10 / g_zero; }, kIntegerDivideByZero},
};

TEST_F(FaultTranslation, FaultsOnAGuardedThreadArriveAsStructuredExceptionAndTheThreadGoesOn) {
  std::vector<Outcome> outcomes;
  bool wentOn = false;
  std::thread guarded([&] {
    SeTranslatorGuard guard;
    for (const FaultCase& fault : kFaults) outcomes.push_back(RunGuardedBlock(fault.fault));
    wentOn = true;
  });
  guarded.join();

  ASSERT_TRUE(wentOn);
  ASSERT_EQ(outcomes.size(), std::size(kFaults));
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    SCOPED_TRACE(kFaults[i].name);
    EXPECT_TRUE(outcomes[i].caught);
    EXPECT_EQ(outcomes[i].code, kFaults[i].code);
  }
}

TEST_F(FaultTranslation, AFaultInTheGuardedBlockItselfCarriesItsRecordAndContext) {
  SeTranslatorGuard guard;
  bool caught = false;
  try {
    *g_nowhere = 2;
  } catch (const StructuredException& fault) {
    caught = true;
    ASSERT_NE(fault.pointers, nullptr);
    const EXCEPTION_RECORD& record = *fault.pointers->ExceptionRecord;
    EXPECT_EQ(fault.code, kAccessViolation);
    EXPECT_EQ(record.ExceptionCode, kAccessViolation);
    ASSERT_EQ(record.NumberParameters, 2u);
    EXPECT_EQ(record.ExceptionInformation[0], 1u) << "a write";
    EXPECT_EQ(record.ExceptionInformation[1], 0u) << "at address 0";
#ifdef _WIN64
    EXPECT_EQ(fault.pointers->ContextRecord->Rip, reinterpret_cast<DWORD64>(record.ExceptionAddress));
#else
    EXPECT_EQ(fault.pointers->ContextRecord->Eip, reinterpret_cast<DWORD>(record.ExceptionAddress));
#endif
  }
  EXPECT_TRUE(caught);
}

TEST_F(FaultTranslation, ATranslatedFaultCanBeKeptAndRethrownAfterItsHandler) {
  SeTranslatorGuard guard;
  std::exception_ptr kept;
  try {
    *g_nowhere = 4;
  } catch (...) {
    kept = std::current_exception();
  }
  ASSERT_TRUE(kept);
  try {
    std::rethrow_exception(kept);
  } catch (const StructuredException& fault) {
    EXPECT_EQ(fault.code, kAccessViolation);
    EXPECT_EQ(fault.pointers->ExceptionRecord->ExceptionCode, kAccessViolation);
  }
}

// These functions catch the fault (or the exception) they cause themselves; the guard
// must not take it from them. The log-argument check relies on the pointer tests, the
// debugger output on OutputDebugStringA.
TEST_F(FaultTranslation, FunctionsThatHandleTheirOwnExceptionsAnswerAsUsual) {
  SeTranslatorGuard guard;
  try {
    ::OutputDebugStringA("raises and handles DBG_PRINTEXCEPTION_C\n");
    EXPECT_EQ(::lstrlenW(g_unmappedText), 0);
    EXPECT_TRUE(::IsBadStringPtrW(g_unmappedText, 16));
    EXPECT_TRUE(::IsBadReadPtr(g_unmappedText, 4));
    EXPECT_TRUE(::IsBadWritePtr(g_unmappedText, 4));
  } catch (const StructuredException& fault) {
    ADD_FAILURE() << "translated 0x" << std::hex << fault.code;
  }
}

TEST_F(FaultTranslation, GuardsNestAndPutThePreviousTranslatorBack) {
  ASSERT_EQ(CurrentSeTranslator(), nullptr);
  {
    SeTranslatorGuard outer;
    EXPECT_EQ(CurrentSeTranslator(), &TranslateStructuredException);
    { SeTranslatorGuard inner; }
    EXPECT_EQ(CurrentSeTranslator(), &TranslateStructuredException) << "the inner guard restored the outer's";
    EXPECT_TRUE(RunGuardedBlock(kFaults[0].fault).caught);
  }
  EXPECT_EQ(CurrentSeTranslator(), nullptr);

  try {
    SeTranslatorGuard unwound;
    throw std::runtime_error("leaves the guard's scope");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(CurrentSeTranslator(), nullptr);
}

TEST_F(FaultTranslation, AGuardOnOneThreadLeavesOtherThreadsAlone) {
  SeTranslator seenElsewhere = &TranslateStructuredException;
  {
    SeTranslatorGuard guard;
    std::thread other([&] { seenElsewhere = CurrentSeTranslator(); });
    other.join();
  }
  EXPECT_EQ(seenElsewhere, nullptr);
}

// Where a fault can happen under a guard, and what becomes of it. Each row runs in a
// child process (fault_child.cpp, built at this file's optimisation level): caught as
// StructuredException with the fault's code, or (a stated limit) the process ends with the
// fault's code through the platform's ordinary path, never std::terminate (exit code 3)
// and never a rescue by another handler.
//
// The limits: GCC knows strlen and wcslen as built-ins that cannot throw and lists no
// call site for them, so a fault in one called straight from the frame that holds the
// handler has no landing pad to go to; a system library (MultiByteToWideChar, the run
// time's printf family) may hold a lock when it faults and is never unwound; a noexcept
// function calls std::terminate when an exception leaves it, so its faults are left
// alone; and on i686 only faults inside our own image are translated, so a fault inside
// one of the C run time's string routines is a limit there, while on x64 those routines,
// which hold nothing, are unwound.
TEST(FaultSites, EachIsCaughtWithItsCodeOrEndsTheProcessWithIt) {
  enum Outcome { kCaught, kEndsProcess };
#ifdef _WIN64
  constexpr bool kX64 = true;
#else
  constexpr bool kX64 = false;
#endif
  const Outcome runTimeRoutine = kX64 ? kCaught : kEndsProcess;
  const struct {
    const wchar_t* site;
    Outcome outcome;
    std::uint32_t code;
    const char* caughtLine;  // the child's line when caught, if more than the code
  } rows[] = {
      {L"own-code-write", kCaught, kAccessViolation, nullptr},
      {L"own-code-divide", kCaught, kIntegerDivideByZero, nullptr},
      // The cleanups of every frame between run once, with the fault counted as uncaught
      // while they run and no longer in the handler, and the lock is free again.
      {L"two-frames-down", kCaught, kAccessViolation,
       "caught 0xC0000005 cleanups 1 uncaught while unwinding 1 in handler 0 lock released\n"},
      {L"utf16-to-utf8", kCaught, kAccessViolation, nullptr},
      {L"utf8-to-utf16", kCaught, kAccessViolation, nullptr},
      {L"cp1252-to-wide", kCaught, kAccessViolation, nullptr},
      {L"wide-to-cp1252", kCaught, kAccessViolation, nullptr},
      {L"event-set", kCaught, kAccessViolation, nullptr},
      {L"critical-section-enter", kCaught, kAccessViolation, nullptr},
      {L"run-time-routine-through-our-frame", runTimeRoutine, kAccessViolation, nullptr},
      {L"strlen-in-guarded-block", kEndsProcess, kAccessViolation, nullptr},
      {L"wcslen-in-guarded-block", kEndsProcess, kAccessViolation, nullptr},
      {L"noexcept-function", kEndsProcess, kAccessViolation, nullptr},
      {L"multibyte-to-wide-char", kEndsProcess, kAccessViolation, nullptr},
      {L"run-time-formatter", kEndsProcess, kAccessViolation, nullptr},
      // Where the translation does not reach.
      {L"unguarded-thread", kEndsProcess, kAccessViolation, nullptr},
      {L"outside-handler", kEndsProcess, kAccessViolation, nullptr},
      {L"no-accepting-handler", kEndsProcess, kAccessViolation, nullptr},
  };
  const std::wstring child = L"\"" + ProgramBesideMe(VARROWMERE_FAULT_CHILD) + L"\" ";
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.site, row.site + std::wcslen(row.site)));
    const ChildResult run = RunChild(child + row.site);
    ASSERT_TRUE(run.started);
    ASSERT_TRUE(run.finished);
    if (row.outcome == kCaught) {
      char line[32];
      std::snprintf(line, sizeof(line), "caught 0x%08X\n", static_cast<unsigned>(row.code));
      EXPECT_EQ(run.out, row.caughtLine != nullptr ? row.caughtLine : line);
      EXPECT_EQ(run.exitCode, 0u);
    } else {
      EXPECT_EQ(run.exitCode, row.code);
      EXPECT_EQ(run.out, "") << "nothing caught, rescued or survived";
    }
  }
}

}  // namespace
