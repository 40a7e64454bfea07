#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "logging/console_output.h"
#include "logging/debug_file_output.h"
#include "logging/event_log_output.h"
#include "logging/log_levels.h"
#include "logging/log_queue.h"
#include "logging/log_record.h"
#include "logging/log_thresholds.h"
#include "logging/once_per_run.h"
#include "logging/syslog_output.h"
#include "report/report_environment.h"
#include "text/zul_string.h"
#include "threading/thread.h"
#include "win32/unique_resource.h"

// Receives every message instead of the queue when an owner installs it (for example a
// host that embeds the logger in its own output). Called on the logging thread.
class LogRedirectSink {
 public:
  virtual void Write(zul::ZULString& message) = 0;

 protected:
  ~LogRedirectSink() = default;
};

// Told after the debug log file was reopened.
class DebugFileOpenedListener {
 public:
  virtual void OnDebugFileOpened() = 0;

 protected:
  ~DebugFileOpenedListener() = default;
};

// The single owner of every log output: the debug log file, syslog collectors, the
// Windows event log and the console. Logging calls hand records to AddRecord on any
// thread; the logger's own thread (Run) drains the queue into the outputs.
//
// Concurrency: the four thresholds, the queue level (LogThresholds) and the running flag
// are read by every logging thread without a lock and written only by the logger thread
// (or by the owner before Start), so they are relaxed atomics: single aligned values,
// free to read.
// Every other setting and all output state belong to the logger thread while it runs and
// to the owner before Start and after Stop.
class DebugLogger : public Thread {
 public:
  // How the owner names and lays out the debug log file.
  using DebugFileLayout = DebugFileOutput::Layout;

  // Settings the owner holds fixed over the settings key (a command line, say): every read
  // of the key keeps a fixed switch or number as set here and takes the rest from the key.
  // A fixed threshold is a floor: the level read is raised to it, so records of that
  // level keep reaching the output whatever the key says.
  struct FixedSettings {
    std::optional<bool> debugLogEnabled;
    std::optional<bool> sysLogEnabled;
    std::optional<bool> consoleLogEnabled;
    std::optional<bool> eventLogEnabled;
    std::optional<bool> blockingSyslog;
    std::optional<bool> addSyslogHeader;
    std::optional<int> debugLogEncoding;
    std::optional<int> debugLogMaxDailyFileAge;
    std::optional<int> debugLogLevelAtLeast;
    std::optional<int> eventLogLevelAtLeast;
    std::optional<int> sysLogLevelAtLeast;
    std::optional<int> consoleLogLevelAtLeast;
  };

  // The logger's timing, fixed: records wait at most one cycle; settings are re-read and
  // a failed debug file is retried at these intervals.
  static constexpr std::int64_t kCycleMs = 200;
  static constexpr std::int64_t kSettingsIntervalMs = 30000;
  static constexpr std::int32_t kDebugFileRetryMs = DebugFileOutput::kRetryMs;

  // The settings' values before any read, and when the settings key holds no valid value
  // (the thresholds' are LogThresholds', the debug file's its Settings').
  static constexpr bool kDefaultBlockingSyslog = true;
  static constexpr bool kDefaultAddSyslogHeader = true;
  static constexpr bool kDefaultEventLogEnabled = true;
  static constexpr int kDefaultEventLogTimeThreshold = 60;

  static constexpr const wchar_t* kQueueExceededMessage =
      L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Exceeded, EVENTMSG=\"Dropping messages except for log file\"";
  static constexpr const wchar_t* kQueueWarningMessage =
      L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Warning, EVENTMSG=\"Event queue has exceeded 75%\"";
  static constexpr const wchar_t* kQueueEnabledMessage =
      L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Enabled, EVENTMSG=\"Event queue has dropped below 50%, "
      L"re-enabling all logging.\"";
  static constexpr const wchar_t* kRecordExceptionMessage =
      L"[DIAG] EVENT=DebugLog_Exception, EVENTMSG=\"DebugLog thread exception handled.\"";

  using TickSource = DebugFileOutput::TickSource;
  // Fills in the local date and time, as GetLocalTime does.
  using LocalTimeSource = DebugFileOutput::LocalTimeSource;
  using RecordHook = void (*)(const LogRecord& record);

  // Built idle: no thread, no open output, no setting read; with thresholds of its own.
  DebugLogger();
  // The same, keeping its thresholds in `thresholds`: the process-wide logger's are the
  // ones every logging call's gate reads.
  explicit DebugLogger(LogThresholds& thresholds);
  // The owner stops the thread first; destruction writes nothing to any output.
  ~DebugLogger() override;

  // ---- Intake, any thread ----

  // Queues a record (or hands the message to the redirect sink). threadId <= 0 stands for
  // the calling thread. Records above the queue level are dropped, except level 5.
  void AddRecord(int level, DWORD eventId, int threadId, const wchar_t* message,
                 const wchar_t* userText);
  // The same for a message whose length the caller knows (the logging calls do).
  void AddRecord(int level, DWORD eventId, int threadId, const wchar_t* message, std::size_t messageLength,
                 const wchar_t* userText);
  // The same for a message of ASCII characters only, given as its bytes (a narrow call's).
  void AddAsciiRecord(int level, DWORD eventId, int threadId, const char* message, std::size_t messageLength,
                      const wchar_t* userText);

  // Formats the message with the run time's errno and its text, and reports it once per
  // run of the same error number to the outputs other than the debug file (its callers
  // tell of the file's failures), even before the logger runs. Answers the whole text,
  // reported or not. Logger thread, or the owner while the thread does not run.
  std::wstring LogErrno(const wchar_t* format, ...);
  // A success in between: the next failure is told whatever its error.
  void ResetLastErrno() noexcept { errnoTold_.Succeeded(); }
  // Reports a failure of the debug log file to the other outputs, as LogErrno does.
  void LogDebugFileProblem(const std::wstring& text);
  // Queues one line of the environment report for the outputs other than the debug log
  // file, whose head has it already.
  void AddReportLine(int level, const wchar_t* text);

  bool IsRunning() const noexcept { return running_.load(std::memory_order_relaxed); }
  // Waits (1 ms steps, up to timeoutMs or for ever with Thread::kInfinite) until
  // IsRunning() answers `running`, or the thread has ended: the thread opens its outputs
  // before it accepts records, so an owner that logs at once waits, however long a first
  // open takes. False when the flag did not come to `running`.
  bool WaitForRunning(DWORD timeoutMs, bool running = true) const;
  int DebugLogLevel() const noexcept { return thresholds_.DebugFile(); }
  int EventLogLevel() const noexcept { return thresholds_.EventLog(); }
  int SysLogLevel() const noexcept { return thresholds_.Syslog(); }
  int ConsoleLogLevel() const noexcept { return thresholds_.Console(); }
  int QueueLevel() const noexcept { return thresholds_.QueueLevel(); }

  // ---- Settings ----

  // Re-reads the registry settings below the settings key. Logger thread, or the owner
  // while the thread does not run.
  void ReadSettings();
  // Sets the queue level to the highest threshold.
  void UpdateQueueLevel() noexcept { thresholds_.UpdateQueueLevel(); }

  bool DebugLogEnabled() const noexcept { return debugLogEnabled_; }
  bool SysLogEnabled() const noexcept { return sysLogEnabled_; }
  bool ConsoleLogEnabled() const noexcept { return consoleLogEnabled_; }
  bool EventLogEnabled() const noexcept { return eventLogEnabled_; }
  bool BlockingSyslog() const noexcept { return blockingSyslog_; }
  bool AddSyslogHeader() const noexcept { return addSyslogHeader_; }
  int DebugLogMaxDailyFileAge() const noexcept { return debugFile_.GetSettings().maxDailyFileAge; }
  int DebugLogEncoding() const noexcept { return debugFile_.GetSettings().encoding; }
  int EventLogTimeThreshold() const noexcept { return eventLogTimeThreshold_; }
  int MaxFileSize() const noexcept { return debugFile_.GetSettings().maxFileSize; }
  int QueueLimit() const noexcept { return queueLimit_; }
  bool QueueOverflow() const noexcept { return queueOverflow_; }
  bool QueueWarningGiven() const noexcept { return queueWarningGiven_; }

  // ---- Owner configuration: before Start, or while the thread does not run ----

  // Owner-set thresholds are kept within 0-15 like the registry's, and move the queue level.
  void SetDebugLogLevel(int level) noexcept { thresholds_.SetDebugFile(level); }
  void SetEventLogLevel(int level) noexcept { thresholds_.SetEventLog(level); }
  void SetSysLogLevel(int level) noexcept { thresholds_.SetSyslog(level); }
  void SetConsoleLogLevel(int level) noexcept { thresholds_.SetConsole(level); }
  void SetDefaultDebugLevel(int level) noexcept { defaultDebugLevel_ = level; }
  void SetConsoleLogEnabled(bool on) noexcept { consoleLogEnabled_ = on; }
  void SetDebugLogEnabled(bool on) noexcept { debugLogEnabled_ = on; }
  void SetSysLogEnabled(bool on) noexcept { sysLogEnabled_ = on; }
  void SetEventLogEnabled(bool on) noexcept { eventLogEnabled_ = on; }
  void SetBlockingSyslog(bool on) noexcept { blockingSyslog_ = on; }
  void SetAddSyslogHeader(bool on) noexcept { addSyslogHeader_ = on; }
  // Where the settings live: a key path below HKLM, or below HKCU with currentUser.
  // An empty path means the registry is never read.
  void SetSettingsKey(const std::wstring& path, bool currentUser);
  void SetRereadSettings(bool on) noexcept { rereadSettings_ = on; }
  void SetApplicationName(const std::wstring& name) { configuredApplicationName_ = name; }
  void SetMessageModuleName(const std::wstring& name) { messageModuleName_ = name; }
  void SetDebugFilePath(const std::wstring& path) {
    ChangeFileSettings([&](DebugFileOutput::Settings& file) { file.path = path; });
  }
  void SetSyslogServerList(const std::string& servers) { syslogServerList_ = servers; }
  void SetSyslogFacility(int facility) noexcept { syslogFacility_ = facility; }
  // The collectors of the kinds "/tls", "/relp" and "/relp+tls" (see SyslogOutput): the
  // CA file (PEM or DER) their certificates must lead to, a client certificate (PFX) for
  // those that ask for one, and the bound in bytes on the lines held for each of them.
  // They apply from the next open of the syslog output.
  void SetSyslogCaFile(const std::wstring& path) { syslogCollectors_.caFile = path; }
  void SetSyslogClientCertificate(const std::wstring& pfxPath, const std::wstring& password = L"") {
    syslogCollectors_.clientCertificateFile = pfxPath;
    syslogCollectors_.clientCertificatePassword = password;
  }
  void SetSyslogHeldByteLimit(std::size_t bytes) noexcept { syslogCollectors_.heldByteLimit = bytes; }
  void SetQueueLimit(int limit) noexcept { queueLimit_ = limit; }
  // The bound on the bytes queued records hold (0: none); callers wait at it.
  void SetQueueByteLimit(std::size_t bytes) noexcept { queue_.SetByteLimit(bytes); }
  void SetMaxFileSize(int bytes) {
    ChangeFileSettings([&](DebugFileOutput::Settings& file) { file.maxFileSize = bytes; });
  }
  void SetRedirectSink(LogRedirectSink* sink) noexcept { redirectSink_ = sink; }
  void SetFileOpenedListener(DebugFileOpenedListener* listener) noexcept { fileOpenedListener_ = listener; }
  void SetReportOnOpen(bool on) noexcept { reportOnOpen_ = on; }
  void SetDebugFileLayout(const DebugFileLayout& layout) {
    ChangeFileSettings([&](DebugFileOutput::Settings& file) { file.layout = layout; });
  }
  void SetDebugLogEncoding(int encoding) {
    ChangeFileSettings([&](DebugFileOutput::Settings& file) { file.encoding = encoding; });
  }
  void SetDebugLogMaxDailyFileAge(int days) {
    ChangeFileSettings([&](DebugFileOutput::Settings& file) { file.maxDailyFileAge = days; });
  }
  // Applies the fixed settings to the fields now and keeps them for every later read.
  void SetFixedSettings(const FixedSettings& fixed);
  // Standard error gets a copy of every line the console threshold admits, whether or
  // not the console output itself is on.
  void SetConsoleCopyToStandardError(bool on) noexcept { consoleCopyToStandardError_ = on; }

  // The millisecond tick count behind the settings and debug-file intervals;
  // GetTickCount unless a test drives time itself.
  void SetTickSource(TickSource source) noexcept {
    clocks_.ticks = source != nullptr ? source : &::GetTickCount;
    debugFile_.SetClocks(clocks_);
  }
  DWORD Ticks() const { return clocks_.ticks(); }
  // The local date and time behind the change of date, the debug file's date line and
  // the age of old files; GetLocalTime unless a test drives the date itself.
  void SetLocalTimeSource(LocalTimeSource source) noexcept {
    clocks_.localTime = source != nullptr ? source : &::GetLocalTime;
    debugFile_.SetClocks(clocks_);
  }
  void LocalTime(SYSTEMTIME* now) const { clocks_.localTime(now); }
  // Runs at the start of handling each record, inside the record guard: lets tests make
  // one record's handling fail.
  void SetRecordHook(RecordHook hook) noexcept { recordHook_ = hook; }
  // How long the thread sleeps between drains when nothing wakes it: kCycleMs, unless a
  // test stretches it (-1: for ever) to show what wakes the thread before its time.
  void SetCycleMs(std::int64_t ms) noexcept { cycleMs_ = ms; }

  const std::wstring& ApplicationName() const noexcept { return applicationName_; }
  const std::string& SyslogServerList() const noexcept { return syslogServerList_; }
  int SyslogFacility() const noexcept { return syslogFacility_; }
  const SyslogCollectorSettings& SyslogCollectors() const noexcept { return syslogCollectors_; }
  const std::wstring& DebugFilePath() const noexcept { return debugFile_.GetSettings().path; }
  const DebugFileLayout& GetDebugFileLayout() const noexcept { return debugFile_.GetSettings().layout; }
  bool ReportOnOpen() const noexcept { return reportOnOpen_; }
  LogQueue& Queue() noexcept { return queue_; }
  HANDLE EventSource() const noexcept { return eventLog_.Source(); }
  // The console output on standard output, and its copy on standard error (owner: its
  // code page before Start, its failure counts after Stop).
  ConsoleOutput& Console() noexcept { return console_; }
  ConsoleOutput& ConsoleCopy() noexcept { return consoleCopy_; }
  DebugFileOutput& DebugFile() noexcept { return debugFile_; }
  // The syslog output (owner: what became of the collectors' lines, after Stop).
  const SyslogOutput& Syslog() const noexcept { return syslog_; }

  // ---- Outputs: logger thread, or the owner while the thread does not run ----

  // Each hands a record to its output when the output's switch and threshold admit it;
  // the record loop fans every record out through them, in this order.
  void WriteEventLog(const RecordView& record);
  void WriteConsole(const RecordView& record);
  void WriteSyslog(const RecordView& record);
  // True when the line was written, or held back by the switch or the threshold.
  bool WriteDebugFile(const RecordView& record);
  // The console and the debug log file keep a drain's lines to write them together; this
  // writes what they hold. The logger thread calls it at the end of every drain; an owner
  // that writes records itself calls it before it looks for them.
  void FlushOutputs();

  void OpenEventLog();
  LONG CloseEventLog();
  // Syslog: the state lives in SyslogOutput; these apply the logger's switch and line
  // settings around it.
  void OpenSyslog();
  void ConnectSyslogTargets();
  void CloseSyslog();
  // The debug log file, which opens only while its output is switched on.
  bool OpenDebugFile() { return !debugLogEnabled_ || debugFile_.Open(); }
  bool CloseDebugFile() { return debugFile_.Close(); }
  bool ReopenDebugFile();

  // The environment report's line sink: while a debug file's head is written on this
  // thread, each line goes into that file (if its level passes) and to the other outputs;
  // otherwise the line is logged as any report line is.
  static int HeadReportSink(int level, int a, int b, int c, const wchar_t* text, const char* function, int line,
                            void* captureBlock);

 protected:
  void Run() override;

 private:
  // The four outputs, as the record loop names them.
  enum Output : unsigned {
    kEventLogOutput = 1u,
    kConsoleOutput = 2u,
    kSyslogOutput = 4u,
    kDebugFileOutput = 8u,
    kEveryOutput = 15u,
  };
  // The one rule of which records reach an output: its switch is on and its threshold
  // admits the level (level 5 passes every threshold).
  bool Admits(Output output, int level) const noexcept;
  // Hands a record to each of `outputs` that admits it, in their fixed order.
  void FanOut(const RecordView& record, unsigned outputs);

  // The intake behind AddRecord and the logger's own lines; Char is wchar_t, or char for
  // an ASCII message.
  template <typename Char>
  void Intake(int level, DWORD eventId, int threadId, const Char* message, std::size_t messageLength,
              const wchar_t* userText, bool skipsDebugFile);
  void HandleRecord(const LogRecord& record);
  void WatchQueue(const SYSTEMTIME& time);
  // Writes one of the logger's own messages to every output, past the queue.
  void WriteDirect(const SYSTEMTIME& time, int level, const wchar_t* message);
  void OpenOutputs();
  void CloseOutputs();
  // The wait between drains: until a stop request, a caller waiting for room, or the end
  // of the cycle, serving the collectors whose sockets have something meanwhile. Answers
  // as LogQueue::WaitBetweenDrains does (1: stop).
  int WaitBetweenDrains();
  // The head of a debug file just opened: the date line, the thread report and the
  // environment report, when the file's threshold takes information.
  bool WriteDebugFileHead(DebugFileOutput& file);
  template <typename Change>
  void ChangeFileSettings(Change change) {
    DebugFileOutput::Settings settings = debugFile_.GetSettings();
    change(settings);
    debugFile_.SetSettings(settings);
  }

  // Records are accepted (set once the outputs are open, cleared at a stop request).
  std::atomic<bool> running_{false};
  // Records waiting for the logger thread.
  LogQueue queue_;
  // Owner-set: comma-separated collectors and the facility of syslog lines.
  std::string syslogServerList_;
  int syslogFacility_ = 0;
  SyslogCollectorSettings syslogCollectors_;
  // The outputs, each owning its own state; used by the logger thread only.
  EventLogOutput eventLog_;
  ConsoleOutput console_{STD_OUTPUT_HANDLE};
  ConsoleOutput consoleCopy_{STD_ERROR_HANDLE};
  bool consoleCopyToStandardError_ = false;  // owner-set
  SyslogOutput syslog_;
  // Thresholds (0-15) and the highest of them, which the intake compares against: the
  // logger's own, or the process-wide ones the logging calls' gate reads.
  int defaultDebugLevel_ = LogThresholds::kDefaultDebugFile;
  LogThresholds ownThresholds_;
  LogThresholds& thresholds_;
  // Where and whether the settings are re-read.
  bool rereadSettings_ = true;
  bool useCurrentUserHive_ = false;
  std::wstring settingsKeyPath_;
  // Owner-set names: the event source and the event message module.
  std::wstring configuredApplicationName_;
  std::wstring messageModuleName_;
  std::wstring applicationName_;  // copied from the configured name at each start
  // The queue limit, and the state of its watch.
  int queueLimit_ = 0;
  bool queueWarningGiven_ = false;
  bool queueOverflow_ = false;
  // What every settings read keeps as the owner fixed it.
  FixedSettings fixed_;
  // Registry-backed switches and numbers (the debug file's own are in its settings).
  bool blockingSyslog_ = kDefaultBlockingSyslog;
  bool addSyslogHeader_ = kDefaultAddSyslogHeader;
  bool debugLogEnabled_ = true;
  bool sysLogEnabled_ = true;
  bool consoleLogEnabled_ = false;
  bool eventLogEnabled_ = kDefaultEventLogEnabled;
  int eventLogTimeThreshold_ = kDefaultEventLogTimeThreshold;
  // The last error number LogErrno told; logger thread only.
  OncePerRun errnoTold_;
  // Owner-set hooks, and whether a new debug file gets the environment report.
  DebugFileOpenedListener* fileOpenedListener_ = nullptr;
  LogRedirectSink* redirectSink_ = nullptr;
  bool reportOnOpen_ = true;
  // The report written at the head of every new debug file, straight into it.
  ReportEnvironment report_{&DebugLogger::HeadReportSink};

  DebugFileOutput::Clocks clocks_;
  RecordHook recordHook_ = nullptr;
  // The texts of the record being handled, widened for the outputs when the record holds
  // them as single bytes; logger thread only.
  WideningBuffer widenedTexts_;
  std::int64_t cycleMs_ = kCycleMs;

  // The debug log file output. Declared last, so it is built after everything its hooks
  // reach and closed (without its end-of-log marker) before they go.
  DebugFileOutput debugFile_;
};

// The process-wide logger, defined with the other process-wide objects in their start-up
// order. A plain object rather than a function, so that reaching it costs no call.
extern DebugLogger g_processDebugLogger;
inline DebugLogger& ProcessDebugLogger() { return g_processDebugLogger; }
