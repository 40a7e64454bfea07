#include "report/running_processes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diagnostics/structured_exception.h"
#include "report/performance_block.h"
#include "report/performance_data.h"
#include "report/report_environment.h"
#include "support/capturing_sink.h"

namespace {

using Texts = std::vector<std::wstring>;
using Processes = std::vector<std::pair<std::wstring, DWORD>>;

constexpr DWORD kIdProcessCounter = 784;

Processes NumberedProcesses(int count) {
  Processes processes;
  for (int n = 0; n < count; ++n) processes.emplace_back(L"process" + std::to_wstring(n), 1000 + n);
  return processes;
}

Processes Read(const PerformanceBlock& block, DWORD idCounter = kIdProcessCounter, bool* wellFormed = nullptr) {
  const PerformanceProcessList list = ReadPerformanceProcesses(block.bytes.data(), block.bytes.size(), idCounter, 256);
  if (wellFormed != nullptr) *wellFormed = list.wellFormed;
  Processes read;
  for (const PerformanceProcess& process : list.processes) read.emplace_back(process.name, process.id);
  return read;
}

TEST(ReadPerformanceProcesses, ListsInstancesWithTheIdCounterUpToTheLimit) {
  bool wellFormed = false;
  EXPECT_EQ(Read(ProcessObjectBlock({{L"Idle", 0}, {L"lsass", 612}}, kIdProcessCounter), kIdProcessCounter,
                 &wellFormed),
            (Processes{{L"Idle", 0}, {L"lsass", 612}}));
  EXPECT_TRUE(wellFormed);

  const Processes many = NumberedProcesses(300);
  EXPECT_EQ(Read(ProcessObjectBlock(many, kIdProcessCounter)), Processes(many.begin(), many.begin() + 256));

  // Without the id counter every id is the first word of the counter block: its length.
  const Processes withoutId = Read(ProcessObjectBlock({{L"a", 5}}, kIdProcessCounter), 0);
  ASSERT_EQ(withoutId.size(), 1u);
  EXPECT_EQ(withoutId[0].second, sizeof(PERF_COUNTER_BLOCK) + 8);
}

TEST(ReadPerformanceProcesses, MalformedBlockStopsTheWalkInsideTheBuffer) {
  const Processes three = {{L"one", 1}, {L"two", 2}, {L"three", 3}};
  const auto spoiled = [&three](auto spoil) {
    PerformanceBlock block = ProcessObjectBlock(three, kIdProcessCounter);
    spoil(block);
    return block;
  };
  const struct {
    const char* name;
    PerformanceBlock block;
    std::size_t processesBefore;
  } cases[] = {
      {"no signature", spoiled([](PerformanceBlock& b) { b.Patch(0, L'X'); }), 0},
      {"object outside",
       spoiled([](PerformanceBlock& b) { b.Patch(offsetof(PERF_DATA_BLOCK, HeaderLength), DWORD{0x40000000}); }), 0},
      {"instances past the end",
       spoiled([](PerformanceBlock& b) {
         b.Patch(b.objectAt + offsetof(PERF_OBJECT_TYPE, DefinitionLength), DWORD{0x7FFFFFF0});
       }),
       0},
      {"definition of length zero",
       spoiled([](PerformanceBlock& b) {
         b.Patch(b.firstDefinitionAt + offsetof(PERF_COUNTER_DEFINITION, ByteLength), DWORD{0});
       }),
       0},
      {"name outside",
       spoiled([](PerformanceBlock& b) {
         b.Patch(b.instanceAt[1] + offsetof(PERF_INSTANCE_DEFINITION, NameOffset), DWORD{0xFFFFFF00});
       }),
       1},
      {"name longer than the block",
       spoiled([](PerformanceBlock& b) {
         b.Patch(b.instanceAt[2] + offsetof(PERF_INSTANCE_DEFINITION, NameLength), DWORD{0x10000});
       }),
       2},
      {"instance of length zero",
       spoiled([](PerformanceBlock& b) {
         b.Patch(b.instanceAt[1] + offsetof(PERF_INSTANCE_DEFINITION, ByteLength), DWORD{0});
       }),
       1},
      {"counter block past the end",
       spoiled([](PerformanceBlock& b) { b.Patch(b.countersAt[0], DWORD{0x7FFFFFF0}); }), 1},
      {"id beyond its counter block",
       spoiled([](PerformanceBlock& b) { b.Patch(b.countersAt[2], DWORD{sizeof(PERF_COUNTER_BLOCK)}); }), 2},
      {"more instances than the block holds",
       spoiled([](PerformanceBlock& b) { b.Patch(b.objectAt + offsetof(PERF_OBJECT_TYPE, NumInstances), LONG{250}); }),
       3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bool wellFormed = true;
    EXPECT_EQ(Read(c.block, kIdProcessCounter, &wellFormed), Processes(three.begin(), three.begin() + c.processesBefore));
    EXPECT_FALSE(wellFormed);
  }
}

TEST(FindProcessCounterIndexes, TakesTheIndexBeforeEachName) {
  const auto find = [](const std::wstring& names) { return FindProcessCounterIndexes(names.c_str(), names.size() + 1); };
  const ProcessCounterIndexes english =
      find(std::wstring(L"1\0" L"1847\0" L"230\0" L"Process\0" L"784\0" L"ID Process\0" L"786\0other\0\0", 45));
  EXPECT_TRUE(english.processFound);
  EXPECT_EQ(english.processItem, L"230");
  EXPECT_EQ(english.idProcessIndex, 784u);

  // Wine's names: neither is there.
  const ProcessCounterIndexes wine = find(std::wstring(L"1\0" L"1847\0" L"1846\0" L"End Marker\0\0", 25));
  EXPECT_FALSE(wine.processFound);
  EXPECT_EQ(wine.idProcessIndex, 0u);

  // A name at the very start has no index before it.
  EXPECT_EQ(find(std::wstring(L"process\0\0", 9)).processItem, L"");
}

// The performance-data path against Wine's own counter names (no "Process" among them,
// so no id counter either: every id is the counter block's length).
std::vector<SinkLine> ReportFromStandIn() {
  ReportEnvironment report(&CapturingSink);
  TakeCapturedLines();
  report.ReportCurrentProcessesNT(&StandInPerformanceData::Query);
  return TakeCapturedLines();
}

TEST(ReportCurrentProcessesNT, WritesOneLinePerInstanceUpTo256) {
  StandInPerformanceData::Answer(ProcessObjectBlock(NumberedProcesses(300), kIdProcessCounter), 60000);
  const std::vector<SinkLine> lines = ReportFromStandIn();
  EXPECT_EQ(StandInPerformanceData::offeredBytes, (std::vector<DWORD>{51200, 76800}));
  ASSERT_EQ(lines.size(), 256u);
  const std::wstring id = std::to_wstring(sizeof(PERF_COUNTER_BLOCK) + 8);
  EXPECT_EQ(lines[0].text, L"[ENV] Running Process: process0, ID: " + id);
  EXPECT_EQ(lines[255].text, L"[ENV] Running Process: process255, ID: " + id);
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_EQ(lines[0].function, "ReportEnvironment::ReportCurrentProcessesNT");
}

TEST(ReportCurrentProcessesNT, DataThatCannotBeWalkedIsSaidSoAndAnEmptyBlockListsNothing) {
  PerformanceBlock nameOutside = ProcessObjectBlock({{L"one", 1}, {L"two", 2}}, kIdProcessCounter);
  nameOutside.Patch(nameOutside.instanceAt[1] + offsetof(PERF_INSTANCE_DEFINITION, NameOffset), DWORD{0xFFFFFF00});
  PerformanceBlock withoutSignature = HeaderOnlyBlock();
  withoutSignature.Patch(0, L'X');
  const std::wstring couldNot = L"[ENV] Could Not Obtain Performance Data!";
  const std::wstring firstLine = L"[ENV] Running Process: one, ID: " + std::to_wstring(sizeof(PERF_COUNTER_BLOCK) + 8);
  const StandInCase cases[] = {
      {"query fails", HeaderOnlyBlock(), ERROR_ACCESS_DENIED, {couldNot}},
      {"nothing returned", PerformanceBlock{}, ERROR_SUCCESS, {couldNot}},
      {"no signature", withoutSignature, ERROR_SUCCESS, {couldNot}},
      {"no objects: header only, as Wine answers", HeaderOnlyBlock(), ERROR_SUCCESS, {}},
      {"second name outside the block", nameOutside, ERROR_SUCCESS, {firstLine, couldNot}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StandInPerformanceData::Answer(c.block, 0, c.failure);
    EXPECT_EQ(TextsOf(ReportFromStandIn()), c.lines);
  }
}

TEST(ReportCurrentProcessesNT, TheSystemsOwnAnswerListsProcessesOnly) {
  // Wine's answer holds no object, so there it lists nothing; Windows lists processes.
  ReportEnvironment report(&CapturingSink);
  TakeCapturedLines();
  report.ReportCurrentProcessesNT();
  for (const SinkLine& line : TakeCapturedLines()) {
    EXPECT_EQ(line.text.rfind(L"[ENV] Running Process: ", 0), 0u) << testing::PrintToString(line.text);
  }
}

// The Toolhelp walk, through functions that stand in for kernel32's: they use the real
// snapshot and can fault on a chosen call.
struct FaultingToolhelp {
  static inline HANDLE snapshot = INVALID_HANDLE_VALUE;
  static inline int nextCallsBeforeFault = 0;

  static HANDLE WINAPI CreateSnapshot(DWORD flags, DWORD processId) {
    snapshot = ::CreateToolhelp32Snapshot(flags, processId);
    return snapshot;
  }
  static BOOL WINAPI First(HANDLE handle, PROCESSENTRY32W* entry) { return ::Process32FirstW(handle, entry); }
  static BOOL WINAPI Next(HANDLE handle, PROCESSENTRY32W* entry) {
    if (nextCallsBeforeFault-- == 0) {
      if constexpr (kTranslatesFaults) {
        *static_cast<volatile int*>(nullptr) = 1;
      } else {
        // This build does not translate processor faults: raise what the translation
        // would throw for this one.
        throw StructuredException{EXCEPTION_ACCESS_VIOLATION, nullptr};
      }
    }
    return ::Process32NextW(handle, entry);
  }
};

TEST(ReportCurrentProcesses, ListsEveryProcessButTheIdleOne) {
  ReportEnvironment report(&CapturingSink);
  TakeCapturedLines();
  report.ReportCurrentProcesses();
  const std::vector<SinkLine> lines = TakeCapturedLines();
  wchar_t image[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, image, MAX_PATH);
  const std::wstring me = L"[ENV] Running Process: " + std::wstring(std::wcsrchr(image, L'\\') + 1) +
                          L", ID: " + std::to_wstring(::GetCurrentProcessId());
  bool found = false;
  for (const SinkLine& line : lines) {
    EXPECT_EQ(line.text.rfind(L"[ENV] Running Process: ", 0), 0u) << testing::PrintToString(line.text);
    EXPECT_EQ(line.text.find(L", ID: 0", line.text.size() - 7), std::wstring::npos);
    found = found || line.text == me;
  }
  EXPECT_TRUE(found) << "this process is not listed";
}

TEST(ReportCurrentProcesses, FaultInTheWalkIsReportedAndTheSnapshotClosed) {
  ReportEnvironment report(&CapturingSink);
  TakeCapturedLines();
  FaultingToolhelp::nextCallsBeforeFault = 1;
  {
    const SeTranslatorGuard translateFaults;
    report.ReportCurrentProcesses(
        {&FaultingToolhelp::CreateSnapshot, &FaultingToolhelp::First, &FaultingToolhelp::Next});
  }
  const std::vector<SinkLine> lines = TakeCapturedLines();
  // Two processes (one of them perhaps the idle one, not listed), then the fault.
  ASSERT_GE(lines.size(), 2u);
  EXPECT_LE(lines.size(), 3u);
  EXPECT_EQ(lines.back().text, L"Failed to enumerate processes. Exception code : 0xC0000005");
  EXPECT_EQ(lines.back().level, 1);
  DWORD flags = 0;
  EXPECT_FALSE(::GetHandleInformation(FaultingToolhelp::snapshot, &flags)) << "the snapshot is still open";
}

TEST(ReportCurrentProcesses, WithoutToolhelpTheProcessesComeFromThePerformanceData) {
  ReportEnvironment report(&CapturingSink);
  TakeCapturedLines();
  StandInPerformanceData::Answer(ProcessObjectBlock({{L"System", 4}}, kIdProcessCounter));
  FaultingToolhelp::snapshot = INVALID_HANDLE_VALUE;
  report.ReportCurrentProcesses({&FaultingToolhelp::CreateSnapshot, &FaultingToolhelp::First, nullptr},
                                &StandInPerformanceData::Query);
  EXPECT_EQ(FaultingToolhelp::snapshot, INVALID_HANDLE_VALUE) << "a snapshot was taken";
  const std::vector<SinkLine> lines = TakeCapturedLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text.rfind(L"[ENV] Running Process: System, ID: ", 0), 0u);
  EXPECT_EQ(lines[0].function, "ReportEnvironment::ReportCurrentProcessesNT");
}

}  // namespace
