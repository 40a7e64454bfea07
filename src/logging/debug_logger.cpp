#include "logging/debug_logger.h"

#include <cerrno>
#include <cstring>
#include <cwctype>
#include <exception>
#include <iterator>
#include <memory>

#include "diagnostics/structured_exception.h"
#include "logging/logging_calls.h"
#include "logging/report_sink.h"
#include "logging/thread_names.h"
#include "logging/tick_count.h"
#include "text/code_page.h"

namespace {

// The debug file whose head is being written on this thread, and its logger: the
// environment report's lines go into that file while it opens.
struct HeadBeingWritten {
  DebugLogger* logger = nullptr;
  DebugFileOutput* file = nullptr;
};
thread_local HeadBeingWritten t_head;

class HeadScope {
 public:
  HeadScope(DebugLogger* logger, DebugFileOutput* file) noexcept : previous_(t_head) { t_head = {logger, file}; }
  ~HeadScope() { t_head = previous_; }
  HeadScope(const HeadScope&) = delete;
  HeadScope& operator=(const HeadScope&) = delete;

 private:
  HeadBeingWritten previous_;
};

}  // namespace

DebugLogger::DebugLogger() : DebugLogger(ownThresholds_) {}

DebugLogger::DebugLogger(LogThresholds& thresholds)
    : Thread("DebugLogger"),
      thresholds_(thresholds),
      debugFile_(DebugFileOutput::Hooks{
          [this](DebugFileOutput& file) { return WriteDebugFileHead(file); },
          [this](const std::wstring& text) { LogDebugFileProblem(text); },
          [this] {
            if (fileOpenedListener_ != nullptr) fileOpenedListener_->OnDebugFileOpened();
          }}) {}

// Stopping here, while the members still exist, keeps a thread the owner forgot to stop
// from running on a half-destroyed logger (the base would wait only after they are gone).
DebugLogger::~DebugLogger() { Stop(); }

bool DebugLogger::WaitForRunning(DWORD timeoutMs, bool running) const {
  for (DWORD waited = 0; IsRunning() != running; ++waited) {
    if (timeoutMs != kInfinite && waited >= timeoutMs) return false;
    // A thread that has ended, or never began, changes the flag no more.
    const HANDLE thread = ThreadHandle();
    if (thread == nullptr || ::WaitForSingleObject(thread, 1) == WAIT_OBJECT_0) break;
  }
  return IsRunning() == running;
}

void DebugLogger::SetSettingsKey(const std::wstring& path, bool currentUser) {
  settingsKeyPath_ = path;
  useCurrentUserHive_ = currentUser;
}

void DebugLogger::AddRecord(int level, DWORD eventId, int threadId, const wchar_t* message,
                            const wchar_t* userText) {
  AddRecord(level, eventId, threadId, message, message == nullptr ? 0 : std::wcslen(message), userText);
}

void DebugLogger::AddRecord(int level, DWORD eventId, int threadId, const wchar_t* message,
                            std::size_t messageLength, const wchar_t* userText) {
  Intake(level, eventId, threadId, message, messageLength, userText, false);
}

void DebugLogger::AddAsciiRecord(int level, DWORD eventId, int threadId, const char* message,
                                 std::size_t messageLength, const wchar_t* userText) {
  Intake(level, eventId, threadId, message, messageLength, userText, false);
}

void DebugLogger::AddReportLine(int level, const wchar_t* text) {
  Intake(level, 0, 0, text, text == nullptr ? 0 : std::wcslen(text), nullptr, true);
}

void DebugLogger::LogDebugFileProblem(const std::wstring& text) {
  Intake(kLogError, kEventIdError, 0, text.c_str(), text.size(), nullptr, true);
}

template <typename Char>
void DebugLogger::Intake(int level, DWORD eventId, int threadId, const Char* message, std::size_t messageLength,
                         const wchar_t* userText, bool skipsDebugFile) {
  if (LogRedirectSink* sink = redirectSink_) {
    // ASCII reads the same through every conversion; the table's needs no system call.
    zul::ZULString text = [message] {
      if constexpr (sizeof(Char) == 1) {
        return zul::ZULString(message, true);
      } else {
        return zul::ZULString(message);
      }
    }();
    text.StripWhitespace(zul::ZULString::STRIP_TRAILING);
    sink->Write(text);
    return;
  }
  if (!LevelPasses(level, QueueLevel())) return;

  const DWORD caller = ::GetCurrentThreadId();
  const DWORD thread = threadId <= 0 ? caller : static_cast<DWORD>(threadId);
  if (message == nullptr) messageLength = 0;
  // A printable ASCII character is no white space: the common last character is judged
  // without a call of the run time.
  const auto isSpace = [](wchar_t c) { return (c <= L' ' || c >= 0x7F) && std::iswspace(c); };
  while (messageLength > 0 && isSpace(static_cast<wchar_t>(message[messageLength - 1]))) --messageLength;
  // The logger thread never waits for room: only it drains the queue, and its own
  // messages (the report lines of a new file, thread registrations) come from inside a
  // drain cycle.
  std::unique_ptr<LogRecord> record;
  if constexpr (sizeof(Char) == 1) {
    record = LogRecord::CreateAscii(eventId, thread, level, message, messageLength, userText);
  } else {
    record = LogRecord::Create(eventId, thread, level, message, messageLength, userText);
  }
  record->skipsDebugFile = skipsDebugFile;
  queue_.Push(std::move(record), caller == Thread::ThreadId() ? nullptr : &running_);
}

std::wstring DebugLogger::LogErrno(const wchar_t* format, ...) {
  const int error = errno;
  TemporaryWideText errorText(std::strerror(error));
  zul::ZULString text;
  va_list args;
  va_start(args, format);
  text.FormatV(format, args);
  va_end(args);
  text.AppendFormat(L" : %s (error : %d)", errorText.get() != nullptr ? errorText.get() : L"", error);
  const std::wstring message = text.GetWide() != nullptr ? text.GetWide() : L"";
  if (errnoTold_.IsNew(error)) LogDebugFileProblem(message);
  return message;
}

void DebugLogger::OpenOutputs() {
  OpenSyslog();
  OpenEventLog();
  OpenDebugFile();
}

void DebugLogger::CloseOutputs() {
  CloseDebugFile();
  CloseEventLog();
  CloseSyslog();
}

void DebugLogger::Run() {
  // The translator turns a processor fault while one record is handled into an
  // exception the record guard catches; the previous translator returns on every way out.
  SeTranslatorGuard translator;

  applicationName_ = configuredApplicationName_;
  OpenOutputs();
  running_.store(true, std::memory_order_relaxed);
  DWORD lastSettingsRead = clocks_.ticks();
  debugFile_.StartRetryClock();

  for (;;) {
    ConnectSyslogTargets();
    // A caller waiting for room in the queue ends the sleep early.
    const bool stopRequested = WaitBetweenDrains() == 1;

    // A drain empties the queue, records added while it runs included.
    for (;;) {
      if (stopRequested) running_.store(false, std::memory_order_relaxed);
      if (debugLogEnabled_) debugFile_.CheckBeforeRecord();
      std::unique_ptr<LogRecord> record = queue_.Pop();
      if (!record) break;
      try {
        if (recordHook_ != nullptr) recordHook_(*record);
        HandleRecord(*record);
      } catch (...) {
        // The failed record is dropped, not retried; the rest of the queue goes on.
        WriteDirect(record->Time(), kLogError, kRecordExceptionMessage);
      }
    }
    // Every line the drain took is in the system before the thread waits or stops.
    FlushOutputs();

    if (stopRequested) {
      CloseOutputs();
      return;
    }
    if (rereadSettings_) {
      const DWORD now = clocks_.ticks();
      if (TicksSince(lastSettingsRead, now) > static_cast<DWORD>(kSettingsIntervalMs)) {
        lastSettingsRead = now;
        ReadSettings();
      }
    }
  }
}

int DebugLogger::WaitBetweenDrains() {
  // The wait is in real time, whatever clock the settings run on.
  const DWORD start = ::GetTickCount();
  for (;;) {
    std::int64_t remainingMs = cycleMs_;
    if (cycleMs_ >= 0) {
      const std::int64_t elapsed = static_cast<DWORD>(::GetTickCount() - start);
      // Only a look at the stop request once the cycle is over: a collector that keeps
      // its socket busy must not keep the drain waiting.
      if (elapsed >= cycleMs_) return queue_.WaitBetweenDrains(StopEvent(), 0);
      remainingMs = cycleMs_ - elapsed;
    }
    // A collector's socket wakes the thread too, so its acknowledgements and handshakes
    // advance as they come instead of once a cycle (a backlog after a reconnect would
    // otherwise drain one window a cycle).
    HANDLE collectors[LogQueue::kMaxOtherEvents];
    const std::size_t count = syslog_.ReadinessEvents(collectors, std::size(collectors));
    const int woken = queue_.WaitBetweenDrains(StopEvent(), remainingMs, collectors, count);
    if (woken < 3) return woken;
    syslog_.ServiceCollectors();
  }
}

void DebugLogger::WatchQueue(const SYSTEMTIME& time) {
  const auto length = static_cast<std::uint32_t>(queue_.Length());
  const auto limit = static_cast<std::uint32_t>(queueLimit_);
  if (length > limit) {
    if (!queueOverflow_) WriteDirect(time, kLogError0, kQueueExceededMessage);
    queueOverflow_ = true;
  } else if (length > (limit * 3) >> 2) {
    if (!queueWarningGiven_) WriteDirect(time, kLogError, kQueueWarningMessage);
    queueWarningGiven_ = true;
  } else if (length < (limit >> 1)) {
    if (queueOverflow_) WriteDirect(time, kLogError, kQueueEnabledMessage);
    queueOverflow_ = false;
    queueWarningGiven_ = false;
  }
}

// ---- Fanning a record out ----

bool DebugLogger::Admits(Output output, int level) const noexcept {
  switch (output) {
    case kEventLogOutput: return eventLogEnabled_ && LevelPasses(level, EventLogLevel());
    case kConsoleOutput:
      return (consoleLogEnabled_ || consoleCopyToStandardError_) && LevelPasses(level, ConsoleLogLevel());
    case kSyslogOutput: return sysLogEnabled_ && LevelPasses(level, SysLogLevel());
    case kDebugFileOutput: return debugLogEnabled_ && LevelPasses(level, DebugLogLevel());
    default: return false;
  }
}

void DebugLogger::FanOut(const RecordView& record, unsigned outputs) {
  if ((outputs & kEventLogOutput) != 0) WriteEventLog(record);
  if ((outputs & kConsoleOutput) != 0) WriteConsole(record);
  if ((outputs & kSyslogOutput) != 0) WriteSyslog(record);
  if ((outputs & kDebugFileOutput) != 0) WriteDebugFile(record);
}

void DebugLogger::HandleRecord(const LogRecord& record) {
  if (queueLimit_ > 0) WatchQueue(record.Time());
  // Once the outputs have the record, no copy of its texts stays behind, whatever an
  // output throws.
  struct ScrubWhenDone {
    WideningBuffer& texts;
    ~ScrubWhenDone() { texts.Scrub(); }
  } scrub{widenedTexts_};
  RecordView view = record.View(&widenedTexts_);
  // Only the debug log file is served while the queue overflows, and without the user
  // text, as its shorter line.
  if (queueOverflow_) view.userText = nullptr;
  unsigned outputs = queueOverflow_ ? kDebugFileOutput : kEveryOutput;
  if (record.skipsDebugFile) outputs &= ~kDebugFileOutput;
  FanOut(view, outputs);
}

void DebugLogger::WriteDirect(const SYSTEMTIME& time, int level, const wchar_t* message) {
  FanOut(RecordView{time, ::GetCurrentThreadId(), level, message, 0, nullptr}, kEveryOutput);
}

void DebugLogger::WriteEventLog(const RecordView& record) {
  if (Admits(kEventLogOutput, record.level)) eventLog_.Write(record);
}

void DebugLogger::WriteConsole(const RecordView& record) {
  if (!Admits(kConsoleOutput, record.level)) return;
  if (consoleLogEnabled_) console_.Write(record);
  if (consoleCopyToStandardError_) consoleCopy_.Write(record);
}

void DebugLogger::WriteSyslog(const RecordView& record) {
  if (Admits(kSyslogOutput, record.level)) syslog_.Write(record);
}

bool DebugLogger::WriteDebugFile(const RecordView& record) {
  return !Admits(kDebugFileOutput, record.level) || debugFile_.Write(record);
}

void DebugLogger::FlushOutputs() {
  console_.Flush();
  consoleCopy_.Flush();
  debugFile_.Flush();
}

// ---- Opening and closing ----

void DebugLogger::OpenEventLog() {
  if (eventLogEnabled_) eventLog_.Open(applicationName_, messageModuleName_);
}

LONG DebugLogger::CloseEventLog() { return eventLog_.Close(); }

void DebugLogger::OpenSyslog() {
  if (!sysLogEnabled_) return;
  syslog_.SetCollectorSettings(syslogCollectors_);
  syslog_.Open(syslogServerList_);
}

void DebugLogger::ConnectSyslogTargets() {
  // The line settings as they stand for this cycle: the settings key or the owner may
  // have changed them since the last one.
  syslog_.SetLineStyle({addSyslogHeader_, syslogFacility_, applicationName_});
  syslog_.Connect(blockingSyslog_);
}

void DebugLogger::CloseSyslog() { syslog_.Close(); }

bool DebugLogger::ReopenDebugFile() {
  if (!debugLogEnabled_) {
    debugFile_.Close();
    return true;
  }
  return debugFile_.Reopen();
}

// ---- The head of a debug file ----

bool DebugLogger::WriteDebugFileHead(DebugFileOutput& file) {
  if (DebugLogLevel() < kLogInformation) return true;
  SYSTEMTIME now{};
  LocalTime(&now);
  wchar_t dateLine[64];
  ::_snwprintf(dateLine, 64, L"Current Date: %04d/%02d/%02d", now.wYear, now.wMonth, now.wDay);
  dateLine[63] = L'\0';
  if (!file.WriteHeadLine(kLogInformation, dateLine)) return false;

  ThreadNameRegistry& names = ProcessThreadNames();
  ThreadNameRegistry::Iterator at;
  DWORD threadId = 0;
  std::string name;
  bool written = true;
  // The walk holds the registry's lock until its last step, so it always runs to the end.
  for (bool more = names.First(&at, &threadId, &name); more; more = names.Next(&at, &threadId, &name)) {
    if (!written) continue;
    TemporaryWideText wideName(name.c_str());
    wchar_t line[kMaxLogFileNameChars + 96];
    ::_snwprintf(line, std::size(line) - 1, L"[DIAG] EVENT=Thread_report, THREADID=0x%X, THREADNAME=\"%.255s\"",
                 static_cast<unsigned>(threadId), wideName.get() != nullptr ? wideName.get() : L"");
    line[std::size(line) - 1] = L'\0';
    written = file.WriteHeadLine(kLogInformation, line);
  }
  if (!written) return false;

  if (reportOnOpen_) {
    // Each line of the report lands in the file through HeadReportSink, before any
    // queued record.
    HeadScope head(this, &file);
    report_.ReportEnvironmentVersions();
  }
  return true;
}

int DebugLogger::HeadReportSink(int level, int a, int b, int c, const wchar_t* text, const char* function, int line,
                                void* captureBlock) {
  const HeadBeingWritten head = t_head;
  if (head.logger == nullptr) return LogReportLine(level, a, b, c, text, function, line, captureBlock);
  if (text == nullptr) return 0;
  if (LevelPasses(level, head.logger->DebugLogLevel())) head.file->WriteHeadLine(level, text);
  head.logger->AddReportLine(level, text);
  return 1;
}
