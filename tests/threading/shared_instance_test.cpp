#include "threading/shared_instance.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/child_process.h"

namespace {

struct InstanceLog {
  int shutdowns = 0;
  int deletions = 0;
  bool heldLockDuringShutdown = false;
  bool hadLockDuringShutdown = false;
};

class RecordingInstance : public SharedInstance {
 public:
  RecordingInstance(InstanceLog* log, bool takesItselfAway) : log_(log), takesItselfAway_(takesItselfAway) {}
  ~RecordingInstance() override { ++log_->deletions; }

  void Shutdown() override {
    ++log_->shutdowns;
    CriticalSection* lock = SharedInstanceGuard::SharedLock();
    log_->hadLockDuringShutdown = lock != nullptr;
    log_->heldLockDuringShutdown = lock != nullptr && lock->Owner() == ::GetCurrentThreadId() && lock->Count() == 1;
    if (takesItselfAway_) {
      SharedInstanceGuard::SetInstance(nullptr);
      delete this;
    }
  }

 private:
  InstanceLog* log_;
  bool takesItselfAway_;
};

// This program has no process-wide objects, so every test starts with no guard.
class SharedInstanceGuardTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(SharedInstanceGuard::GuardCount(), 0); }
  void TearDown() override { SharedInstanceGuard::SetInstance(nullptr); }
};

TEST_F(SharedInstanceGuardTest, TheLastGuardShutsTheInstanceDownUnderTheLockAndDeletesIt) {
  SharedInstanceLock lock;
  InstanceLog log;
  {
    SharedInstanceGuard first;
    {
      SharedInstanceGuard second;
      SharedInstanceGuard::SetInstance(new RecordingInstance(&log, false));
    }
    EXPECT_EQ(log.shutdowns, 0) << "a guard that is not the last changes nothing";
    EXPECT_NE(SharedInstanceGuard::Instance(), nullptr);
  }
  EXPECT_EQ(SharedInstanceGuard::GuardCount(), 0);
  EXPECT_EQ(log.shutdowns, 1);
  EXPECT_TRUE(log.heldLockDuringShutdown);
  EXPECT_EQ(log.deletions, 1);
  EXPECT_EQ(SharedInstanceGuard::Instance(), nullptr);
  EXPECT_EQ(lock.Section().Count(), 0);
}

TEST_F(SharedInstanceGuardTest, AnInstanceThatTakesItselfAwayIsNotDeletedTwice) {
  SharedInstanceLock lock;
  InstanceLog log;
  {
    SharedInstanceGuard only;
    SharedInstanceGuard::SetInstance(new RecordingInstance(&log, true));
  }
  EXPECT_EQ(log.shutdowns, 1);
  EXPECT_EQ(log.deletions, 1);
  EXPECT_EQ(SharedInstanceGuard::Instance(), nullptr);
}

TEST_F(SharedInstanceGuardTest, TheLastGuardWithoutAnInstanceOnlyLeavesTheLock) {
  SharedInstanceLock lock;
  { SharedInstanceGuard only; }
  EXPECT_EQ(SharedInstanceGuard::Instance(), nullptr);
  EXPECT_EQ(lock.Section().Count(), 0);
  EXPECT_EQ(lock.Section().Owner(), 0u);
}

// The order of the process's start-up objects: the lock goes before the first guard.
TEST_F(SharedInstanceGuardTest, TheLastGuardAfterTheLockIsGoneTearsDownWithoutIt) {
  InstanceLog log;
  {
    SharedInstanceGuard first;
    SharedInstanceGuard::SetInstance(new RecordingInstance(&log, false));
    { SharedInstanceLock lock; }
    EXPECT_EQ(SharedInstanceGuard::SharedLock(), nullptr);
  }
  EXPECT_EQ(log.shutdowns, 1);
  EXPECT_FALSE(log.hadLockDuringShutdown);
  EXPECT_EQ(log.deletions, 1);
  EXPECT_EQ(SharedInstanceGuard::Instance(), nullptr);
}

// A program with the process-wide objects: three guards, and at exit the last of them
// meets the shared lock already deleted, tears the instance down and the process still
// exits 0.
TEST(SharedInstanceAtExit, TheProcessObjectsTearTheInstanceDownWithoutTheLock) {
  const ChildResult run = RunChild(L"\"" + ProgramBesideMe(L"shared_instance_at_exit.exe") + L"\"");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out, "guards 3\nshutdown without the lock\ndeleted\n");
}

}  // namespace
