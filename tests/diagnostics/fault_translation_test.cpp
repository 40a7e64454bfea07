// Real processor faults turned into StructuredException. This file is built twice, at
// the release optimisation level and at -O0, because whether a fault finds its handler
// depends on the exception tables the compiler emits for the faulting code.

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <exception>
#include <stdexcept>
#include <thread>
#include <vector>

#include "diagnostics/structured_exception.h"
#include "threading/critical_section.h"

namespace {

// Values the compiler cannot see through, so every fault happens where it is written (a
// store through a visible null would be compiled into a trap instruction instead).
int* volatile g_nowhere = nullptr;
wchar_t* volatile g_unmappedText = reinterpret_cast<wchar_t*>(16);  // inside the never-mapped first page
volatile int g_zero = 0;
volatile std::size_t g_eight = 8;
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
    {"wcslen of a bad pointer (C run time)", [] { g_sink = static_cast<int>(std::wcslen(g_unmappedText)); },
     kAccessViolation},
    {"wcscpy to a bad pointer (C run time)", [] { std::wcscpy(g_unmappedText, L"text"); }, kAccessViolation},
    {"memcpy to a null pointer (C run time)",
     [] {
       const char source[8] = "source";
       std::memcpy(g_nowhere, source, g_eight);
     },
     kAccessViolation},
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
#endif
  }
  EXPECT_TRUE(caught);
}

struct CleanupProbe {
  int runs = 0;
  int uncaughtWhileUnwinding = -1;
};

struct Cleanup {
  CleanupProbe* probe;
  ~Cleanup() {
    ++probe->runs;
    probe->uncaughtWhileUnwinding = std::uncaught_exceptions();
  }
};

__attribute__((noinline)) void FaultWhileHoldingLock(CriticalSection* lock, CleanupProbe* probe) {
  CriticalSectionLock hold(lock);
  Cleanup cleanup{probe};
  *g_nowhere = 3;
}

// A handler on the way that does not take a StructuredException.
__attribute__((noinline)) void PassThroughNarrowerHandler(CriticalSection* lock, CleanupProbe* probe) {
  try {
    FaultWhileHoldingLock(lock, probe);
  } catch (const std::runtime_error&) {
    ADD_FAILURE() << "a handler for another type took the fault";
  }
}

TEST_F(FaultTranslation, UnwindingToTheHandlerRunsTheCleanupsOfTheFaultingFrame) {
  SeTranslatorGuard guard;
  CriticalSection lock;
  CleanupProbe probe;
  int uncaughtInHandler = -1;
  try {
    PassThroughNarrowerHandler(&lock, &probe);
  } catch (const StructuredException& fault) {
    EXPECT_EQ(fault.code, kAccessViolation);
    uncaughtInHandler = std::uncaught_exceptions();
  }
  EXPECT_EQ(probe.runs, 1);
  EXPECT_EQ(probe.uncaughtWhileUnwinding, 1);
  EXPECT_EQ(uncaughtInHandler, 0);
  EXPECT_EQ(std::uncaught_exceptions(), 0);
  EXPECT_EQ(lock.count(), 0);
  EXPECT_EQ(lock.owner(), 0u);

  bool takenElsewhere = false;
  std::thread other([&] {
    CriticalSectionLock hold(&lock);
    takenElsewhere = true;
  });
  other.join();
  EXPECT_TRUE(takenElsewhere);
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

}  // namespace
