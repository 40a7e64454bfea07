#include "threading/event.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

namespace {

bool IsSignalled(const Event& event) { return ::WaitForSingleObject(event.Handle(), 0) == WAIT_OBJECT_0; }

TEST(Event, WaitAnswersSignalledOrTimeOutAndKeepsTheResetKind) {
  const struct {
    const char* name;
    bool manualReset;
    bool initiallySignalled;
    std::int64_t timeoutMs;
    int result;
    bool signalledAfter;
  } cases[] = {
      {"unsignalled, no wait", true, false, 0, 0, false},
      {"manual reset, signalled, no limit", true, true, -1, 1, true},
      {"auto reset, signalled, no wait", false, true, 0, 1, false},
      {"unsignalled, short limit", false, false, 20, 0, false},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    Event event(testCase.manualReset, testCase.initiallySignalled);
    ASSERT_NE(event.Handle(), nullptr);
    EXPECT_EQ(event.Wait(testCase.timeoutMs), testCase.result);
    EXPECT_EQ(IsSignalled(event), testCase.signalledAfter);
  }
}

// Only the low 32 bits of a limit reach the system: 2^32 waits 0 ms. A helper signals the
// event after a few seconds, so a wait that took the limit as "long" answers 1, late.
TEST(Event, LimitOfTwoToTheThirtySecondWaitsZeroMilliseconds) {
  Event event(true, false);
  Event stop(true, false);
  std::thread rescuer([&] {
    if (stop.Wait(3000) == 0) event.Set();
  });
  const ULONGLONG started = ::GetTickCount64();
  const int result = event.Wait(std::int64_t{1} << 32);
  const ULONGLONG elapsed = ::GetTickCount64() - started;
  stop.Set();
  rescuer.join();
  EXPECT_EQ(result, 0);
  EXPECT_LT(elapsed, 1000u);
}

TEST(Event, WaitEitherAnswersWhichEventEndedTheWaitAndTheFirstWinsATie) {
  const struct {
    const char* name;
    bool firstSignalled;
    bool secondSignalled;
    std::int64_t timeoutMs;
    int result;
  } cases[] = {
      {"first", true, false, -1, 1},
      {"second", false, true, -1, 2},
      {"both", true, true, 0, 1},
      {"neither, no wait", false, false, 0, 0},
      {"neither, short limit", false, false, 20, 0},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    Event first(true, testCase.firstSignalled);
    Event second(true, testCase.secondSignalled);
    EXPECT_EQ(first.WaitEither(second, testCase.timeoutMs), testCase.result);
  }
  Event open(true, true);
  Event closed(true, true);
  closed.Close();
  EXPECT_EQ(open.WaitEither(closed, 0), -1) << "a null handle fails the whole wait";
}

TEST(Event, WaitAnyAnswersOnePlusTheIndexOfTheFirstSignalled) {
  Event a(true, false);
  Event b(true, false);
  Event c(true, false);
  const HANDLE handles[] = {a.Handle(), b.Handle(), c.Handle()};
  EXPECT_EQ(Event::WaitAny(handles, 3, 0), 0);
  EXPECT_EQ(Event::WaitAny(handles, 3, 20), 0);
  c.Set();
  EXPECT_EQ(Event::WaitAny(handles, 3, -1), 3);
  b.Set();
  EXPECT_EQ(Event::WaitAny(handles, 3, 0), 2) << "the lowest index wins a tie";
  EXPECT_EQ(Event::WaitAny(handles, 1, 0), 0) << "only the first count handles are waited for";
  EXPECT_EQ(Event::WaitAny(handles, 0, 0), -1);
}

TEST(Event, SetFromAnotherThreadEndsAnUnlimitedWait) {
  Event event(false, false);
  std::thread setter([&] { event.Set(); });
  EXPECT_EQ(event.Wait(-1), 1);
  setter.join();
  EXPECT_FALSE(IsSignalled(event)) << "an auto-reset event resets when a wait ends";
}

TEST(Event, ResetClearsASignalledEvent) {
  Event event(true, true);
  EXPECT_TRUE(event.Reset());
  EXPECT_EQ(event.Wait(0), 0);
}

TEST(Event, AClosedEventPassesTheNullHandleOnAndReportsFailure) {
  Event event(true, true);
  event.Close();
  EXPECT_EQ(event.Handle(), nullptr);
  EXPECT_FALSE(event.Set());
  EXPECT_FALSE(event.Reset());
  EXPECT_EQ(event.Wait(0), -1);
  event.Close();  // a second close is harmless
}

}  // namespace
