#include "report/system_info.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "report/performance_block.h"
#include "report/report_environment.h"
#include "support/capturing_sink.h"

namespace {

using Texts = std::vector<std::wstring>;

TEST(StripBlanks, RemovesOuterSpacesAndTabsOnly) {
  const struct {
    const wchar_t* text;
    const wchar_t* stripped;
  } cases[] = {
      {L" \t Intel(R) Xeon(R)  CPU \t ", L"Intel(R) Xeon(R)  CPU"},
      {L"plain", L"plain"},
      {L" \t \t", L""},
      {L"", L""},
      {L"\tx", L"x"},
  };
  for (const auto& c : cases) {
    std::wstring text = c.text;
    StripBlanks(text.data());
    EXPECT_STREQ(text.c_str(), c.stripped) << "from \"" << testing::PrintToString(std::wstring(c.text)) << "\"";
  }
}

TEST(UpTimeLine, SplitsSecondsAndCountsNothingAsFailure) {
  const struct {
    std::int64_t seconds;
    const wchar_t* line;
  } cases[] = {
      {93784, L"[ENV] System up time: 1 days 02 hrs 03 mins 04 secs"},
      {59, L"[ENV] System up time: 0 days 00 hrs 00 mins 59 secs"},
      {86400 * 400 + 3599, L"[ENV] System up time: 400 days 00 hrs 59 mins 59 secs"},
      {0, L"[ENV] Could not get System up time information. [0]"},
      {-1, L"[ENV] Could not get System up time information. [-1]"},
  };
  for (const auto& c : cases) EXPECT_EQ(UpTimeLine(c.seconds), c.line) << c.seconds;
}

TEST(TimeZoneLine, NamesTheZoneAndItsStandardOffset) {
  const struct {
    const char* daylight;
    const char* standard;
    long secondsWest;
    const wchar_t* line;
  } cases[] = {
      {"Eastern Daylight Time", "Eastern Standard Time", 5 * 3600, L"[ENV] Local Time Zone: Eastern Daylight Time (GMT-05:00)"},
      {"", "India Standard Time", -(5 * 3600 + 1800), L"[ENV] Local Time Zone: India Standard Time (GMT+05:30)"},
      {"", "Newfoundland Standard Time", 3 * 3600 + 1800, L"[ENV] Local Time Zone: Newfoundland Standard Time (GMT-03:30)"},
      {"", "UTC", 0, L"[ENV] Local Time Zone: UTC (GMT+00:00)"},
      {"", "", 0, L"[ENV] Local Time Zone:  (GMT+00:00)"},
  };
  for (const auto& c : cases) EXPECT_EQ(TimeZoneLine(c.daylight, c.standard, c.secondsWest), c.line);
}

constexpr std::int64_t kFrequency = 10'000'000;
constexpr std::int64_t kNow = 5'000'000'000'000;

// A System object whose up-time counter says the system started `seconds` ago.
PerformanceBlock UpFor(std::int64_t seconds) {
  return SystemObjectBlock({{10, 7}, {kSystemUpTimeCounter, kNow - seconds * kFrequency}, {12, 9}}, kNow, kFrequency);
}

std::int64_t UpTimeFromStandIn() { return GetUpTimeSecs(&CapturingSink, &StandInPerformanceData::Query); }

TEST(GetUpTimeSecs, ReadsTheUpTimeCounterOfTheSystemObject) {
  TakeCapturedLines();
  StandInPerformanceData::Answer(UpFor(93784));
  EXPECT_EQ(UpTimeFromStandIn(), 93784);
  EXPECT_EQ(StandInPerformanceData::items, L"2");
  EXPECT_TRUE(TakeCapturedLines().empty());
}

TEST(GetUpTimeSecs, GrowsTheBufferByOneKilobyteUntilTheDataFits) {
  TakeCapturedLines();
  StandInPerformanceData::Answer(UpFor(60), 11000);
  EXPECT_EQ(UpTimeFromStandIn(), 60);
  EXPECT_EQ(StandInPerformanceData::offeredBytes, (std::vector<DWORD>{8192, 9216, 10240, 11264}));
}

TEST(GetUpTimeSecs, EveryFailureAnswersMinusOneWithItsLine) {
  const std::wstring headerOnly =
      L"[ENV] Error occurred while collecting performance data from the registry for System uptime "
      L"(HeaderLength = " + std::to_wstring(sizeof(PERF_DATA_BLOCK)) + L", TotalByteLength = " +
      std::to_wstring(sizeof(PERF_DATA_BLOCK)) + L")";
  const std::wstring malformed =
      L"[ENV] Exception occurred while collecting performance data from the registry for System uptime";

  PerformanceBlock farOffset = UpFor(10);
  farOffset.Patch(farOffset.firstDefinitionAt + sizeof(PERF_COUNTER_DEFINITION) +
                      offsetof(PERF_COUNTER_DEFINITION, CounterOffset),
                  DWORD{0x7FFFFFF0});
  PerformanceBlock objectOutside = UpFor(10);
  objectOutside.Patch(offsetof(PERF_DATA_BLOCK, HeaderLength), DWORD{0x7FFFFFF0});
  objectOutside.Patch(offsetof(PERF_DATA_BLOCK, TotalByteLength), DWORD{0x7FFFFFFF});
  PerformanceBlock definitionsPastTheObject = UpFor(10);
  definitionsPastTheObject.Patch(definitionsPastTheObject.objectAt + offsetof(PERF_OBJECT_TYPE, NumCounters),
                                 DWORD{0xFFFFFFFF});
  definitionsPastTheObject.Patch(definitionsPastTheObject.objectAt + offsetof(PERF_OBJECT_TYPE, DefinitionLength),
                                 DWORD{0xFFFFFF00});
  PerformanceBlock emptyDefinition = UpFor(10);
  emptyDefinition.Patch(emptyDefinition.firstDefinitionAt + offsetof(PERF_COUNTER_DEFINITION, ByteLength), DWORD{0});
  PerformanceBlock zeroFrequency = SystemObjectBlock({{kSystemUpTimeCounter, 1}}, kNow, 0);
  PerformanceBlock truncated = SystemObjectBlock({{kSystemUpTimeCounter, kNow - 10 * kFrequency}}, kNow, kFrequency);
  truncated.bytes.resize(truncated.bytes.size() - 4);  // half of the value is missing

  const StandInCase cases[] = {
      {"query fails", UpFor(10), ERROR_ACCESS_DENIED,
       {L"[ENV] Error occurred while collecting performance data from the registry for System uptime"}},
      {"header only, as Wine answers", HeaderOnlyBlock(), ERROR_SUCCESS, {headerOnly}},
      {"counter value far outside", farOffset, ERROR_SUCCESS, {malformed}},
      {"object outside the block", objectOutside, ERROR_SUCCESS, {malformed}},
      {"definitions run past the object", definitionsPastTheObject, ERROR_SUCCESS, {malformed}},
      {"definition of length zero", emptyDefinition, ERROR_SUCCESS, {malformed}},
      {"frequency zero", zeroFrequency, ERROR_SUCCESS, {malformed}},
      {"block shorter than it says", truncated, ERROR_SUCCESS, {malformed}},
      // Only the section's own line tells these apart.
      {"no up-time counter", SystemObjectBlock({{10, 1}}, kNow, kFrequency), ERROR_SUCCESS, {}},
      {"started in the future", SystemObjectBlock({{kSystemUpTimeCounter, kNow + 1}}, kNow, kFrequency),
       ERROR_SUCCESS, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TakeCapturedLines();
    StandInPerformanceData::Answer(c.block, 0, c.failure);
    EXPECT_EQ(UpTimeFromStandIn(), -1);
    const std::vector<SinkLine> lines = TakeCapturedLines();
    EXPECT_EQ(TextsOf(lines), c.lines);
    for (const SinkLine& line : lines) {
      EXPECT_EQ(line.level, 3);
      EXPECT_EQ(line.function, "GetUpTimeSecs");
      EXPECT_EQ(line.block, ReportCaptureBlock());
    }
  }
}

TEST(ReportSystemMemoryInfo, WritesTheMemoryFiguresInKilobytesThenThePrivateMemory) {
  ReportEnvironment report(&CapturingSink);
  TakeCapturedLines();
  ReportEnvironment::ReportSystemMemoryInfo(&report);
  const Texts lines = TextsOf(TakeCapturedLines());
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof(status);
  ASSERT_TRUE(::GlobalMemoryStatusEx(&status));
  const char* const patterns[] = {
      R"(\[ENV\] \d+ percent of memory in use\.)",
      R"(\[ENV\] Total size of physical memory: \d+ KB)",
      R"(\[ENV\] Size of physical memory available: \d+ KB)",
      R"(\[ENV\] Size of the committed memory limit: \d+ KB)",
      R"(\[ENV\] Size of available memory to commit: \d+ KB)",
      R"(\[ENV\] Total size of the user mode portion of the virtual address space of the TVX process: \d+ KB)",
      R"(\[ENV\] Size of unreserved and uncommitted memory in the user mode portion of the virtual address space )"
      R"(of the TVX process: \d+ KB)",
      R"(\[ENV\] Size of private memory of the TVX process: \d+ KB)",
  };
  ASSERT_EQ(lines.size(), std::size(patterns));
  for (std::size_t n = 0; n < lines.size(); ++n) {
    EXPECT_TRUE(std::regex_match(std::string(lines[n].begin(), lines[n].end()), std::regex(patterns[n])))
        << testing::PrintToString(lines[n]);
  }
  EXPECT_EQ(lines[1], L"[ENV] Total size of physical memory: " + std::to_wstring(status.ullTotalPhys / 1024) + L" KB");
}

}  // namespace
