#include <gtest/gtest.h>

#include <string>

#include "diagnostics/structured_exception.h"
#include "support/child_process.h"

namespace {

std::wstring FaultChild(const wchar_t* mode) {
  return L"\"" + ProgramBesideMe(L"fault_child.exe") + L"\" " + mode;
}

TEST(FaultTranslationProcess, TheChildCatchesAFaultUnderItsGuard) {
  if (!kTranslatesFaults) GTEST_SKIP() << "this build keeps the ordinary handling of faults";
  const ChildResult run = RunChild(FaultChild(L"caught"));
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, "caught 0xC0000005\n");
}

// A fault that no handler for StructuredException can take, or that would leave code
// outside our program abandoned in the middle of its work, keeps the platform's ordinary
// handling: the unhandled-exception path ends the process with the fault's code (Wine
// reports it as the exit code), never std::terminate (exit code 3) and never a rescue.
TEST(FaultTranslationProcess, FaultsNoGuardedHandlerTakesEndTheProcessWithTheFaultCode) {
  const struct {
    const wchar_t* mode;
    const char* meaning;
  } cases[] = {
      {L"unguarded-thread", "a thread without a guard, inside catch(...)"},
      {L"outside-handler", "a guarded thread outside every try block"},
      {L"no-accepting-handler", "a guarded thread inside a try that takes another type only"},
      {L"noexcept-function", "a guarded thread, fault inside a noexcept function"},
      // Routines outside our program that are more than leaves could hold a lock when they
      // fault (GetModuleFileNameW holds the loader lock), so they are never unwound.
      {L"system-routine", "a guarded block, fault inside MultiByteToWideChar"},
      {L"run-time-formatter", "a guarded block, fault inside _snwprintf"},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.meaning);
    const ChildResult run = RunChild(FaultChild(testCase.mode));
    ASSERT_TRUE(run.started);
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(run.out.find("rescued"), std::string::npos);
    EXPECT_EQ(run.out.find("survived"), std::string::npos);
  }
}

}  // namespace
