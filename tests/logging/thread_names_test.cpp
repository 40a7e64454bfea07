#include "logging/thread_names.h"

#include <gtest/gtest.h>

#include <vector>

#include "logging/logger_fixture.h"

namespace {

struct Entry {
  DWORD id;
  std::string name;
  bool operator==(const Entry&) const = default;
};

std::vector<Entry> WalkAll(ThreadNameRegistry& registry) {
  std::vector<Entry> entries;
  ThreadNameRegistry::Iterator at;
  Entry entry;
  for (bool more = registry.First(&at, &entry.id, &entry.name); more;
       more = registry.Next(&at, &entry.id, &entry.name)) {
    entries.push_back(entry);
  }
  return entries;
}

TEST(ThreadNameRegistryTest, WalkReturnsAscendingIdentifiersAndLeavesTheLockFree) {
  ThreadNameRegistry registry;
  EXPECT_TRUE(WalkAll(registry).empty());
  EXPECT_EQ(registry.Lock().Count(), 0);

  registry.Add(30, "third");
  registry.Add(10, "first");
  registry.Add(20, "second");
  registry.Add(10, "first, renamed");
  EXPECT_EQ(WalkAll(registry), (std::vector<Entry>{{10, "first, renamed"}, {20, "second"}, {30, "third"}}));
  EXPECT_EQ(registry.Lock().Count(), 0);
  EXPECT_EQ(registry.Lock().Owner(), 0u);

  std::string removed;
  EXPECT_TRUE(registry.Remove(20, &removed));
  EXPECT_EQ(removed, "second");
  EXPECT_FALSE(registry.Remove(20, &removed));
}

TEST(ThreadNameRegistryTest, WalkMayNestAndLogOnTheWalkingThread) {
  ThreadNameRegistry registry;
  registry.Add(1, "a");
  registry.Add(2, "b");
  ThreadNameRegistry::Iterator outer;
  DWORD id = 0;
  std::string name;
  int nestedEntries = 0;
  for (bool more = registry.First(&outer, &id, &name); more; more = registry.Next(&outer, &id, &name)) {
    nestedEntries += static_cast<int>(WalkAll(registry).size());
    EXPECT_EQ(registry.Lock().Count(), 1) << "the outer walk still holds the lock";
  }
  EXPECT_EQ(nestedEntries, 4);
  EXPECT_EQ(registry.Lock().Count(), 0);
}

using ThreadNameMessages = RunningProcessLogger;

TEST_F(ThreadNameMessages, RegisteringTwiceKeepsTheSecondNameAndLogsBoth) {
  const DWORD self = ::GetCurrentThreadId();
  RegisterThreadName("first");
  RegisterThreadName("second \xe9");  // in the ANSI code page
  std::vector<Entry> entries = WalkAll(ProcessThreadNames());
  std::string registered;
  for (const Entry& entry : entries) {
    if (entry.id == self) registered = entry.name;
  }
  EXPECT_EQ(registered, "second \xe9");

  UnregisterThreadName();
  UnregisterThreadName();  // no entry any more: silent

  wchar_t hex[16];
  ::_snwprintf(hex, 16, L"0x%X", self);
  const std::wstring id(hex);
  const std::vector<std::wstring> expected = {
      L"[DIAG] EVENT=Register_thread, THREADID=" + id + L", THREADNAME=\"first\"",
      L"[DIAG] EVENT=Register_thread, THREADID=" + id + L", THREADNAME=\"second \u00e9\"",
      L"[DIAG] EVENT=Unregister_thread, THREADID=" + id + L", THREADNAME=\"second \u00e9\"",
  };
  EXPECT_EQ(sink_.Take(), expected);
}

}  // namespace
