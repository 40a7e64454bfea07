#include <gtest/gtest.h>

#include <cstring>

#include "app/process_objects.h"
#include "perf/perf_publisher.h"
#include "support/child_process.h"

namespace {

std::wstring PerfTool() { return L"\"" + ProgramBesideMe(L"varrowmere-perf.exe") + L"\""; }

TEST(PerfTool, ExitsZeroWhateverItsArguments) {
  const std::wstring argumentSets[] = {L"", L" one two", L" --help /? \"with space\""};
  for (const std::wstring& arguments : argumentSets) {
    SCOPED_TRACE(testing::PrintToString(std::string(arguments.begin(), arguments.end())));
    const ChildResult run = RunChild(PerfTool() + arguments);
    ASSERT_TRUE(run.started);
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, "");
  }
}

// This test program holds the process-wide publisher too, so the tool opens the objects
// this process created: its spin count overwrites ours and the lock state stays.
TEST(PerfTool, OpensTheServiceLockThatAnotherProcessHolds) {
  const Optex& lock = ProcessPerfPublisher().lock();
  ASSERT_NE(lock.shared(), nullptr);
  ::InterlockedExchange(&lock.shared()->spinCount, 7);
  std::memcpy(lock.shared()->lockState, "held-by-test", 12);

  const ChildResult run = RunChild(PerfTool());
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(lock.shared()->spinCount, lock.singleProcessor() ? 7 : 4000);
  EXPECT_EQ(std::memcmp(lock.shared()->lockState, "held-by-test", 12), 0);
}

TEST(ProcessObjects, PublisherIsBuiltOverTheServerTable) {
  const PerfPublisher& publisher = ProcessPerfPublisher();
  EXPECT_STREQ(publisher.serviceName(), L"Varrowmere Enterprise Server");
  EXPECT_EQ(publisher.table(), g_varrowmereServerTable);
  EXPECT_EQ(publisher.entryCount(), 9);
  EXPECT_EQ(publisher.objectCount(), 1);
  EXPECT_EQ(g_varrowmereServerTable[0].counterCount, 8);
  EXPECT_EQ(PerfPublisher::InstanceCount(), 1);
}

}  // namespace
