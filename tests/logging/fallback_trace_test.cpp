#include "logging/fallback_trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/crlf_lines.h"
#include "win32/unique_resource.h"

namespace {

namespace fs = std::filesystem;

SYSTEMTIME g_now{};

void WINAPI FixedClock(LPSYSTEMTIME now) { *now = g_now; }

void SetNow(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
  g_now = SYSTEMTIME{year, month, 0, day, hour, minute, second, 0};
}

std::string UpperCaseHost() {
  wchar_t name[256] = {};
  DWORD size = 256;
  if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return "Unknown";
  std::string host;
  for (const wchar_t* c = name; *c != 0; ++c) host += static_cast<char>(*c >= L'a' && *c <= L'z' ? *c - 32 : *c);
  return host;
}

// The text as the trace file holds it: in the ANSI code page, "?" for what it lacks.
std::string InAnsiCodePage(const std::wstring& text) {
  std::string narrow(text.size() * 2 + 1, '\0');
  const int bytes = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), narrow.data(),
                                          static_cast<int>(narrow.size()), nullptr, nullptr);
  narrow.resize(static_cast<std::size_t>(bytes));
  return narrow;
}

// The trace writes below a scratch folder: TEMP names it when the first call of this
// process reads it, and is then put back, which the trace no longer notices. Every test
// starts with an empty folder, a fixed clock and the settings at their start values.
class FallbackTraceTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = fs::temp_directory_path() / ("fallback-trace-" + std::to_string(::GetCurrentProcessId()));
    fs::create_directories(root_);
    wchar_t previous[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"TEMP", previous, MAX_PATH);
    ::SetEnvironmentVariableW(L"TEMP", root_.c_str());
    WriteFallbackTrace(3, 0, 0, 0, L"the trace takes its folder from TEMP", "SetUpTestSuite", 0, nullptr);
    ::SetEnvironmentVariableW(L"TEMP", length > 0 ? previous : nullptr);
  }
  static void TearDownTestSuite() { fs::remove_all(root_); }

  void SetUp() override {
    SetFallbackTraceClock(&FixedClock);
    SetFallbackTraceLevel(3);
    SetFallbackTraceNamePart(L"log");
    SetNow(2024, 3, 5, 13, 4, 9);
    // A text no test writes, so the first line of every test is new to the trace.
    Trace(9, L"-- separator --");
    for (const fs::directory_entry& entry : fs::directory_iterator(root_)) fs::remove_all(entry.path());
  }
  void TearDown() override {
    SetFallbackTraceClock(nullptr);
    SetFallbackTraceLevel(3);
    SetFallbackTraceNamePart(L"log");
  }

  static void* Trace(int level, const std::wstring& text, const char* function = "Caller", int line = 0,
                     void* captureBlock = nullptr) {
    return WriteFallbackTrace(level, 0, 0, 0, text.c_str(), function, line, captureBlock);
  }

  static fs::path FileOf(const std::string& day, const std::string& namePart = "log") {
    return root_ / day / (UpperCaseHost() + "_" + namePart + "_" + day + ".txt");
  }

  static std::vector<std::string> LinesOf(const std::string& day, const std::string& namePart = "log") {
    std::ifstream file(FileOf(day, namePart), std::ios::binary);
    return CrLfLines(std::string(std::istreambuf_iterator<char>(file), {}));
  }

  static std::vector<std::string> Today() { return LinesOf("20240305"); }

  static inline fs::path root_;
};

TEST_F(FallbackTraceTest, ATextEqualToThePreviousOneIsNotWrittenAgain) {
  for (const wchar_t* text : {L"one", L"one", L"two", L"one"}) Trace(3, text);
  EXPECT_EQ(Today(), (std::vector<std::string>{"03/05 13:04:09|  [Caller]- one", "03/05 13:04:09|  [Caller]- two",
                                               "03/05 13:04:09|  [Caller]- one"}));
}

TEST_F(FallbackTraceTest, TheTraceLevelChoosesTheLevelsWrittenAndEachLevelHasItsLetter) {
  const int levels[] = {-1, 0, 1, 2, 3, 4, 5, 7};
  const struct {
    int traceLevel;
    std::vector<std::string> lines;
  } cases[] = {
      {3, {"|  [", "|C [", "|E [", "|W [", "|  ["}},
      {2, {"|  [", "|C [", "|E [", "|W ["}},
      {4, {"|  [", "|C [", "|E [", "|W [", "|  [", "|D|120| [", "|O [", "|  ["}},
      {9, {"|  [", "|C [", "|E [", "|W [", "|  [", "|D|120| [", "|O [", "|  ["}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.traceLevel);
    SetFallbackTraceLevel(c.traceLevel);
    fs::remove_all(root_ / "20240305");
    std::vector<std::string> expected;
    for (const int level : levels) {
      const std::string text = "trace level " + std::to_string(c.traceLevel) + ", level " + std::to_string(level);
      Trace(level, std::wstring(text.begin(), text.end()), "ReportEnvironment::ReportSystemInfo", 120);
      expected.push_back(text);
    }
    // The lines written are the first ones of the level list, in its order.
    expected.resize(c.lines.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      expected[i] = "03/05 13:04:09" + c.lines[i] + "ReportEnvironment::ReportSystemInfo]- " + expected[i];
    }
    EXPECT_EQ(Today(), expected);
  }
}

TEST_F(FallbackTraceTest, ACaptureBlockWithTheMarkerGetsACopyOfTheText) {
  const std::wstring longText(3000, L'x');
  const struct {
    const char* name;
    std::uint32_t marker;
    std::wstring text;
    bool copied;  // answered with the block
    std::wstring inBlock;
  } cases[] = {
      {"marked block", kCaptureBlockMarker, L"captured", true, L"captured"},
      {"another marker", 50, L"not for this block", false, L"as it was"},
      {"empty text", kCaptureBlockMarker, L"", false, L"as it was"},
      {"long text, cut and terminated", kCaptureBlockMarker, longText, true, longText.substr(0, 2047)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CaptureBlock block;
    block.marker = c.marker;
    std::fill(std::begin(block.text), std::end(block.text), L'#');
    wcscpy(block.text, L"as it was");
    EXPECT_EQ(Trace(3, c.text, "Caller", 0, &block), c.copied ? &block : nullptr);
    EXPECT_EQ(block.marker, c.marker);
    EXPECT_EQ(std::wstring(block.text), c.inBlock);
  }
  EXPECT_EQ(Trace(3, L"no block", "Caller", 0, nullptr), nullptr);
  // Every non-empty text was written, with or without a block; the empty one was not.
  EXPECT_EQ(Today().size(), 4u);
}

TEST_F(FallbackTraceTest, TheUtcDayChangeStartsANewDayFolder) {
  SetNow(2024, 3, 5, 23, 59, 59);
  Trace(3, L"before midnight");
  SetNow(2024, 3, 6, 0, 0, 0);
  Trace(3, L"after midnight");
  EXPECT_EQ(LinesOf("20240305"), std::vector<std::string>{"03/05 23:59:59|  [Caller]- before midnight"});
  EXPECT_EQ(LinesOf("20240306"), std::vector<std::string>{"03/06 00:00:00|  [Caller]- after midnight"});
}

TEST_F(FallbackTraceTest, EveryLineKeepsItsLineBreak) {
  const std::wstring nonAnsi = L"h\u00e9llo \u4e00 world";
  const std::wstring overlong(3000, L'y');
  Trace(3, nonAnsi);
  Trace(3, overlong);
  Trace(3, L"next");
  const std::string stamp = "03/05 13:04:09|  [Caller]- ";
  const std::string cutLine = stamp + std::string(2046 - stamp.size(), 'y');
  EXPECT_EQ(Today(), (std::vector<std::string>{stamp + InAnsiCodePage(nonAnsi), cutLine, stamp + "next"}));
}

TEST_F(FallbackTraceTest, TheNamePartNamesTheFile) {
  SetFallbackTraceNamePart(L"service");
  Trace(3, L"named");
  EXPECT_EQ(LinesOf("20240305", "service"), std::vector<std::string>{"03/05 13:04:09|  [Caller]- named"});

  const std::wstring longName(70, L'n');
  SetFallbackTraceNamePart(longName.c_str());
  EXPECT_EQ(FallbackTraceNamePart(), longName.substr(0, kFallbackTraceNamePartChars));
}

TEST_F(FallbackTraceTest, TwoThreadsWritingAtOnceLoseNoLine) {
  constexpr int kLinesEach = 200;
  const auto writer = [](std::string name) {
    for (int i = 0; i < kLinesEach; ++i) {
      const std::string text = name + " line " + std::to_string(i);
      Trace(3, std::wstring(text.begin(), text.end()), name.c_str());
    }
  };
  std::thread first(writer, "first");
  std::thread second(writer, "second");
  first.join();
  second.join();

  std::multiset<std::string> expected;
  for (const std::string name : {"first", "second"}) {
    for (int i = 0; i < kLinesEach; ++i) {
      expected.insert("03/05 13:04:09|  [" + name + "]- " + name + " line " + std::to_string(i));
    }
  }
  const std::vector<std::string> lines = Today();
  EXPECT_EQ(std::multiset<std::string>(lines.begin(), lines.end()), expected);
}

TEST_F(FallbackTraceTest, ThreeProcessesAppendingAtOnceKeepEveryLineWhole) {
  constexpr int kLinesEach = 600;
  const std::wstring startEvent = L"fallback-trace-start-" + std::to_wstring(::GetCurrentProcessId());
  const UniqueHandle start(::CreateEventW(nullptr, TRUE, FALSE, startEvent.c_str()));
  ASSERT_TRUE(start);
  ChildSetup setup;
  setup.environment = {{L"TEMP", root_.wstring()}};
  const std::vector<std::string> names = {"first", "second", "third"};
  std::vector<std::unique_ptr<RunningChild>> writers;
  for (const std::string& name : names) {
    writers.push_back(std::make_unique<RunningChild>(L"\"" + ProgramBesideMe(L"fallback_trace_writer.exe") + L"\" " +
                                                         startEvent + L" " + std::wstring(name.begin(), name.end()) +
                                                         L" " + std::to_wstring(kLinesEach),
                                                     setup));
    ASSERT_TRUE(writers.back()->started());
  }
  ::SetEvent(start.get());
  for (const auto& writer : writers) {
    const ChildResult result = writer->Finish(120000);
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0u);
  }

  // The writers' files: the day of their own clock (two days for a run across midnight).
  std::string bytes;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root_)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream file(entry.path(), std::ios::binary);
    bytes.append(std::istreambuf_iterator<char>(file), {});
  }
  std::size_t bareBreaks = 0;
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    if (bytes[at] == '\r') bareBreaks += at + 1 == bytes.size() || bytes[at + 1] != '\n';
    if (bytes[at] == '\n') bareBreaks += at == 0 || bytes[at - 1] != '\r';
  }
  EXPECT_EQ(bareBreaks, 0u) << "a line break was overwritten";

  const std::regex whole(R"(\d\d/\d\d \d\d:\d\d:\d\d\|  \[(\w+)\]- (\w+) line (\d+))");
  std::map<std::string, std::vector<int>> timesWritten;
  for (const std::string& name : names) timesWritten[name].assign(kLinesEach, 0);
  for (const std::string& line : CrLfLines(bytes)) {
    std::smatch match;
    if (!std::regex_match(line, match, whole) || match[1] != match[2] || timesWritten.count(match[1]) == 0 ||
        std::stoi(match[3]) >= kLinesEach) {
      ADD_FAILURE() << "not a whole line: " << line;
      continue;
    }
    ++timesWritten[match[1]][std::stoi(match[3])];
  }
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::vector<int>& times = timesWritten[name];
    EXPECT_EQ(std::count(times.begin(), times.end(), 1), kLinesEach) << "lines lost or written twice";
  }
}

TEST(FallbackTracePaths, ABackslashIsAppendedOnlyWhereItIsMissing) {
  EXPECT_EQ(AppendBackslash(L"C:\\temp"), L"C:\\temp\\");
  EXPECT_EQ(AppendBackslash(L"C:\\temp\\"), L"C:\\temp\\");
  EXPECT_EQ(AppendBackslash(L""), L"");
}

TEST(FallbackTracePaths, OnlyAnExistingDirectoryExists) {
  wchar_t program[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, program, MAX_PATH);
  const fs::path folder = fs::path(program).parent_path();
  EXPECT_TRUE(DirectoryExists(folder.c_str()));
  EXPECT_FALSE(DirectoryExists(program));
  EXPECT_FALSE(DirectoryExists((folder / L"no-such-folder").c_str()));
  EXPECT_FALSE(DirectoryExists(L""));
  EXPECT_FALSE(DirectoryExists(nullptr));
}

}  // namespace
