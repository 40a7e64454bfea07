#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/process_objects.h"
#include "perf/perf_publisher.h"
#include "support/child_process.h"
#include "support/debugged_child.h"

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
  const Optex& lock = ProcessPerfPublisher().Lock();
  ASSERT_NE(lock.Shared(), nullptr);
  ::InterlockedExchange(&lock.Shared()->spinCount, 7);
  std::memcpy(lock.Shared()->lockState, "held-by-test", 12);

  const ChildResult run = RunChild(PerfTool());
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(lock.Shared()->spinCount, lock.SingleProcessor() ? 7 : 4000);
  EXPECT_EQ(std::memcmp(lock.Shared()->lockState, "held-by-test", 12), 0);
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::string FolderOf(const std::wstring& path) { return Narrow(std::filesystem::path(path).parent_path().wstring()); }

// What a debugger sees: the tool writes the path at start-up, in a run with a current
// directory and symbol variables of our choosing.
TEST(PerfTool, ShowsTheSymbolPathOnTheDebuggerOutput) {
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() / ("perf-tool-" + std::to_string(::GetCurrentProcessId()));
  std::filesystem::create_directories(directory);
  char systemRoot[MAX_PATH] = {};
  ASSERT_GT(::GetEnvironmentVariableA("SYSTEMROOT", systemRoot, MAX_PATH), 0u);

  std::string output;
  DWORD exitCode = 1;
  {
    DebuggedChild tool(PerfTool() + L" one two",
                       {directory.wstring(),
                        {{L"_NT_SYMBOL_PATH", L"C:\\symbols\\first;C:\\symbols\\second"},
                         {L"_NT_ALTERNATE_SYMBOL_PATH", std::nullopt}}});
    ASSERT_TRUE(tool.started());
    ASSERT_TRUE(tool.RunToExit(&output));
    exitCode = tool.exitCode();
  }
  std::filesystem::remove_all(directory);

  EXPECT_EQ(exitCode, 0u);
  EXPECT_EQ(output, "Symbols Path: " + Narrow(directory.wstring()) + ";" +
                        FolderOf(ProgramBesideMe(L"varrowmere-perf.exe")) +
                        ";C:\\symbols\\first;C:\\symbols\\second;" + systemRoot + "\n");
}

// The first instance stands still in the middle of its start-up (at the symbol path,
// with the service lock open) while a second one runs from start to end.
TEST(PerfTool, ExitsZeroWhileASecondInstanceRuns) {
  DebuggedChild first(PerfTool());
  ASSERT_TRUE(first.started());
  std::string text;
  ASSERT_TRUE(first.RunToNextDebugString(&text));
  EXPECT_EQ(text, "Symbols Path: ");

  const ChildResult second = RunChild(PerfTool() + L" --second instance");
  EXPECT_TRUE(second.finished);
  EXPECT_EQ(second.exitCode, 0u);

  std::string rest;
  ASSERT_TRUE(first.RunToExit(&rest));
  EXPECT_EQ(first.exitCode(), 0u);
}

TEST(ProcessObjects, AreBuiltInTheirOrderAndTornDownInReverse) {
  const ChildResult run = RunChild(L"\"" + ProgramBesideMe(L"process_order_child.exe") + L"\" any arguments");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  const std::vector<std::string> expected = {
      "built 1 allocation-failure handler: handler ours=yes | guards=0 lock=no",
      "built 2 performance publisher: publishers=1 optex=yes | guards=0 lock=no",
      "built 3 code-page flag: matches GetACP=yes | guards=0 lock=no",
      "built 4 charset registry: utf-8=65001 | guards=0 lock=no",
      "built 5 first shared-instance guard: - | guards=1 lock=no",
      "built 6 debug logger: debug level=3 running=no | guards=1 lock=no",
      "built 7 thread-name registry: enabled=yes | guards=1 lock=no",
      "built 8 second shared-instance guard: - | guards=2 lock=no",
      "built 9 shared-instance lock: - | guards=2 lock=yes",
      "built 10 symbol engine: path=yes process=yes | guards=2 lock=yes",
      "built 11 third shared-instance guard: - | guards=3 lock=yes",
      "main",
      "down 11 third shared-instance guard: - | guards=3 lock=yes",
      "down 10 symbol engine: path=yes process=yes | guards=2 lock=yes",
      "down 9 shared-instance lock: - | guards=2 lock=yes",
      "down 8 second shared-instance guard: - | guards=2 lock=no",
      "down 7 thread-name registry: enabled=yes | guards=1 lock=no",
      "down 6 debug logger: debug level=3 running=no | guards=1 lock=no",
      "down 5 first shared-instance guard: - | guards=1 lock=no",
      "down 4 charset registry: utf-8=65001 | guards=0 lock=no",
      "down 2 performance publisher: publishers=1 optex=yes | guards=0 lock=no",
      "down 1 allocation-failure handler: handler ours=yes | guards=0 lock=no",
  };
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = run.out.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(run.out.substr(start, end - start));
  }
  EXPECT_EQ(lines, expected);
}

TEST(ProcessObjects, PublisherIsBuiltOverTheServerTable) {
  const PerfPublisher& publisher = ProcessPerfPublisher();
  EXPECT_STREQ(publisher.ServiceName(), L"Varrowmere Enterprise Server");
  EXPECT_EQ(publisher.Table(), g_varrowmereServerTable);
  EXPECT_EQ(publisher.EntryCount(), 9);
  EXPECT_EQ(publisher.ObjectCount(), 1);
  EXPECT_EQ(g_varrowmereServerTable[0].counterCount, 8);
  EXPECT_EQ(PerfPublisher::InstanceCount(), 1);
}

}  // namespace
