#include "logging/debug_logger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logging/logger_fixture.h"
#include "support/crlf_lines.h"
#include "support/scratch_folder.h"
#include "support/scratch_key_test.h"
#include "support/stdout_capture.h"
#include "win32/unique_resource.h"

namespace {

TEST(DebugLoggerDefaults, FreshLoggerHasTheDocumentedSettings) {
  DebugLogger logger;
  EXPECT_EQ(logger.DebugLogLevel(), 3);
  EXPECT_EQ(logger.EventLogLevel(), 2);
  EXPECT_EQ(logger.SysLogLevel(), 2);
  EXPECT_EQ(logger.ConsoleLogLevel(), 3);
  EXPECT_EQ(logger.QueueLevel(), 3);
  EXPECT_FALSE(logger.ConsoleLogEnabled());
  EXPECT_TRUE(logger.DebugLogEnabled());
  EXPECT_TRUE(logger.SysLogEnabled());
  EXPECT_TRUE(logger.EventLogEnabled());
  EXPECT_EQ(logger.MaxFileSize(), 2000000);
  EXPECT_EQ(logger.QueueLimit(), 0);
  EXPECT_EQ(logger.EventLogTimeThreshold(), 60);
  EXPECT_TRUE(logger.BlockingSyslog());
  EXPECT_TRUE(logger.AddSyslogHeader());
  EXPECT_EQ(logger.DebugLogEncoding(), 0);
  EXPECT_EQ(logger.DebugLogMaxDailyFileAge(), 0);
  EXPECT_TRUE(logger.ReportOnOpen());
  EXPECT_TRUE(logger.SyslogServerList().empty());
  EXPECT_EQ(logger.SyslogFacility(), 0);
  EXPECT_TRUE(logger.DebugFilePath().empty());
  EXPECT_FALSE(logger.GetDebugFileLayout().dailyFiles);
  EXPECT_FALSE(logger.GetDebugFileLayout().newFileWhenFull);
  EXPECT_EQ(logger.GetDebugFileLayout().instanceNumber, 0);
  EXPECT_FALSE(logger.IsRunning());
  EXPECT_STREQ(logger.Name(), "DebugLogger");
  EXPECT_EQ(logger.ThreadHandle(), nullptr);
}

// ---- Intake ----

// A local time as a count of 100-nanosecond steps, to compare.
ULONGLONG Steps(const SYSTEMTIME& time) {
  FILETIME steps{};
  ::SystemTimeToFileTime(&time, &steps);
  return static_cast<ULONGLONG>(steps.dwHighDateTime) << 32 | steps.dwLowDateTime;
}

TEST(DebugLoggerIntake, QueuesByTheQueueLevelAndStampsTheThreadAndTheTime) {
  DebugLogger logger;
  SYSTEMTIME before;
  ::GetLocalTime(&before);
  logger.AddRecord(3, 0, -1, L"  keeps leading, drops trailing \r\n ", nullptr);
  SYSTEMTIME after;
  ::GetLocalTime(&after);
  logger.AddRecord(3, 0x6FFF7531, 0x1A4, L"given thread", L"user");
  logger.AddRecord(4, 0, 0, L"above the queue level", nullptr);
  logger.SetDebugLogLevel(0);
  logger.SetEventLogLevel(0);
  logger.SetSysLogLevel(0);
  logger.SetConsoleLogLevel(0);
  logger.AddRecord(5, 0, 0, L" \t\r\n", nullptr);

  std::unique_ptr<LogRecord> first = logger.Queue().Pop();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Message(), L"  keeps leading, drops trailing");
  EXPECT_EQ(first->threadId, ::GetCurrentThreadId());
  EXPECT_EQ(first->level, 3);
  EXPECT_FALSE(first->HasUserText());
  // Every field of the time survives the record's packing of it.
  const SYSTEMTIME stamped = first->Time();
  EXPECT_GE(Steps(stamped), Steps(before) / 10000 * 10000);
  EXPECT_LE(Steps(stamped), Steps(after));
  EXPECT_EQ(stamped.wDayOfWeek, after.wDayOfWeek);

  std::unique_ptr<LogRecord> second = logger.Queue().Pop();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->threadId, 0x1A4u);
  EXPECT_EQ(second->eventId, 0x6FFF7531u);
  EXPECT_EQ(second->UserText(), L"user");

  std::unique_ptr<LogRecord> always = logger.Queue().Pop();
  ASSERT_TRUE(always) << "level 5 passes even with every threshold at 0";
  EXPECT_EQ(always->level, 5);
  EXPECT_EQ(always->MessageLength(), 0u);
  EXPECT_FALSE(logger.Queue().Pop()) << "the level-4 record was dropped at the intake";
}

TEST(DebugLoggerIntake, RedirectSinkTakesEveryMessageAndNothingIsQueued) {
  DebugLogger logger;
  CapturingSink sink;
  logger.SetRedirectSink(&sink);
  logger.AddRecord(9, 0, 0, L"no level test here  ", nullptr);
  EXPECT_EQ(sink.Take(), std::vector<std::wstring>{L"no level test here"});
  EXPECT_FALSE(logger.Queue().Pop());
}

// ---- Settings ----

// A settings key of its own, removed again at the end.
class SettingsKey : public ScratchKeyTest {
 public:
  SettingsKey() : ScratchKeyTest(L"DebugLogger-") {}
  void Configure(DebugLogger* logger) { logger->SetSettingsKey(path_, true); }
};

TEST_F(SettingsKey, EachValueFallsBackToItsDefaultWhenAbsentWrongTypeOrOutOfRange) {
  struct Case {
    const char* name;
    void (*arrange)(SettingsKey*);
    void (*check)(const DebugLogger&);
  };
  const Case cases[] = {
      {"empty key",
       [](SettingsKey*) {},
       [](const DebugLogger& l) {
         EXPECT_EQ(l.DebugLogLevel(), 1) << "the owner's default debug level";
         EXPECT_EQ(l.EventLogLevel(), 2);
         EXPECT_EQ(l.SysLogLevel(), 2);
         EXPECT_EQ(l.ConsoleLogLevel(), 3);
         EXPECT_FALSE(l.ConsoleLogEnabled());
         EXPECT_FALSE(l.SysLogEnabled()) << "no collectors configured";
         EXPECT_FALSE(l.DebugLogEnabled()) << "no debug file path";
         EXPECT_TRUE(l.EventLogEnabled());
         EXPECT_EQ(l.EventLogTimeThreshold(), 60);
         EXPECT_EQ(l.QueueLevel(), 3);
       }},
      {"levels of 16 and -1",
       [](SettingsKey* k) {
         k->StoreDword(L"DebugLogLevel", 16);
         k->StoreDword(L"EventLogLevel", 16);
         k->StoreDword(L"SysLogLevel", 0xFFFFFFFF);
       },
       [](const DebugLogger& l) {
         EXPECT_EQ(l.DebugLogLevel(), 1);
         EXPECT_EQ(l.EventLogLevel(), 2);
         EXPECT_EQ(l.SysLogLevel(), 2);
       }},
      {"a level stored as text", [](SettingsKey* k) { k->StoreText(L"SysLogLevel", REG_SZ, L"4"); },
       [](const DebugLogger& l) { EXPECT_EQ(l.SysLogLevel(), 2); }},
      {"console level turns the console on",
       [](SettingsKey* k) { k->StoreDword(L"ConsoleLogLevel", 5); },
       [](const DebugLogger& l) {
         EXPECT_TRUE(l.ConsoleLogEnabled());
         EXPECT_EQ(l.ConsoleLogLevel(), 5);
         EXPECT_EQ(l.QueueLevel(), 5);
       }},
      {"unless the console switch says 0",
       [](SettingsKey* k) {
         k->StoreDword(L"ConsoleLogLevel", 5);
         k->StoreDword(L"ConsoleLogEnabled", 0);
       },
       [](const DebugLogger& l) {
         EXPECT_FALSE(l.ConsoleLogEnabled());
         EXPECT_EQ(l.ConsoleLogLevel(), 5);
       }},
      {"console switch alone",
       [](SettingsKey* k) { k->StoreDword(L"ConsoleLogEnabled", 1); },
       [](const DebugLogger& l) {
         EXPECT_TRUE(l.ConsoleLogEnabled());
         EXPECT_EQ(l.ConsoleLogLevel(), 3);
       }},
      {"syslog level raises the queue level", [](SettingsKey* k) { k->StoreDword(L"SysLogLevel", 9); },
       [](const DebugLogger& l) { EXPECT_EQ(l.QueueLevel(), 9); }},
      {"numbers and switches as stored",
       [](SettingsKey* k) {
         k->StoreDword(L"DebugLogMaxDailyFileAge", 7);
         k->StoreDword(L"DebugLogEncoding", 2);
         k->StoreDword(L"BlockingSyslog", 0);
         k->StoreDword(L"AddSyslogHeader", 0);
         k->StoreDword(L"SysLogEnabled", 1);
         k->StoreDword(L"DebugLogEnabled", 1);
         k->StoreDword(L"EventLogTimeThreshold", 5);
       },
       [](const DebugLogger& l) {
         EXPECT_EQ(l.DebugLogMaxDailyFileAge(), 7);
         EXPECT_EQ(l.DebugLogEncoding(), 2);
         EXPECT_FALSE(l.BlockingSyslog());
         EXPECT_FALSE(l.AddSyslogHeader());
         EXPECT_TRUE(l.SysLogEnabled());
         EXPECT_TRUE(l.DebugLogEnabled());
         EXPECT_EQ(l.EventLogTimeThreshold(), 5);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const wchar_t* name :
         {L"DebugLogLevel", L"EventLogLevel", L"SysLogLevel", L"ConsoleLogLevel", L"ConsoleLogEnabled",
          L"DebugLogMaxDailyFileAge", L"DebugLogEncoding", L"BlockingSyslog", L"AddSyslogHeader", L"SysLogEnabled",
          L"DebugLogEnabled", L"EventLogTimeThreshold"}) {
      DeleteValue(name);
    }
    c.arrange(this);
    DebugLogger logger;
    logger.SetEventLogEnabled(true);
    logger.SetDefaultDebugLevel(1);
    Configure(&logger);
    logger.ReadSettings();
    c.check(logger);
  }
}

TEST_F(SettingsKey, CollectorListOrDebugFileTurnTheirOutputsOnByDefault) {
  DebugLogger logger;
  logger.SetSyslogServerList("collector1");
  logger.SetDebugFilePath(L"C:\\logs\\trace.txt");
  Configure(&logger);
  logger.ReadSettings();
  EXPECT_TRUE(logger.SysLogEnabled());
  EXPECT_TRUE(logger.DebugLogEnabled());
}

TEST_F(SettingsKey, NoKeyPathOrAMissingKeyChangesNothing) {
  StoreDword(L"ConsoleLogLevel", 9);
  DebugLogger logger;
  logger.ReadSettings();  // no path: the registry is never read
  EXPECT_EQ(logger.ConsoleLogLevel(), 3);
  logger.SetSettingsKey(path_ + L"\\missing", true);
  logger.ReadSettings();
  EXPECT_EQ(logger.ConsoleLogLevel(), 3);
  EXPECT_FALSE(logger.ConsoleLogEnabled());
}

// ---- The logger thread, driven by a tick source the test moves ----

std::atomic<DWORD> g_ticks{1000};
DWORD WINAPI TestTicks() { return g_ticks.load(); }

bool WaitFor(bool (*condition)(const DebugLogger&), const DebugLogger& logger, int milliseconds = 3000) {
  for (int i = 0; i < milliseconds && !condition(logger); ++i) ::Sleep(1);
  return condition(logger);
}

TEST_F(SettingsKey, SettingsAreReReadOnlyAfterMoreThanThirtySeconds) {
  // The same intervals from an ordinary start and from just before the tick count wraps
  // (every 49.7 days): the time passed is the unsigned difference of the two counts.
  for (const DWORD start : {DWORD{1000}, DWORD{0xFFFFFFFF - 5}}) {
    SCOPED_TRACE(start);
    g_ticks = start;
    DebugLogger logger;
    logger.SetEventLogEnabled(false);
    logger.SetTickSource(&TestTicks);
    Configure(&logger);
    StoreDword(L"ConsoleLogLevel", 7);
    ASSERT_TRUE(logger.Start());
    ASSERT_TRUE(WaitForRunning(logger));

    g_ticks = start + 30000;  // exactly the interval: not yet
    ::Sleep(3 * DebugLogger::kCycleMs);
    EXPECT_EQ(logger.ConsoleLogLevel(), 3);

    g_ticks = start + 30001;
    EXPECT_TRUE(WaitFor([](const DebugLogger& l) { return l.ConsoleLogLevel() == 7; }, logger));

    StoreDword(L"ConsoleLogLevel", 8);  // the interval starts again from the last read
    g_ticks = start + 30001 + 30001;
    EXPECT_TRUE(WaitFor([](const DebugLogger& l) { return l.ConsoleLogLevel() == 8; }, logger));
    logger.Stop();
  }
}

TEST_F(SettingsKey, EventLogSwitchClosesAndReopensTheEventSource) {
  g_ticks = 1000;
  const std::wstring application = L"Varrowmere Switch Test " + std::to_wstring(::GetCurrentProcessId());
  const std::wstring sourceKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + application;
  const auto sourceKeyExists = [&] {
    HKEY key = nullptr;
    const bool exists = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, sourceKey.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (exists) ::RegCloseKey(key);
    return exists;
  };

  DebugLogger logger;
  logger.SetApplicationName(application);
  logger.SetTickSource(&TestTicks);
  Configure(&logger);
  ASSERT_TRUE(logger.Start());
  ASSERT_TRUE(WaitForRunning(logger));
  // Opening registered the source: its key holds the types and this program as message file.
  ASSERT_TRUE(sourceKeyExists());
  {
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, sourceKey.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    UniqueRegistryKey owner(key);
    DWORD types = 0;
    DWORD bytes = sizeof(types);
    EXPECT_EQ(::RegQueryValueExW(key, L"TypesSupported", nullptr, nullptr, reinterpret_cast<BYTE*>(&types), &bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(types, 7u);
    wchar_t file[MAX_PATH] = {};
    bytes = sizeof(file);
    EXPECT_EQ(::RegQueryValueExW(key, L"EventMessageFile", nullptr, nullptr, reinterpret_cast<BYTE*>(file), &bytes),
              ERROR_SUCCESS);
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    EXPECT_STREQ(file, self);
  }
  ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, sourceKey.c_str());

  // Off: the source is closed (nothing to observe but that a later open works again).
  StoreDword(L"EventLogEnabled", 0);
  g_ticks += 30001;
  EXPECT_TRUE(WaitFor([](const DebugLogger& l) { return !l.EventLogEnabled(); }, logger));
  EXPECT_FALSE(sourceKeyExists());

  // On: a new open registers the source again, writing its key anew.
  StoreDword(L"EventLogEnabled", 1);
  g_ticks += 30001;
  for (int i = 0; i < 3000 && !sourceKeyExists(); ++i) ::Sleep(1);
  EXPECT_TRUE(sourceKeyExists());
  logger.Stop();
  ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, sourceKey.c_str());
}

// ---- Console output and the record loop ----

// The console lines a logger wrote while the capture ran; every line ends in CR LF.
std::vector<std::string> Lines(const std::string& output) {
  EXPECT_TRUE(output.empty() || output.rfind("\r\n") == output.size() - 2) << "every line ends in CR LF";
  return CrLfLines(output);
}

// The part of a console line after the thread: the message.
std::string Message(const std::string& line) {
  const std::size_t brace = line.find("} ");
  return brace == std::string::npos ? line : line.substr(brace + 2);
}
std::string Code(const std::string& line) { return line.substr(0, line.find(']') + 1); }

std::string Narrow(const wchar_t* text) {
  std::string narrow;
  for (; *text != L'\0'; ++text) narrow += static_cast<char>(*text);
  return narrow;
}

// A logger with the console on and nothing else, whose records are queued before its
// thread starts so the drain sees a known queue.
class ConsoleLogger : public testing::Test {
 protected:
  void SetUp() override {
    logger_.SetEventLogEnabled(false);
    logger_.SetConsoleLogEnabled(true);
  }
  void Queue(int count, const char* prefix = "r") {
    for (int i = 0; i < count; ++i) {
      wchar_t text[32];
      ::_snwprintf(text, 32, L"%S%03d", prefix, i);
      logger_.AddRecord(3, 0, 0, text, nullptr);
    }
  }
  // Starts the thread and stops it at once: the stop drains the whole queue.
  std::vector<std::string> RunAndStop() {
    StdoutCapture capture;
    EXPECT_TRUE(logger_.Start());
    logger_.Stop();
    return Lines(capture.Finish());
  }
  std::vector<std::string> Messages(const std::vector<std::string>& lines) {
    std::vector<std::string> messages;
    for (const std::string& line : lines) messages.push_back(Message(line));
    return messages;
  }
  static std::vector<std::string> Records(int from, int to) {
    std::vector<std::string> names;
    for (int i = from; i <= to; ++i) {
      char name[16];
      std::snprintf(name, 16, "r%03d", i);
      names.push_back(name);
    }
    return names;
  }

  DebugLogger logger_;
};

TEST_F(ConsoleLogger, LineHasCodeTimeThreadAndMessageByteForByte) {
  logger_.SetConsoleLogLevel(4);
  const SYSTEMTIME time{2026, 12, 3, 9, 14, 5, 9, 7};
  StdoutCapture capture;
  logger_.WriteConsole({time, 0x1A4, 3, L"plain message", 0});
  logger_.WriteConsole({time, 0x1A4, 1, L"any level", 0x6FFF7531});
  logger_.WriteConsole({time, 0x12345, 4, L"debug", 0});
  logger_.WriteConsole({time, 0x1A4, 5, L"always", 0});
  logger_.WriteConsole({time, 0x1A4, 3, L"two\nlines", 0});
  logger_.WriteConsole({time, 0x1A4, 6, L"above the threshold", 0});
  logger_.SetConsoleLogEnabled(false);
  logger_.WriteConsole({time, 0x1A4, 1, L"console off", 0});
  logger_.FlushOutputs();
  EXPECT_EQ(capture.Finish(),
            "[30000] (14:05:09.007):{0x01A4} plain message\r\n"
            "[30001] (14:05:09.007):{0x01A4} any level\r\n"
            "[40000] (14:05:09.007):{0x12345} debug\r\n"
            "[50000] (14:05:09.007):{0x01A4} always\r\n"
            // A record stays one line.
            "[30000] (14:05:09.007):{0x01A4} two#012lines\r\n");
}

TEST_F(ConsoleLogger, TextOutsideAsciiKeepsItsRestThroughAPipe) {
  UINT codePage = ::GetConsoleOutputCP();
  if (codePage == 0) codePage = ::GetACP();
  const wchar_t* message = L"h\u00e9llo \u4e00 world";
  char expected[64] = {};
  ::WideCharToMultiByte(codePage, 0, message, -1, expected, 64, codePage == CP_UTF8 ? nullptr : "?", nullptr);
  const SYSTEMTIME time{2026, 12, 3, 9, 14, 5, 9, 7};
  StdoutCapture capture;
  logger_.WriteConsole({time, 0x1A4, 3, message, 0});
  logger_.FlushOutputs();
  const std::string line = capture.Finish();
  EXPECT_EQ(line, std::string("[30000] (14:05:09.007):{0x01A4} ") + expected + "\r\n");
  EXPECT_NE(line.find(" world"), std::string::npos);
}

TEST_F(ConsoleLogger, StopWritesEveryQueuedRecordFirst) {
  Queue(1000);
  const std::vector<std::string> lines = RunAndStop();
  EXPECT_EQ(Messages(lines), Records(0, 999));
  EXPECT_FALSE(logger_.IsRunning());
}

TEST_F(ConsoleLogger, StartsAgainAfterAStop) {
  Queue(2);
  EXPECT_EQ(Messages(RunAndStop()), Records(0, 1));
  Queue(3);
  EXPECT_EQ(Messages(RunAndStop()), Records(0, 2));
}

TEST_F(ConsoleLogger, WithoutAQueueLimitTheQueueIsNeverWatched) {
  Queue(300);
  EXPECT_EQ(Messages(RunAndStop()), Records(0, 299));
}

TEST_F(ConsoleLogger, WarningWhenMoreThanThreeQuartersRemain) {
  logger_.SetQueueLimit(100);
  Queue(77);  // the first record taken leaves 76
  std::vector<std::string> expected = {Narrow(DebugLogger::kQueueWarningMessage)};
  const std::vector<std::string> records = Records(0, 76);
  expected.insert(expected.end(), records.begin(), records.end());
  const std::vector<std::string> lines = RunAndStop();
  EXPECT_EQ(Messages(lines), expected);
  EXPECT_EQ(Code(lines[0]), "[10000]");
  EXPECT_FALSE(logger_.QueueWarningGiven()) << "falling below half clears the warning too";
}

TEST_F(ConsoleLogger, OverflowServesOnlyTheFileUntilBelowHalf) {
  logger_.SetQueueLimit(100);
  Queue(102);
  // r000 leaves 101: exceeded; r001 leaves 100: warned; r051 leaves 50: nothing yet;
  // r052 leaves 49: enabled again, and the console has records from r052 on.
  std::vector<std::string> expected = {Narrow(DebugLogger::kQueueExceededMessage),
                                       Narrow(DebugLogger::kQueueWarningMessage),
                                       Narrow(DebugLogger::kQueueEnabledMessage)};
  const std::vector<std::string> records = Records(52, 101);
  expected.insert(expected.end(), records.begin(), records.end());
  const std::vector<std::string> lines = RunAndStop();
  EXPECT_EQ(Messages(lines), expected);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(Code(lines[0]), "[00000]");
  EXPECT_EQ(Code(lines[1]), "[10000]");
  EXPECT_EQ(Code(lines[2]), "[10000]");
  EXPECT_FALSE(logger_.QueueOverflow());
  EXPECT_FALSE(logger_.QueueWarningGiven());
}

void FaultOnBoom(const LogRecord& record) {
  if (record.Message() == L"boom") {
    *static_cast<volatile int*>(nullptr) = 1;
  }
}

TEST_F(ConsoleLogger, ProcessorFaultCostsOnlyTheRecordBeingHandled) {
  logger_.SetRecordHook(&FaultOnBoom);
  logger_.AddRecord(3, 0, 0, L"before", nullptr);
  logger_.AddRecord(3, 0, 0, L"boom", nullptr);
  logger_.AddRecord(3, 0, 0, L"after", nullptr);
  const std::vector<std::string> lines = RunAndStop();
  EXPECT_EQ(Messages(lines), (std::vector<std::string>{"before", Narrow(DebugLogger::kRecordExceptionMessage), "after"}));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(Code(lines[1]), "[10000]");
}

// ---- The queue itself ----

// Callers push at once from several threads while the logger's side pops: every record
// arrives exactly once, each caller's in the order it pushed them, and the counts of
// records and bytes fall back to zero.
TEST(LogQueueOrder, RecordsOfConcurrentCallersArriveOnceAndInEachCallersOrder) {
  constexpr int kCallers = 4;
  constexpr int kRecordsEach = 5000;
  LogQueue queue;
  std::vector<std::thread> callers;
  for (int caller = 0; caller < kCallers; ++caller) {
    callers.emplace_back([&queue, caller] {
      for (int i = 0; i < kRecordsEach; ++i) {
        const std::wstring text = std::to_wstring(i);
        queue.Push(LogRecord::Create(0, static_cast<DWORD>(caller), 3, text.c_str(), text.size(), nullptr));
      }
    });
  }
  std::vector<int> next(kCallers, 0);
  int popped = 0;
  bool ordered = true;
  while (popped < kCallers * kRecordsEach) {
    std::unique_ptr<LogRecord> record = queue.Pop();
    if (!record) continue;
    ordered = ordered && std::stoi(record->Message()) == next[record->threadId]++;
    ++popped;
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(next, std::vector<int>(kCallers, kRecordsEach));
  EXPECT_FALSE(queue.Pop());
  EXPECT_EQ(queue.Length(), 0u);
  EXPECT_EQ(queue.Bytes(), 0u);
}

// ---- The memory of records ----

std::unique_ptr<LogRecord> RecordOf(const std::wstring& text, const wchar_t* userText = nullptr) {
  return LogRecord::Create(0, 1, 3, text.c_str(), text.size(), userText);
}

// A thread's records share chunks of its own: records that are deleted as fast as they
// are made keep reusing one chunk, and records still queued when their thread ends keep
// their chunks only until they are deleted.
TEST(RecordMemory, ChunksAreReusedAndGoBackWhenTheirRecordsAndThreadAreGone) {
  const std::wstring text(100, L'x');
  const std::size_t before = LogRecord::ChunksHeld();
  std::size_t mostHeldInTurnover = 0;
  std::thread([&] {
    for (int i = 0; i < 5000; ++i) {  // several chunks' worth
      const std::unique_ptr<LogRecord> record = RecordOf(text);
      mostHeldInTurnover = std::max(mostHeldInTurnover, LogRecord::ChunksHeld());
    }
  }).join();
  EXPECT_EQ(mostHeldInTurnover, before + 1);
  EXPECT_EQ(LogRecord::ChunksHeld(), before) << "the ended thread's chunk was not given back";

  LogQueue queue;
  std::thread([&] {
    for (int i = 0; i < 5000; ++i) queue.Push(RecordOf(text));
  }).join();
  EXPECT_GT(LogRecord::ChunksHeld(), before + 1) << "queued records must keep their chunks";
  while (std::unique_ptr<LogRecord> record = queue.Pop()) ASSERT_EQ(record->Message(), text);
  EXPECT_EQ(LogRecord::ChunksHeld(), before);
  EXPECT_EQ(queue.Bytes(), 0u);
}

// An ASCII record holds its texts as single bytes, any other as UTF-16, and reads back
// the same either way; the queue counts each record's block exactly, in and out.
TEST(RecordMemory, TextsAreHeldInTheirFormAndTheQueueCountsEachBlock) {
  const std::wstring longAscii(5000, L'a');
  const struct {
    const char* name;
    std::wstring message;
    std::wstring userText;
    bool asciiCall;  // made as a narrow call's record is, from the bytes of an ASCII message
    RecordTextForm form;
  } cases[] = {
      {"ASCII", L"record 123456 of thread 0: some payload text", L"", false, RecordTextForm::kAscii},
      {"ASCII with a user text", L"message", L"user", false, RecordTextForm::kAscii},
      {"outside ASCII", L"h\u00e9llo \u4e00", L"", false, RecordTextForm::kUtf16},
      {"an ASCII message, a user text outside ASCII", L"message", L"us\u00e9r", false, RecordTextForm::kUtf16},
      {"the last ASCII character", L"\x7F", L"", false, RecordTextForm::kAscii},
      {"the first beyond", L"\x80", L"", false, RecordTextForm::kUtf16},
      {"ASCII bytes", L"narrow record 7", L"", true, RecordTextForm::kAscii},
      {"ASCII bytes, a user text outside ASCII", L"narrow record 8", L"\u4e00", true, RecordTextForm::kUtf16},
      {"a long ASCII user text", L"short", longAscii, false, RecordTextForm::kAscii},
  };
  std::thread([&] {
    LogQueue queue;
    queue.SetByteLimit(0);
    std::size_t expectedBytes = 0;
    for (const auto& c : cases) {
      const wchar_t* const userText = c.userText.empty() ? nullptr : c.userText.c_str();
      const std::string bytes(c.message.begin(), c.message.end());
      queue.Push(c.asciiCall ? LogRecord::CreateAscii(0, 1, 3, bytes.c_str(), bytes.size(), userText)
                             : LogRecord::Create(0, 1, 3, c.message.c_str(), c.message.size(), userText));
      expectedBytes += LogRecord::BlockBytes(c.message.size(), c.userText.size(), c.form);
      EXPECT_EQ(queue.Bytes(), expectedBytes) << c.name;
    }
    WideningBuffer widened;
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      const std::unique_ptr<LogRecord> record = queue.Pop();
      ASSERT_TRUE(record);
      expectedBytes -= LogRecord::BlockBytes(c.message.size(), c.userText.size(), c.form);
      EXPECT_EQ(queue.Bytes(), expectedBytes);
      EXPECT_EQ(record->TextForm(), c.form);
      EXPECT_EQ(record->Message(), c.message);
      EXPECT_EQ(record->UserText(), c.userText);
      const RecordView view = record->View(&widened);
      EXPECT_EQ(view.message, c.message);
      if (c.userText.empty()) {
        EXPECT_EQ(view.userText, nullptr);
      } else {
        EXPECT_EQ(view.userText, c.userText);
      }
    }
  }).join();
}

// Both forms reach the outputs as the texts they were logged with: the debug file, in
// UTF-8, holds each line's exact bytes.
TEST(RecordMemory, BothFormsReachTheDebugFileByteForByte) {
  ScratchFolder folder(L"vrf-");
  DebugLogger logger;
  logger.SetEventLogEnabled(false);
  logger.SetReportOnOpen(false);
  logger.SetMaxFileSize(0);
  logger.SetDebugLogLevel(2);  // no date line, no thread report
  logger.SetDebugLogEncoding(1);
  logger.SetDebugFilePath(folder / L"records.txt");
  ASSERT_TRUE(logger.Start());
  ASSERT_TRUE(WaitForRunning(logger));
  logger.AddRecord(2, 0, 0x1A4, L"plain ASCII", L"user");
  logger.AddRecord(2, 0, 0x1A4, L"h\u00e9llo \u4e00", nullptr);
  logger.AddRecord(2, 0, 0x1A4, L"ASCII beside a user text outside it", L"us\u00e9r");
  logger.AddAsciiRecord(2, 0, 0x1A4, "narrow ASCII", 12, nullptr);
  const std::wstring path = logger.DebugFile().FileName();
  logger.Stop();

  const std::string bytes = ReadFileBytes(path);
  const std::string header = "\xEF\xBB\xBFUTF-8 encoded\r\n";
  ASSERT_EQ(bytes.compare(0, header.size(), header), 0);
  // Each line as "[code] (date time):{thread} text", the time left out.
  std::vector<std::string> lines;
  for (const std::string& line : CrLfLines(bytes.substr(header.size()))) {
    const std::size_t timeEnd = line.find("):{");
    lines.push_back(timeEnd == std::string::npos ? line : line.substr(0, line.find(" (")) + line.substr(timeEnd + 1));
  }
  const std::vector<std::string> expected = {
      "[20000]:{0x1A4} {user} plain ASCII",
      "[20000]:{0x1A4} h\xC3\xA9llo \xE4\xB8\x80",
      "[20000]:{0x1A4} {us\xC3\xA9r} ASCII beside a user text outside it",
      "[20000]:{0x1A4} narrow ASCII",
  };
  EXPECT_EQ(lines, expected);
}

// A record too large for a chunk gets a block of its own and loses nothing; the queue
// counts what each record holds.
TEST(RecordMemory, RecordsLargerThanAChunkKeepTheirWholeText) {
  const std::wstring small(40, L's');
  const std::wstring huge(100000, L'u');
  std::thread([&] {
    LogQueue queue;
    queue.SetByteLimit(0);
    queue.Push(RecordOf(small));
    queue.Push(RecordOf(small, huge.c_str()));
    queue.Push(RecordOf(small));
    EXPECT_EQ(queue.Bytes(),
              2 * LogRecord::BlockBytes(small.size(), 0, RecordTextForm::kAscii) +
                  LogRecord::BlockBytes(small.size(), huge.size(), RecordTextForm::kAscii));
    const wchar_t* const none = nullptr;
    for (const wchar_t* userText : {none, huge.c_str(), none}) {
      const std::unique_ptr<LogRecord> record = queue.Pop();
      ASSERT_TRUE(record);
      EXPECT_EQ(record->Message(), small);
      if (userText == nullptr) {
        EXPECT_FALSE(record->HasUserText());
      } else {
        EXPECT_EQ(record->UserText(), huge);
      }
    }
  }).join();
}

// ---- The byte bound of the queue ----

std::atomic<bool> g_outputStalled{false};
std::atomic<int> g_recordsHandled{0};
void StallWhileAsked(const LogRecord&) {
  while (g_outputStalled.load()) ::Sleep(1);
  ++g_recordsHandled;
}

// A logger whose every record passes StallWhileAsked, and records of 100 characters.
class QueueByteBound : public ::testing::Test {
 protected:
  void SetUp() override {
    logger.SetEventLogEnabled(false);
    g_outputStalled = false;
    g_recordsHandled = 0;
    logger.SetRecordHook(&StallWhileAsked);
  }
  void TearDown() override { g_outputStalled = false; }

  const std::wstring text = std::wstring(100, L'x');
  const std::size_t recordBytes = LogRecord::BlockBytes(text.size(), 0, RecordTextForm::kAscii);
  DebugLogger logger;
};

// An output that stops taking records makes callers wait at the byte bound; none of their
// records is lost, and the queue never holds more than the bound.
TEST_F(QueueByteBound, CallersWaitAtTheBoundAndEveryRecordArrives) {
  constexpr int kRecords = 400;
  g_outputStalled = true;
  ASSERT_TRUE(logger.Start());
  ASSERT_TRUE(WaitForRunning(logger));
  logger.AddRecord(3, 0, 0, text.c_str(), nullptr);  // the record the stalled output holds
  while (logger.Queue().Length() != 0) ::Sleep(1);
  // Room for ten records.
  const std::size_t bound = 10 * recordBytes;
  logger.SetQueueByteLimit(bound);

  std::atomic<int> logged{0};
  std::thread producer([&] {
    for (int i = 0; i < kRecords; ++i) {
      logger.AddRecord(3, 0, 0, text.c_str(), nullptr);
      ++logged;
    }
  });
  for (int i = 0; i < 2000 && logger.Queue().Bytes() + bound / 10 <= bound; ++i) ::Sleep(1);
  ::Sleep(50);
  EXPECT_LE(logger.Queue().Bytes(), bound);
  EXPECT_LT(logged.load(), 20) << "the caller went on past the bound";

  g_outputStalled = false;
  producer.join();
  logger.Stop();
  EXPECT_EQ(g_recordsHandled.load(), kRecords + 1);
  EXPECT_EQ(logger.Queue().Bytes(), 0u);
}

// Only a drain makes room, so a caller that waits at the bound wakes the logger thread:
// with the thread's sleep between drains made endless, every caller still gets all of its
// records in, while the logger runs.
TEST_F(QueueByteBound, CallersWaitingAtTheBoundWakeTheLoggerThread) {
  constexpr int kCallers = 4;
  constexpr int kRecordsEach = 200;
  logger.SetCycleMs(-1);
  logger.SetQueueByteLimit(4 * recordBytes);
  ASSERT_TRUE(logger.Start());
  ASSERT_TRUE(WaitForRunning(logger));

  std::atomic<int> callersDone{0};
  Event allDone(true, false);
  std::vector<std::thread> callers;
  for (int caller = 0; caller < kCallers; ++caller) {
    callers.emplace_back([&] {
      for (int i = 0; i < kRecordsEach; ++i) logger.AddRecord(3, 0, 0, text.c_str(), nullptr);
      if (++callersDone == kCallers) allDone.Set();
    });
  }
  // The limit only turns a logger thread that sleeps on into a failure instead of a hang.
  const int finished = allDone.Wait(30000);
  logger.Stop();  // lets callers still waiting go on
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(finished, 1) << "callers waited at the bound while the logger thread slept";
  EXPECT_EQ(g_recordsHandled.load(), kCallers * kRecordsEach);
}

}  // namespace

