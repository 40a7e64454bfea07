#include "logging/debug_logger.h"

#include <cerrno>
#include <cstring>
#include <cwctype>
#include <exception>
#include <memory>

#include "diagnostics/structured_exception.h"
#include "logging/logging_calls.h"
#include "text/code_page.h"

DebugLogger::DebugLogger() : Thread("DebugLogger"), thresholds_(ownThresholds_) {}

DebugLogger::DebugLogger(LogThresholds& thresholds) : Thread("DebugLogger"), thresholds_(thresholds) {}

// Stopping here, while the members still exist, keeps a thread the owner forgot to stop
// from running on a half-destroyed logger (the base would wait only after they are gone).
DebugLogger::~DebugLogger() { Stop(); }

bool DebugLogger::WaitForRunning(DWORD timeoutMs, bool running) const {
  for (DWORD waited = 0; IsRunning() != running; ++waited) {
    if (timeoutMs != kInfinite && waited >= timeoutMs) return false;
    // A thread that has ended, or never began, changes the flag no more.
    const HANDLE thread = threadHandle();
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

void DebugLogger::AddReportLine(int level, const wchar_t* text) {
  Intake(level, 0, 0, text, text == nullptr ? 0 : std::wcslen(text), nullptr, true);
}

void DebugLogger::LogDebugFileProblem(const std::wstring& text) {
  Intake(kLogError, kEventIdError, 0, text.c_str(), text.size(), nullptr, true);
}

void DebugLogger::Intake(int level, DWORD eventId, int threadId, const wchar_t* message, std::size_t messageLength,
                         const wchar_t* userText, bool skipsDebugFile) {
  if (LogRedirectSink* sink = redirectSink_) {
    zul::ZULString text(message);
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
  while (messageLength > 0 && isSpace(message[messageLength - 1])) --messageLength;
  // The logger thread never waits for room: only it drains the queue, and its own
  // messages (the report lines of a new file, thread registrations) come from inside a
  // drain cycle.
  std::unique_ptr<LogRecord> record = LogRecord::Create(eventId, thread, level, message, messageLength, userText);
  record->skipsDebugFile = skipsDebugFile;
  queue_.Push(std::move(record), caller == Thread::threadId() ? nullptr : &running_);
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
  if (error != lastErrno_) {
    lastErrno_ = error;
    LogDebugFileProblem(message);
  }
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
  DWORD lastSettingsRead = tickSource_();
  debugFile_.StartRetryClock();

  for (;;) {
    ConnectSyslogTargets();
    // A caller waiting for room in the queue ends the sleep early.
    const bool stopRequested = queue_.WaitBetweenDrains(stopEvent(), cycleMs_) == 1;

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
        WriteDirect(record->time, kLogError, kRecordExceptionMessage);
      }
    }

    if (stopRequested) {
      CloseOutputs();
      return;
    }
    if (rereadSettings_) {
      const DWORD now = tickSource_();
      // The unsigned 32-bit difference is the time passed even across the wrap of the
      // tick count (every 49.7 days); a signed comparison of the two counts would stop
      // the reads for a whole wrap period.
      if (static_cast<DWORD>(now - lastSettingsRead) > static_cast<DWORD>(kSettingsIntervalMs)) {
        lastSettingsRead = now;
        ReadSettings();
      }
    }
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

void DebugLogger::HandleRecord(const LogRecord& record) {
  if (queueLimit_ > 0) WatchQueue(record.time);
  if (queueOverflow_) {
    // Only the debug log file is served while the queue overflows.
    if (!record.skipsDebugFile) {
      WriteDebugFile(record.time, record.threadId, record.level, record.Message(), record.eventId, L"");
    }
    return;
  }
  WriteEventLog(record.time, record.threadId, record.level, record.Message(), record.eventId);
  WriteConsole(record.time, record.threadId, record.level, record.Message(), record.eventId);
  WriteSyslog(record.time, record.threadId, record.level, record.Message(), record.eventId,
              record.UserText());
  if (!record.skipsDebugFile) {
    WriteDebugFile(record.time, record.threadId, record.level, record.Message(), record.eventId,
                   record.UserText());
  }
}

void DebugLogger::WriteDirect(const SYSTEMTIME& time, int level, const wchar_t* message) {
  const DWORD self = ::GetCurrentThreadId();
  WriteEventLog(time, self, level, message, 0);
  WriteConsole(time, self, level, message, 0);
  WriteSyslog(time, self, level, message, 0, nullptr);
  WriteDebugFile(time, self, level, message, 0, L"");
}

void DebugLogger::WriteConsole(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* message,
                               DWORD eventId) {
  if ((!consoleLogEnabled_ && !consoleCopyToStandardError_) || !LevelPasses(level, ConsoleLogLevel())) return;
  const DWORD code = ShortEventCode(eventId, level);
  if (consoleLogEnabled_) console_.Write(time, threadId, code, message);
  if (consoleCopyToStandardError_) consoleCopy_.Write(time, threadId, code, message);
}

void DebugLogger::WriteEventLog(const SYSTEMTIME& /*time*/, DWORD /*threadId*/, int level,
                                const wchar_t* message, DWORD eventId) {
  if (!eventLogEnabled_ || !LevelPasses(level, EventLogLevel())) return;
  eventLog_.Write(level, message, eventId);
}

void DebugLogger::OpenEventLog() {
  if (eventLogEnabled_) eventLog_.Open(applicationName_, messageModuleName_);
}

LONG DebugLogger::CloseEventLog() { return eventLog_.Close(); }

// ---- Syslog ----

void DebugLogger::OpenSyslog() {
  if (sysLogEnabled_) syslog_.Open(syslogServerList_);
}

void DebugLogger::ConnectSyslogTargets() { syslog_.Connect(blockingSyslog_); }

void DebugLogger::WriteSyslog(const SYSTEMTIME& time, DWORD threadId, int level, const wchar_t* message,
                              DWORD eventId, const wchar_t* userText) {
  if (!sysLogEnabled_ || !LevelPasses(level, SysLogLevel())) return;
  syslog_.Write({addSyslogHeader_, syslogFacility_, applicationName_.c_str()},
                {time, threadId, level, message, eventId, userText});
}

void DebugLogger::CloseSyslog() { syslog_.Close(); }
