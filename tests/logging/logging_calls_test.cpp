#include "logging/logging_calls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "logging/argument_check.h"
#include "logging/logger_fixture.h"
#include "text/code_page.h"
#include "text/heap_watch.h"

namespace {

using LoggingCalls = RunningProcessLogger;

TEST(LevelGate, FollowsTheFourThresholdsAndAlwaysAdmitsLevelFive) {
  DebugLogger& logger = ProcessDebugLogger();
  struct Case {
    int debug, event, syslog, console;
    int level;
    bool enabled;
  };
  const Case cases[] = {
      {3, 2, 2, 3, 0, true},  {3, 2, 2, 3, 3, true},  {3, 2, 2, 3, 4, false}, {3, 2, 2, 3, 5, true},
      {3, 2, 2, 3, 6, false}, {3, 2, 2, 3, -1, true}, {3, 2, 4, 3, 4, true},  {0, 0, 0, 0, 5, true},
      {0, 0, 0, 0, 1, false}, {0, 9, 0, 0, 9, true},  {15, 0, 0, 0, 15, true},
  };
  for (const Case& c : cases) {
    logger.SetDebugLogLevel(c.debug);
    logger.SetEventLogLevel(c.event);
    logger.SetSysLogLevel(c.syslog);
    logger.SetConsoleLogLevel(c.console);
    EXPECT_EQ(IsLogLevelEnabled(c.level), c.enabled)
        << "thresholds " << c.debug << c.event << c.syslog << c.console << " level " << c.level;
  }
  logger.SetDebugLogLevel(3);
  logger.SetEventLogLevel(2);
  logger.SetSysLogLevel(2);
  logger.SetConsoleLogLevel(3);
}

TEST_F(LoggingCalls, MessageReachesTheIntakeWithoutTrailingWhiteSpace) {
  LogMessage(3, L"  value %d of %s\r\n  ", 42, L"wide");
  LogMessageA(3, "narrow %s and %S \t", "text", L"wide");
  LogMessage(4, L"debug is below every default threshold");
  LogMessageWithId(2, 0xAFFF4E20, L"warning %I64d", 1LL << 40);
  LogMessageDirect(3, L"direct");
  const std::vector<std::wstring> expected = {L"  value 42 of wide", L"narrow text and wide",
                                              L"warning 1099511627776", L"direct"};
  EXPECT_EQ(sink_.Take(), expected);
}

TEST_F(LoggingCalls, LongMessageIsCutTo1023Characters) {
  const std::wstring long_text(1500, L'x');
  LogMessage(3, L"%s", long_text.c_str());
  const std::vector<std::wstring> got = sink_.Take();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], std::wstring(1023, L'x'));
}

// Logs the call and answers the text the run time's formatter makes of it, cut at the
// message limit as a record is.
std::wstring LogAndFormatByTheRunTime(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  va_list logArgs;
  va_copy(logArgs, args);
  LogMessageV(3, 0, format, logArgs);
  va_end(logArgs);
  wchar_t text[1024];
  ::_vsnwprintf(text, 1023, format, args);
  text[1023] = L'\0';
  va_end(args);
  return text;
}

// Plain conversions are formatted by the library itself, the rest by the run time: both
// give the same text, at the ends of the integers and at the message limit too.
TEST_F(LoggingCalls, EveryFormatGivesTheRunTimesText) {
  const std::wstring fill1021(1021, L'a');
  const std::wstring fill1022(1022, L'b');
  const std::wstring fill1023(1023, L'c');
  const wchar_t* const none = nullptr;
  const std::vector<std::wstring> expected = {
      LogAndFormatByTheRunTime(L"%d|%i|%u|%d|%u|%i", INT_MIN, INT_MAX, -1, 0, 7u, -45),
      LogAndFormatByTheRunTime(L"100%% of %s: %d%%", L"w\u00efde \u2713", 3),
      LogAndFormatByTheRunTime(L"%s and %d", none, 1),
      LogAndFormatByTheRunTime(L"[%5d] [%-3s] [%x]", 42, L"ab", 255u),
      LogAndFormatByTheRunTime(L"%s%d", fill1021.c_str(), -5),
      LogAndFormatByTheRunTime(L"%s%d", fill1022.c_str(), 7),
      LogAndFormatByTheRunTime(L"%s%d", fill1023.c_str(), 7),
      LogAndFormatByTheRunTime(L"%s", fill1023.c_str()),
      LogAndFormatByTheRunTime(L"%d%s", 12, fill1022.c_str()),
  };
  EXPECT_EQ(expected[0], L"-2147483648|2147483647|4294967295|0|7|-45");
  EXPECT_EQ(expected[4].size(), 1023u);
  EXPECT_EQ(expected[6].size(), 1023u);
  EXPECT_EQ(sink_.Take(), expected);
}

// Logs the narrow call and answers the text its record had before the narrow calls were
// formatted by hand: the run time's narrow text, cut at 1023 bytes (the count is the whole
// buffer of 1024, so output of exactly 1024 bytes loses its last one), converted with the
// conversion code page.
template <typename... Arguments>
std::wstring LogNarrowAndFormatByTheRunTime(const char* format, Arguments... arguments) {
  LogMessageA(3, format, arguments...);
  char narrow[1024] = {};
  ::_snprintf(narrow, 1024, format, arguments...);
  narrow[1023] = '\0';
  wchar_t wide[1024] = {};
  ::MultiByteToWideChar(GetConversionCodePage(), 0, narrow, -1, wide, 1024);
  return wide;
}

// The narrow twin: formatted by hand or by the run time, a narrow call's record holds the
// run time's text, converted as every narrow text is, at the ends of the integers, with
// text outside ASCII in the format or an argument, and at the limit of 1023 bytes.
TEST_F(LoggingCalls, EveryNarrowFormatGivesTheRunTimesTextConverted) {
  const std::string fill1021(1021, 'a');
  const std::string fill1022(1022, 'b');
  const std::string fill1023(1023, 'c');
  const std::string accentAtTheLimit = fill1022 + "\xE9";
  const std::string accentPastTheLimit = fill1023 + "\xE9";
  const char* const none = nullptr;
  const struct {
    const char* name;
    std::wstring text;
  } cases[] = {
      {"integers at their ends", LogNarrowAndFormatByTheRunTime("%d|%i|%u|%d|%u|%i", INT_MIN, INT_MAX, -1, 0, 7u, -45)},
      {"percent signs and an argument outside ASCII", LogNarrowAndFormatByTheRunTime("100%% of %s: %d%%", "caf\xE9", 3)},
      {"format text outside ASCII", LogNarrowAndFormatByTheRunTime("caf\xE9 %s \x80", "au lait")},
      {"bytes the Western code page leaves undefined", LogNarrowAndFormatByTheRunTime("\x81%s", "\x8D\x9D")},
      {"null text, by the run time", LogNarrowAndFormatByTheRunTime("%s and %d", none, 1)},
      {"flags, widths, a wide text", LogNarrowAndFormatByTheRunTime("[%5d] [%-3s] [%x] %S", 42, "ab", 255u, L"w\u00efde")},
      {"1023 bytes with a number", LogNarrowAndFormatByTheRunTime("%s%d", fill1021.c_str(), -5)},
      {"1023 bytes with a digit", LogNarrowAndFormatByTheRunTime("%s%d", fill1022.c_str(), 7)},
      {"1024 bytes lose the last", LogNarrowAndFormatByTheRunTime("%s%d", fill1023.c_str(), 7)},
      {"1023 bytes of text", LogNarrowAndFormatByTheRunTime("%s", fill1023.c_str())},
      {"1024 bytes, the number first", LogNarrowAndFormatByTheRunTime("%d%s", 12, fill1022.c_str())},
      {"outside ASCII as byte 1023", LogNarrowAndFormatByTheRunTime("%s", accentAtTheLimit.c_str())},
      {"outside ASCII only past the limit", LogNarrowAndFormatByTheRunTime("%s", accentPastTheLimit.c_str())},
  };
  const std::vector<std::wstring> got = sink_.Take();
  ASSERT_EQ(got.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(got[i], cases[i].text);
  }
  EXPECT_EQ(cases[0].text, L"-2147483648|2147483647|4294967295|0|7|-45");
  EXPECT_EQ(cases[6].text.size(), 1023u);
  EXPECT_EQ(cases[8].text, std::wstring(1023, L'c'));
  EXPECT_EQ(cases[12].text, std::wstring(1023, L'c'));
}

TEST(LoggingCallsStopped, DropEverythingWhileTheLoggerDoesNotRun) {
  CapturingSink sink;
  ProcessDebugLogger().SetRedirectSink(&sink);
  LogMessage(3, L"not running");
  LogMessage(3, L"invalid %lld", 1LL);  // the report is dropped too
  LogMessageDirect(3, L"direct ignores the running flag");
  ProcessDebugLogger().SetRedirectSink(nullptr);
  EXPECT_EQ(sink.Take(), std::vector<std::wstring>{L"direct ignores the running flag"});
}

// Runs the check over a wide format the way LogMessage does.
bool CheckWide(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const bool valid = CheckLogArguments(3, format, args, 0, nullptr, true);
  va_end(args);
  return valid;
}

bool CheckNarrow(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const bool valid = CheckLogArgumentsA(3, format, args, 0, nullptr);
  va_end(args);
  return valid;
}

// The report as the intake keeps it: its last description's trailing blank is stripped
// like any message's trailing white space.
bool EndsWith(const std::wstring& report, std::wstring tail) {
  while (!tail.empty() && tail.back() == L' ') tail.pop_back();
  return report.size() >= tail.size() && report.compare(report.size() - tail.size(), tail.size(), tail) == 0;
}

std::wstring Pointer(const void* address) {
  wchar_t text[32];
  ::_snwprintf(text, 32, L"%p", address);
  return text;
}

// A page nobody may read, and a page nobody may write.
struct ProtectedPages {
  ProtectedPages() {
    noAccess = ::VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
    readOnly = ::VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READONLY);
  }
  ~ProtectedPages() {
    ::VirtualFree(noAccess, 0, MEM_RELEASE);
    ::VirtualFree(readOnly, 0, MEM_RELEASE);
  }
  void* noAccess;
  void* readOnly;
};

TEST_F(LoggingCalls, TheWalkAcceptsAndRejectsByTheFormatterSyntax) {
  ProtectedPages pages;
  int counted = 0;
  const std::wstring noAccess = Pointer(pages.noAccess);
  const std::wstring readOnly = Pointer(pages.readOnly);
  struct Case {
    const char* name;
    bool (*call)(const ProtectedPages&, int*);
    bool valid;
    std::wstring arguments;  // the report's "ArgCount:..., Args:..." tail when invalid
  };
  const Case cases[] = {
      {"doubled percent", [](const ProtectedPages&, int*) { return CheckWide(L"100%%"); }, true, L""},
      {"star width and precision", [](const ProtectedPages&, int*) { return CheckWide(L"%*.*d", 1, 2, 3); }, true, L""},
      {"stars are described as int",
       [](const ProtectedPages&, int*) { return CheckWide(L"%*.*d%", 1, 2, 3); }, false,
       L"ArgCount:3, Args:arg[1](int)=1 arg[2](int)=2 arg[3](int)=3 "},
      {"lone percent at the end", [](const ProtectedPages&, int*) { return CheckWide(L"Value %d%", 7); }, false,
       L"ArgCount:1, Args:arg[1](int)=7 "},
      {"ll prefix", [](const ProtectedPages&, int*) { return CheckWide(L"%lld", 1LL); }, false, L"ArgCount:0, Args:<null>"},
      {"I32 prefix", [](const ProtectedPages&, int*) { return CheckWide(L"%I32d", 1); }, false, L"ArgCount:0, Args:<null>"},
      {"L prefix", [](const ProtectedPages&, int*) { return CheckWide(L"%Lf", 1.0); }, false, L"ArgCount:0, Args:<null>"},
      {"hh prefix", [](const ProtectedPages&, int*) { return CheckWide(L"%hhd", 1); }, false, L"ArgCount:0, Args:<null>"},
      {"%a", [](const ProtectedPages&, int*) { return CheckWide(L"%a", 1.0); }, false, L"ArgCount:0, Args:<null>"},
      {"%z", [](const ProtectedPages&, int*) { return CheckWide(L"%zu", std::size_t{1}); }, false, L"ArgCount:0, Args:<null>"},
      {"null %s is fine", [](const ProtectedPages&, int*) { return CheckWide(L"%s", static_cast<wchar_t*>(nullptr)); }, true, L""},
      {"null %s is shown as <null>",
       [](const ProtectedPages&, int*) { return CheckWide(L"%s%", static_cast<wchar_t*>(nullptr)); }, false,
       L"ArgCount:1, Args:arg[1](wchar_t*)=<null> "},
      {"null %n", [](const ProtectedPages&, int*) { return CheckWide(L"%n", static_cast<int*>(nullptr)); }, false,
       L"ArgCount:1, Args:arg[1](int*)=<null> "},
      {"%n into a writable int", [](const ProtectedPages&, int* target) { return CheckWide(L"ab%n", target); }, true, L""},
      {"null %p", [](const ProtectedPages&, int*) { return CheckWide(L"%p", static_cast<void*>(nullptr)); }, true, L""},
      {"wide format: %s %ls wide, %S %hs narrow",
       [](const ProtectedPages&, int*) { return CheckWide(L"%s %S %hs %ls%", L"w", "n", "h", L"l"); }, false,
       L"ArgCount:4, Args:arg[1](wchar_t*)=w arg[2](char*)=n arg[3](char*)=h arg[4](wchar_t*)=l "},
      {"narrow format: %s %hs narrow, %S %ls wide",
       [](const ProtectedPages&, int*) { return CheckNarrow("%s %S %hs %ls%", "n", L"w", "h", L"l"); }, false,
       L"ArgCount:4, Args:arg[1](char*)=n arg[2](wchar_t*)=w arg[3](char*)=h arg[4](wchar_t*)=l "},
      {"characters by width",
       [](const ProtectedPages&, int*) { return CheckWide(L"%c %C %hc %lc%", L'w', 'n', 'h', L'l'); }, false,
       L"ArgCount:4, Args:arg[1](wchar_t)=w arg[2](char)=n arg[3](char)=h arg[4](wchar_t)=l "},
      {"%lf is long double, the rest double",
       [](const ProtectedPages&, int*) { return CheckWide(L"%lf %f %e %g%", 1.5, 2.5, 3.5, 4.5); }, false,
       L"ArgCount:4, Args:arg[1](long double)=1.500000 arg[2](double)=2.500000 arg[3](double)=3.500000 "
       L"arg[4](double)=4.500000 "},
      {"sizes and signs",
       [](const ProtectedPages&, int*) {
         return CheckWide(L"%hd %hu %ld %lu %u %I64d %I64u%", 0x1FFFF, 0x1FFFF, -5L, 5UL, 4000000000U, -(1LL << 40),
                          ~0ULL);
       },
       false,
       L"ArgCount:7, Args:arg[1](short int)=-1 arg[2](unsigned short int)=65535 arg[3](long int)=-5 "
       L"arg[4](long unsigned int)=5 arg[5](unsigned int)=4000000000 arg[6](__int64)=-1099511627776 "
       L"arg[7](unsigned __int64)=18446744073709551615 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(pages, &counted), c.valid);
    const std::vector<std::wstring> reports = sink_.Take();
    if (c.valid) {
      EXPECT_TRUE(reports.empty());
    } else {
      ASSERT_EQ(reports.size(), 1u);
      EXPECT_TRUE(EndsWith(reports[0], c.arguments)) << std::string(reports[0].begin(), reports[0].end());
    }
  }

  // Pointers into memory the formatter cannot use.
  const struct {
    const char* name;
    bool valid;
    std::wstring arguments;
  } bad[] = {
      {"unreadable wide string", CheckWide(L"%d %s", 1, static_cast<const wchar_t*>(pages.noAccess)),
       L"ArgCount:2, Args:arg[1](int)=1 arg[2](wchar_t*)=BAD_PTR(" + noAccess + L") "},
      {"unreadable narrow string", CheckWide(L"%S", static_cast<const char*>(pages.noAccess)),
       L"ArgCount:1, Args:arg[1](char*)=BAD_PTR(" + noAccess + L") "},
      {"%n aimed at read-only memory", CheckWide(L"%n", static_cast<int*>(pages.readOnly)),
       L"ArgCount:1, Args:arg[1](int*)=BAD_PTR(" + readOnly + L") "},
  };
  const std::vector<std::wstring> reports = sink_.Take();
  ASSERT_EQ(reports.size(), std::size(bad));
  for (std::size_t i = 0; i < std::size(bad); ++i) {
    SCOPED_TRACE(bad[i].name);
    EXPECT_FALSE(bad[i].valid);
    EXPECT_TRUE(EndsWith(reports[i], bad[i].arguments)) << std::string(reports[i].begin(), reports[i].end());
  }
}

// A text with no terminator that runs for `count` characters up to a page nobody may
// read: readable far past what the readability tests look at, and fatal to a formatter.
template <typename Char>
class TextEndingInNoAccess {
 public:
  explicit TextEndingInNoAccess(std::size_t count) {
    pages_ = static_cast<char*>(::VirtualAlloc(nullptr, 2 * kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD previous = 0;
    ::VirtualProtect(pages_ + kPage, kPage, PAGE_NOACCESS, &previous);
    text_ = reinterpret_cast<Char*>(pages_ + kPage) - count;
    std::fill(text_, text_ + count, static_cast<Char>('x'));
  }
  ~TextEndingInNoAccess() { ::VirtualFree(pages_, 0, MEM_RELEASE); }
  const Char* get() const { return text_; }

 private:
  static constexpr std::size_t kPage = 4096;
  char* pages_;
  Char* text_;
};

// The formatter reads a text to its end; the check finds that end first, however far past
// the readability tests' 1024 characters it lies, and a text that runs into unreadable
// memory makes the call invalid. The record after it is written as usual.
TEST_F(LoggingCalls, ATextThatRunsIntoUnreadableMemoryIsReportedAndNeverFormatted) {
  const TextEndingInNoAccess<wchar_t> wide(1100);
  const TextEndingInNoAccess<char> narrow(2000);
  const std::wstring wideAt = Pointer(wide.get());
  const std::wstring narrowAt = Pointer(narrow.get());
  const struct {
    const char* name;
    void (*log)(const wchar_t*, const char*);
    std::wstring report;
  } cases[] = {
      {"LogMessage, %s", [](const wchar_t* w, const char*) { LogMessage(3, L"%s", w); },
       L"Format:%s, User:<null>, ArgCount:1, Args:arg[1](wchar_t*)=BAD_PTR(" + wideAt + L")"},
      {"LogMessage, %S", [](const wchar_t*, const char* n) { LogMessage(3, L"%d %S", 7, n); },
       L"Format:%d %S, User:<null>, ArgCount:2, Args:arg[1](int)=7 arg[2](char*)=BAD_PTR(" + narrowAt + L")"},
      {"LogMessageA, %s", [](const wchar_t*, const char* n) { LogMessageA(3, "%s", n); },
       L"Format:%s, User:<null>, ArgCount:1, Args:arg[1](char*)=BAD_PTR(" + narrowAt + L")"},
      {"LogMessageA, %S", [](const wchar_t* w, const char*) { LogMessageA(3, "%S", w); },
       L"Format:%S, User:<null>, ArgCount:1, Args:arg[1](wchar_t*)=BAD_PTR(" + wideAt + L")"},
      // The format itself is read to its end by the formatter as well.
      {"LogMessage, the format", [](const wchar_t* w, const char*) { LogMessage(3, w); },
       L"Format:BAD_PTR(" + wideAt + L"), User:<null>, ArgCount:0, Args:<null>"},
      {"LogMessageA, the format", [](const wchar_t*, const char* n) { LogMessageA(3, n); },
       L"Format:BAD_PTR(" + narrowAt + L"), User:<null>, ArgCount:0, Args:<null>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.log(wide.get(), narrow.get());
    LogMessage(3, L"after %s", L"it");
    const std::vector<std::wstring> got = sink_.Take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], L"Invalid log entry - Level:3, EventId:0(0x00000000), " + c.report);
    EXPECT_EQ(got[1], L"after it");
  }
}

// Finding every text's end costs a valid call no allocation.
TEST_F(LoggingCalls, CheckingAValidCallAllocatesNothing) {
  const std::wstring longWide(1500, L'w');
  const std::string longNarrow(3000, 'n');
  HeapWatch watch;
  const bool valid = CheckWide(L"%s %S %d %ls %hs", longWide.c_str(), longNarrow.c_str(), 5, L"w", "n");
  const HeapActivity activity = watch.Stop();
  EXPECT_TRUE(valid);
  EXPECT_TRUE(activity.allocationSizes.empty()) << activity.allocationSizes.size() << " allocations";
}

// The messages of the records the logger thread takes, in its order.
std::mutex g_handledMutex;
std::vector<std::wstring> g_handled;
void KeepHandledMessage(const LogRecord& record) {
  std::lock_guard<std::mutex> hold(g_handledMutex);
  g_handled.push_back(record.Message());
}

// The process-wide logger, running with every output off and no redirect sink: the calls
// queue real records, and the logger thread tells which ones it took.
class QueuingProcessLogger : public testing::Test {
 protected:
  void SetUp() override {
    DebugLogger& logger = ProcessDebugLogger();
    logger.SetEventLogEnabled(false);
    logger.SetConsoleLogEnabled(false);
    logger.SetDebugLogEnabled(false);
    logger.SetSysLogEnabled(false);
    logger.SetSettingsKey(L"", false);
    logger.SetRecordHook(&KeepHandledMessage);
    g_handled.clear();
    ASSERT_TRUE(logger.Start());
    ASSERT_TRUE(WaitForRunning(logger));
  }
  void TearDown() override {
    DebugLogger& logger = ProcessDebugLogger();
    logger.Stop();
    logger.SetRecordHook(nullptr);
    logger.SetDebugLogEnabled(true);
  }
};

// The common call, wide or narrow, costs its caller no allocation at all: formatted by
// hand into the thread's buffer and carved from the thread's chunk, whatever its text.
TEST_F(QueuingProcessLogger, AValidCommonCallAllocatesNothing) {
  // The thread's first record makes its chunk.
  LogMessageA(3, "first of the thread");
  const struct {
    const char* name;
    void (*log)();
    std::wstring message;
  } cases[] = {
      {"narrow, ASCII", [] { LogMessageA(3, "record %d of %s: %u %i", -7, "narrow", 7u, INT_MIN); },
       L"record -7 of narrow: 7 -2147483648"},
      {"narrow, an argument outside ASCII", [] { LogMessageA(3, "%s %d", "\xE9t\xE9", 1); }, L""},
      {"wide, ASCII", [] { LogMessage(3, L"record %d of %s", 8, L"wide"); }, L"record 8 of wide"},
      {"wide, outside ASCII", [] { LogMessage(3, L"%s %u", L"\u4e00\u00e9", 2u); }, L"\u4e00\u00e9 2"},
  };
  std::vector<std::wstring> expected = {L"first of the thread"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HeapWatch watch;
    c.log();
    const HeapActivity activity = watch.Stop();
    EXPECT_TRUE(activity.allocationSizes.empty()) << activity.allocationSizes.size() << " allocations";
    expected.push_back(c.message);
  }
  // The narrow text outside ASCII becomes wide as the system converts it.
  wchar_t converted[16] = {};
  ::MultiByteToWideChar(GetConversionCodePage(), 0, "\xE9t\xE9 1", -1, converted, 16);
  expected[2] = converted;
  ProcessDebugLogger().Stop();  // writes every queued record first
  std::lock_guard<std::mutex> hold(g_handledMutex);
  EXPECT_EQ(g_handled, expected);
}

TEST_F(LoggingCalls, InvalidCallIsReportedOnceAndNeverFormatted) {
  LogMessage(3, L"Value %d%", 7);
  LogMessageWithId(2, 0xAFFF4E20, L"%d%", 1);
  LogMessage(3, nullptr);
  LogMessageA(3, "%lld", 1LL);
  LogMessageA(3, "narrow %d %s%", 5, "x");
  const std::vector<std::wstring> expected = {
      L"Invalid log entry - Level:3, EventId:0(0x00000000), Format:Value %d%, User:<null>, ArgCount:1, "
      L"Args:arg[1](int)=7",  // the intake strips the description's trailing blank
      L"Invalid log entry - Level:2, EventId:20000(0xAFFF4E20), Format:%d%, User:<null>, ArgCount:1, "
      L"Args:arg[1](int)=1",
      L"Invalid log entry - Level:3, EventId:0(0x00000000), Format:<null>, User:<null>, ArgCount:0, Args:<null>",
      L"Invalid log entry - Level:3, EventId:0(0x00000000), Format:%lld, User:<null>, ArgCount:0, Args:<null>",
      L"Invalid log entry - Level:3, EventId:0(0x00000000), Format:narrow %d %s%, User:<null>, ArgCount:2, "
      L"Args:arg[1](int)=5 arg[2](char*)=x",
  };
  EXPECT_EQ(sink_.Take(), expected);
}

TEST_F(LoggingCalls, FormatCheckedBoundsItsBufferAndLeavesItAloneWhenInvalid) {
  wchar_t buffer[8];
  std::wmemset(buffer, L'#', 8);
  FormatChecked(buffer, 8, L"%d and %lld", 1, 2LL);
  EXPECT_EQ(std::wstring(buffer, 8), L"########");
  EXPECT_EQ(sink_.Take().size(), 1u) << "the invalid call is reported";

  FormatChecked(buffer, 8, L"%s", L"0123456789");
  EXPECT_EQ(std::wstring(buffer), L"0123456");
  FormatChecked(buffer, 8, L"%d", 42);
  EXPECT_EQ(std::wstring(buffer), L"42");
}

TEST_F(LoggingCalls, ReportLineSinkLogsTextUnchanged) {
  EXPECT_EQ(LogReportLine(3, 0, 0, 0, nullptr, "f", 1, nullptr), 0);
  EXPECT_EQ(LogReportLine(3, 0, 0, 0, L"[ENV] 100% %s %d", "f", 1, nullptr), 1);
  EXPECT_EQ(sink_.Take(), std::vector<std::wstring>{L"[ENV] 100% %s %d"});
}

TEST(IsCodePointerTest, AcceptsFunctionsAndRefusesDataAndNull) {
  static int data = 0;
  int local = 0;
  EXPECT_TRUE(IsCodePointer(reinterpret_cast<const void*>(&LogReportLine)));
  EXPECT_FALSE(IsCodePointer(nullptr));
  EXPECT_FALSE(IsCodePointer(&data));
  EXPECT_FALSE(IsCodePointer(&local));
}

TEST_F(LoggingCalls, LogErrnoReportsOncePerRunOfTheSameError) {
  DebugLogger& logger = ProcessDebugLogger();
  logger.ResetLastErrno();
  errno = ENOENT;
  logger.LogErrno(L"[DIAG] Could not create debug trace file %s", L"C:\\logs\\100%d.txt");
  logger.LogErrno(L"[DIAG] Could not create debug trace file %s", L"again");
  logger.LogErrno(L"[DIAG] Could not create debug trace file %s", L"and again");
  const std::wstring errorText = L" : No such file or directory (error : 2)";
  EXPECT_EQ(sink_.Take(), std::vector<std::wstring>{L"[DIAG] Could not create debug trace file C:\\logs\\100%d.txt" + errorText});

  logger.ResetLastErrno();  // a success in between
  logger.LogErrno(L"after success");
  errno = EACCES;
  logger.LogErrno(L"another error");
  const std::vector<std::wstring> got = sink_.Take();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], L"after success" + errorText);
  EXPECT_EQ(got[1].rfind(L"another error : ", 0), 0u);
  EXPECT_NE(got[1].find(L"(error : 13)"), std::wstring::npos);
  logger.ResetLastErrno();
}

}  // namespace
