#include "threading/critical_section.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "win32/unique_resource.h"

namespace {

DWORD WINAPI EnterAndLeave(void* section) {
  static_cast<CriticalSection*>(section)->Enter();
  static_cast<CriticalSection*>(section)->Leave();
  return 0;
}

// True when another thread manages to enter and leave the section within a few seconds:
// the section is free and its system state is intact. A thread stuck on a broken section
// is ended so the test program goes on.
bool AnotherThreadCanTake(CriticalSection& section) {
  UniqueHandle other(::CreateThread(nullptr, 0, &EnterAndLeave, &section, 0, nullptr));
  if (!other) return false;
  if (::WaitForSingleObject(other.get(), 5000) == WAIT_OBJECT_0) return true;
  ::TerminateThread(other.get(), 1);
  return false;
}

TEST(CriticalSection, CountsNestedEntriesAndAbsorbsAnExtraLeave) {
  CriticalSection section;
  const DWORD me = ::GetCurrentThreadId();
  const struct {
    void (CriticalSection::*step)();
    DWORD owner;
    std::int32_t count;
  } steps[] = {
      {&CriticalSection::Enter, me, 1},
      {&CriticalSection::Enter, me, 2},
      {&CriticalSection::Leave, me, 1},
      {&CriticalSection::Leave, 0, 0},
      {&CriticalSection::Leave, 0, 0},
  };
  int stepNumber = 0;
  for (const auto& step : steps) {
    SCOPED_TRACE(++stepNumber);
    (section.*step.step)();
    EXPECT_EQ(section.Owner(), step.owner);
    EXPECT_EQ(section.Count(), step.count);
  }
  EXPECT_TRUE(AnotherThreadCanTake(section)) << "the extra Leave reached the system's lock";
}

TEST(CriticalSection, ALeaveFromAThreadThatDoesNotHoldItChangesNothing) {
  CriticalSection section;
  section.Enter();
  std::thread stranger([&] { section.Leave(); });
  stranger.join();
  EXPECT_EQ(section.Owner(), ::GetCurrentThreadId());
  EXPECT_EQ(section.Count(), 1);
  section.Leave();
  EXPECT_TRUE(AnotherThreadCanTake(section));
}

TEST(CriticalSection, AfterCloseEnterAndLeaveDoNothing) {
  CriticalSection section;
  section.Enter();
  section.Close();
  EXPECT_FALSE(section.IsOpen());
  EXPECT_EQ(section.Owner(), 0u);
  EXPECT_EQ(section.Count(), 1) << "closing keeps the count";

  section.Enter();
  EXPECT_EQ(section.Owner(), 0u);
  EXPECT_EQ(section.Count(), 1);
  section.Leave();
  EXPECT_EQ(section.Count(), 1);
  section.Close();
}

TEST(CriticalSectionLock, KeepsOtherThreadsOutAndNests) {
  CriticalSection section;
  long long total = 0;
  bool ownerWasRight = true;
  std::vector<std::thread> workers;
  for (int worker = 0; worker < 4; ++worker) {
    workers.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        CriticalSectionLock outer(&section);
        CriticalSectionLock inner(&section);
        if (section.Owner() != ::GetCurrentThreadId() || section.Count() != 2) ownerWasRight = false;
        ++total;
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(total, 80000);
  EXPECT_TRUE(ownerWasRight);
  EXPECT_EQ(section.Count(), 0);
  EXPECT_EQ(section.Owner(), 0u);
}

}  // namespace
