#include "threading/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "logging/logger_fixture.h"

namespace {

// A body that runs until it is told to stop, or (ignoreStop) until the test releases it.
class Worker : public Thread {
 public:
  explicit Worker(const char* name, bool ignoreStop = false) : Thread(name), ignoreStop_(ignoreStop) {}
  ~Worker() override { Stop(); }

  std::atomic<int> runs{0};
  std::atomic<int> priorityInBody{-100};
  Event release{true, false};
  Event finished{true, false};

 protected:
  void Run() override {
    ++runs;
    priorityInBody = ::GetThreadPriority(::GetCurrentThread());
    if (ignoreStop_) {
      release.Wait(-1);
    } else {
      StopEvent().Wait(-1);
    }
    finished.Set();
  }

 private:
  bool ignoreStop_;
};

TEST(ThreadTest, StartTwiceStartsOneThread) {
  Worker worker("twice");
  EXPECT_TRUE(worker.Start());
  EXPECT_FALSE(worker.Start());
  worker.Stop();
  EXPECT_EQ(worker.runs, 1);
  EXPECT_EQ(worker.ThreadHandle(), nullptr);
  EXPECT_NE(worker.ThreadId(), 0u) << "the last identifier is kept";
}

TEST(ThreadTest, StartAgainAfterStopDoesNotSeeTheOldStopRequest) {
  Worker worker("again");
  ASSERT_TRUE(worker.Start());
  worker.Stop();
  worker.finished.Reset();
  ASSERT_TRUE(worker.Start());
  EXPECT_EQ(worker.finished.Wait(50), 0) << "the body must wait for a new stop request";
  worker.Stop();
  EXPECT_EQ(worker.runs, 2);
}

TEST(ThreadTest, PriorityStepsMapToWin32Priorities) {
  const struct {
    int step;
    int win32;
  } cases[] = {{-7, THREAD_PRIORITY_IDLE},   {-3, THREAD_PRIORITY_IDLE},         {-2, THREAD_PRIORITY_LOWEST},
               {-1, THREAD_PRIORITY_BELOW_NORMAL}, {0, THREAD_PRIORITY_NORMAL}, {1, THREAD_PRIORITY_ABOVE_NORMAL},
               {2, THREAD_PRIORITY_HIGHEST}, {3, THREAD_PRIORITY_TIME_CRITICAL}, {7, THREAD_PRIORITY_TIME_CRITICAL}};
  for (const auto& c : cases) EXPECT_EQ(Thread::Win32Priority(c.step), c.win32) << c.step;
}

TEST(ThreadTest, PriorityIsAppliedBeforeTheBodyRunsAndWhileItRuns) {
  Worker worker("priority");
  worker.SetPriority(-1);
  ASSERT_TRUE(worker.Start());
  for (int i = 0; i < 5000 && worker.priorityInBody == -100; ++i) ::Sleep(1);
  EXPECT_EQ(worker.priorityInBody, THREAD_PRIORITY_BELOW_NORMAL);
  worker.SetPriority(7);
  EXPECT_EQ(::GetThreadPriority(worker.ThreadHandle()), THREAD_PRIORITY_TIME_CRITICAL);
  worker.SetPriority(-3);
  EXPECT_EQ(::GetThreadPriority(worker.ThreadHandle()), THREAD_PRIORITY_IDLE);
  worker.Stop();
}

using ThreadMessages = RunningProcessLogger;

TEST_F(ThreadMessages, NamelessThreadRegistersAsUnnamed) {
  Worker worker(nullptr);
  ASSERT_TRUE(worker.Start());
  worker.Stop();
  wchar_t id[16];
  ::_snwprintf(id, 16, L"0x%X", worker.ThreadId());
  const std::vector<std::wstring> expected = {
      L"[DIAG] EVENT=Register_thread, THREADID=" + std::wstring(id) + L", THREADNAME=\"Unnamed\"",
      L"[DIAG] EVENT=Unregister_thread, THREADID=" + std::wstring(id) + L", THREADNAME=\"Unnamed\"",
  };
  EXPECT_EQ(sink_.Take(), expected);
}

TEST_F(ThreadMessages, StopWithNoTimeOnABusyThreadReportsItHungAndLetsGo) {
  Worker worker("busy", true);
  ASSERT_TRUE(worker.Start());
  const DWORD id = worker.ThreadId();
  const auto handle = reinterpret_cast<std::uintptr_t>(worker.ThreadHandle());
  UniqueHandle ours(::OpenThread(SYNCHRONIZE, FALSE, id));
  worker.Stop(0);
  EXPECT_EQ(worker.ThreadHandle(), nullptr) << "the object is idle again";

  wchar_t expected[160];
  ::_snwprintf(expected, 160, L"Thread::Stop() - hung thread Id=0x%X, Handle=0x%I64x, timeout=0 ms", id,
               static_cast<unsigned long long>(handle));
  bool reported = false;
  for (const std::wstring& message : sink_.Take()) reported = reported || message == expected;
  EXPECT_TRUE(reported);

  // The thread runs on, detached; let it end before the object and the sink go.
  worker.release.Set();
  EXPECT_EQ(::WaitForSingleObject(ours.get(), 5000), WAIT_OBJECT_0);
}

// A body that stops its own thread, then reports whether the request was made.
class SelfStopper : public Thread {
 public:
  explicit SelfStopper(DWORD limitMs) : Thread("self-stop"), limitMs_(limitMs) {}
  ~SelfStopper() override { Stop(); }

  std::atomic<bool> stopRequested{false};
  Event finished{true, false};

 protected:
  void Run() override {
    Stop(limitMs_);
    stopRequested = StopEvent().Wait(0) == 1;
    finished.Set();
  }

 private:
  DWORD limitMs_;
};

// A thread never waits for itself: its body's Stop, with or without a limit, asks the
// thread to stop and returns, nothing is reported hung, and the owner's own Stop then
// waits for the body's end as usual.
TEST_F(ThreadMessages, StopFromTheThreadsOwnBodyAsksAndReturns) {
  const struct {
    const char* name;
    DWORD limitMs;
  } cases[] = {{"no limit", Thread::kInfinite}, {"a limit", 5000}};
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    auto worker = std::make_unique<SelfStopper>(testCase.limitMs);
    ASSERT_TRUE(worker->Start());
    if (worker->finished.Wait(30000) != 1) {
      ADD_FAILURE() << "the body's Stop did not return";
      worker.release();  // its thread waits for itself for ever: the object must outlive it
      continue;
    }
    EXPECT_TRUE(worker->stopRequested);
    EXPECT_NE(worker->ThreadHandle(), nullptr) << "the owner still holds the thread";
    worker->Stop();
    EXPECT_EQ(worker->ThreadHandle(), nullptr);
    for (const std::wstring& message : sink_.Take()) {
      EXPECT_EQ(message.find(L"hung thread"), std::wstring::npos) << message;
    }
  }
}

}  // namespace
