#include "perf/perf_publisher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

namespace {

PerfTableEntry ObjectEntry(std::int32_t id) {
  return {kPerfEntryObject, id, L"object", L"help", kPerfDetailNovice, id + 1, 40, 30,
          77, 77, 0, 0, 0, 0};
}
PerfTableEntry CounterEntry(std::int32_t id) {
  return {kPerfEntryCounter, id, L"counter", L"help", kPerfDetailNovice, -1, 0, 0,
          0, 0, 0, 0, 0, kPerfCounterRawCount};
}
PerfTableEntry EndEntry() { return {kPerfEntryEnd, -1, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }

std::vector<PerfTableEntry> ServerTableCopy() {
  return {std::begin(g_varrowmereServerTable), std::end(g_varrowmereServerTable)};
}

TEST(PerfPublisher, CountsTheServerTable) {
  std::vector<PerfTableEntry> table = ServerTableCopy();
  PerfPublisher publisher(kServiceName, table.data());

  EXPECT_EQ(publisher.EntryCount(), 9);
  EXPECT_EQ(publisher.ObjectCount(), 1);
  EXPECT_EQ(table[0].counterCount, 8);
  EXPECT_EQ(table[0].nextObject, -1);
  for (int i = 1; i <= 8; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(table[i].counterCount, 0);
    EXPECT_EQ(table[i].nextObject, 0);
    EXPECT_EQ(table[i].counterType, kPerfCounterRawCount);
    EXPECT_EQ(table[i].counterFlag, table[i].identifier == 108 ? 1 : 0);
  }
  EXPECT_EQ(table[9].kind, kPerfEntryEnd);
  EXPECT_EQ(table[9].identifier, -1);
}

TEST(PerfPublisher, CountingTheSameTableAgainGivesTheSameTable) {
  std::vector<PerfTableEntry> table = ServerTableCopy();
  { PerfPublisher first(kServiceName, table.data()); }
  PerfPublisher second(kServiceName, table.data());
  EXPECT_EQ(table[0].counterCount, 8);
  EXPECT_EQ(table[0].nextObject, -1);
}

TEST(PerfPublisher, EmptyTableLeavesCountsAtZeroAndWritesNothing) {
  PerfTableEntry table[] = {EndEntry()};
  PerfPublisher publisher(L"Varrowmere Empty Table Test", table);
  EXPECT_EQ(publisher.EntryCount(), 0);
  EXPECT_EQ(publisher.ObjectCount(), 0);
  EXPECT_EQ(table[0].counterCount, 0);
  EXPECT_EQ(table[0].nextObject, 0);
}

TEST(PerfPublisher, LinksTwoObjectsAndCountsOnlyTheirOwnCounters) {
  PerfTableEntry table[] = {ObjectEntry(100), CounterEntry(101), CounterEntry(102),
                            ObjectEntry(200), CounterEntry(201), EndEntry()};
  PerfPublisher publisher(L"Varrowmere Two Objects Test", table);
  EXPECT_EQ(publisher.EntryCount(), 5);
  EXPECT_EQ(publisher.ObjectCount(), 2);
  EXPECT_EQ(table[0].counterCount, 2);
  EXPECT_EQ(table[0].nextObject, 3);
  EXPECT_EQ(table[3].counterCount, 1);
  EXPECT_EQ(table[3].nextObject, -1);
}

TEST(PerfPublisher, EventSourceIsDeregisteredOnlyByTheLastPublisher) {
  ASSERT_EQ(PerfPublisher::InstanceCount(), 0) << "this program has no process-wide publisher";
  std::vector<PerfTableEntry> table = ServerTableCopy();
  HANDLE source = ::RegisterEventSourceW(nullptr, L"Varrowmere Perf Test");
  ASSERT_NE(source, nullptr);
  {
    PerfPublisher first(kServiceName, table.data());
    {
      PerfPublisher second(kServiceName, table.data());
      EXPECT_EQ(PerfPublisher::InstanceCount(), 2);
      PerfPublisher::SetEventSource(source);
    }
    EXPECT_EQ(PerfPublisher::InstanceCount(), 1);
    EXPECT_EQ(PerfPublisher::EventSource(), source) << "a publisher is still alive";
  }
  EXPECT_EQ(PerfPublisher::InstanceCount(), 0);
  EXPECT_EQ(PerfPublisher::EventSource(), nullptr);
}

TEST(PerfPublisher, OpensTheServiceLockWithItsSpinCount) {
  std::vector<PerfTableEntry> table = ServerTableCopy();
  PerfPublisher publisher(kServiceName, table.data());
  ASSERT_NE(publisher.Lock().Shared(), nullptr);
  const LONG expected = publisher.Lock().SingleProcessor() ? 0 : 4000;
  EXPECT_EQ(publisher.Lock().Shared()->spinCount, expected);
}

}  // namespace
