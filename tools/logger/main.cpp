// varrowmere-logger: logs records through the process-wide debug logger, from its
// arguments, from the lines of a file or of standard input, or generated for load, then
// stops the logger (which writes every queued record) and prints a one-line summary.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/process_objects.h"
#include "command_line.h"
#include "diagnostics/system_error_text.h"
#include "input_lines.h"
#include "logging/debug_logger.h"
#include "logging/logging_calls.h"
#include "logging/syslog_output.h"
#include "net/tls_credentials.h"
#include "text/code_page.h"
#include "text/zul_string.h"
#include "threading/thread.h"
#include "win32/text_output.h"
#include "win32/unique_resource.h"

namespace {

// One line of the program's own on standard error.
std::wstring Complaint(const std::wstring& text) { return L"varrowmere-logger: " + text + L"\n"; }

// Records the logger accepted, and records its level gate dropped before the queue.
std::atomic<long long> g_recordsAccepted{0};
std::atomic<long long> g_recordsGated{0};

DWORD WriteStandardHandle(DWORD which, const std::wstring& text) {
  const HANDLE handle = ::GetStdHandle(which);
  return WriteTextToHandle(handle, IsConsoleHandle(handle), CP_ACP, text.data(), static_cast<int>(text.size()));
}

void WriteStandardError(const std::wstring& text) { WriteStandardHandle(STD_ERROR_HANDLE, text); }

// One record. The level gate is asked here, as the logging calls ask it, so the summary
// can tell a record the logger took from one its thresholds turned away. The user text,
// which the logging calls do not carry, goes straight to the logger's intake with the
// message cut as the calls cut a formatted message.
void LogRecordText(const LoggerOptions& options, const wchar_t* text) {
  if (!IsLogLevelEnabled(options.level)) {
    g_recordsGated.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (options.userText.empty()) {
    LogMessageWithId(options.level, options.eventId, L"%s", text);
  } else {
    zul::ZULString message;
    message.Format(L"%s", text);
    ProcessDebugLogger().AddRecord(options.level, options.eventId, 0, message.GetWide(), options.userText.c_str());
  }
  g_recordsAccepted.fetch_add(1, std::memory_order_relaxed);
}

// Logs every line of the input; answers the error that stopped the reading, if any.
DWORD LogLines(HANDLE input, const LoggerOptions& options) {
  bool firstLine = true;
  LineSplitter splitter([&](const char* bytes, std::size_t length) {
    const bool first = firstLine;
    firstLine = false;
    if (length == 0 && options.skipEmptyLines) return;
    LogRecordText(options, DecodeInputLine(bytes, length, first).c_str());
  });
  return ReadLines(input, &splitter);
}

// A worker that logs its share of generated records; being a Thread, it appears in the
// log with its name.
class RecordProducer : public Thread {
 public:
  RecordProducer(const LoggerOptions& options, int number, const char* name)
      : Thread(name), options_(options), number_(number) {}
  ~RecordProducer() override { Stop(); }

 protected:
  void Run() override {
    wchar_t text[64];
    for (long long i = 1; i <= options_.count; ++i) {
      ::_snwprintf(text, 64, L"record %I64d of thread %d", i, number_);
      text[63] = L'\0';
      LogRecordText(options_, text);
    }
  }

 private:
  const LoggerOptions& options_;
  int number_;
};

void LogGenerated(const LoggerOptions& options) {
  std::vector<std::unique_ptr<RecordProducer>> producers;
  std::vector<std::string> names;
  for (int i = 1; i <= options.threads; ++i) names.push_back("producer-" + std::to_string(i));
  for (int i = 1; i <= options.threads; ++i) {
    producers.push_back(std::make_unique<RecordProducer>(options, i, names[static_cast<std::size_t>(i - 1)].c_str()));
  }
  for (auto& producer : producers) producer->Start();
  for (auto& producer : producers) producer->Stop();
}

// What the command line decided, fixed over the settings key at start and at every
// re-read; what it left open is the key's. Each output the command line turned on gets
// the records of the requested level, whatever threshold the key holds.
DebugLogger::FixedSettings FixedFromCommandLine(const LoggerOptions& options) {
  DebugLogger::FixedSettings fixed;
  if (options.console || !options.NamesAnOutput()) fixed.consoleLogEnabled = true;
  if (fixed.consoleLogEnabled.value_or(false) || options.copyToStandardError) {
    fixed.consoleLogLevelAtLeast = options.level;
  }
  if (options.eventLogGiven) fixed.eventLogEnabled = options.eventLog;
  if (!options.syslogServers.empty()) {
    fixed.sysLogEnabled = true;
    fixed.sysLogLevelAtLeast = options.level;
  }
  if (options.noSyslogHeader) fixed.addSyslogHeader = false;
  if (options.nonblockingSyslog) fixed.blockingSyslog = false;
  if (options.WritesDebugFile()) {
    fixed.debugLogEnabled = true;
    fixed.debugLogLevelAtLeast = options.level;
  }
  if (options.encoding >= 0) fixed.debugLogEncoding = options.encoding;
  if (options.maxAgeDays >= 0) fixed.debugLogMaxDailyFileAge = options.maxAgeDays;
  return fixed;
}

void Configure(const LoggerOptions& options) {
  DebugLogger& logger = ProcessDebugLogger();
  logger.SetApplicationName(options.application);
  logger.Console().SetCodePage(options.consoleCodePage);
  logger.ConsoleCopy().SetCodePage(options.consoleCodePage);
  logger.SetConsoleCopyToStandardError(options.copyToStandardError);
  logger.SetEventLogEnabled(options.eventLog);
  // The collector list is narrow text in the ANSI code page, as the server reads it.
  const TemporaryNarrowText servers(options.syslogServers.c_str());
  logger.SetSyslogServerList(servers.get() != nullptr ? servers.get() : "");
  logger.SetSysLogEnabled(!options.syslogServers.empty());
  logger.SetSyslogFacility(options.syslogFacility);
  logger.SetSyslogCaFile(options.syslogCa);
  logger.SetSyslogClientCertificate(options.syslogCert, options.syslogCertPassword);
  if (options.syslogHeldBytes >= 0) logger.SetSyslogHeldByteLimit(static_cast<std::size_t>(options.syslogHeldBytes));
  logger.SetSettingsKey(options.settingsKey, options.currentUser);
  logger.SetQueueLimit(options.queueLimit);
  if (options.queueBytes >= 0) logger.SetQueueByteLimit(static_cast<std::size_t>(options.queueBytes));

  // Without a file asked for, the debug log file output stays off.
  const std::wstring& filePath = options.filePath.empty() ? options.logRoot : options.filePath;
  logger.SetDebugLogEnabled(false);
  logger.SetDebugFilePath(filePath);
  DebugLogger::DebugFileLayout layout;
  layout.logRootDirectory = options.logRoot;
  layout.fileNamePrefix = options.filePrefix;
  layout.componentName = options.component;
  layout.instanceNumber = options.instance;
  layout.dailyFiles = options.dailyFiles;
  layout.dateFolders = options.dateFolders;
  layout.structuredFileNames = options.structured;
  layout.newFileWhenFull = options.newFileWhenFull;
  layout.splitMultiLineMessages = options.splitLines;
  logger.SetDebugFileLayout(layout);
  if (options.maxFileSize >= 0) logger.SetMaxFileSize(static_cast<int>(options.maxFileSize));
  logger.SetReportOnOpen(options.report);

  logger.SetFixedSettings(FixedFromCommandLine(options));
  // The key is read before the first record, not only after the first interval, so the
  // records are written as the key says from the start.
  logger.ReadSettings();
}

// Why the TLS collectors of the list cannot be served, or nothing: one of them and no
// CA file (bad usage), or a CA or client certificate file that does not load.
std::wstring TlsCollectorProblem(const LoggerOptions& options) {
  const TemporaryNarrowText servers(options.syslogServers.c_str());
  if (servers.get() == nullptr || !SyslogOutput::NamesTlsCollector(servers.get())) return {};
  if (options.syslogCa.empty()) {
    return L"--syslog names a TLS collector (/tls or /relp+tls), which needs --syslog-ca FILE: nothing goes to it "
           L"unchecked or in clear; try --help";
  }
  std::wstring error;
  if (!TlsClientCredentials::Load(options.syslogCa, options.syslogCert, options.syslogCertPassword, error)) {
    return L"TLS collectors: " + error;
  }
  return {};
}

// "1 record", "2 records".
std::wstring Count(std::uint64_t n, const wchar_t* thing) {
  return std::to_wstring(n) + L" " + thing + (n == 1 ? L"" : L"s");
}

std::wstring Widened(const std::string& text) {
  const TemporaryWideText wide(text.c_str());
  return wide.get() != nullptr ? wide.get() : L"";
}

// For each collector of the kinds beyond TCP, a line after the summary with what became
// of its records ("collector: HOST:PORT/KIND delivered=N dropped=D undelivered=U"); a
// complaint for one that did not get them all.
std::wstring CollectorLines(const SyslogOutput& syslog, std::wstring& summary) {
  std::wstring failures;
  for (const SyslogTarget& target : syslog.Targets()) {
    if (!target.collectorKind) continue;
    const std::string_view marker = CollectorKindMarker(*target.collectorKind);
    const std::wstring name = Widened(target.host) + L":" + std::to_wstring(::ntohs(target.address.sin_port)) +
                              std::wstring(marker.begin(), marker.end());
    summary += L"collector: " + name + L" delivered=" + std::to_wstring(target.delivered) + L" dropped=" +
               std::to_wstring(target.dropped) + L" undelivered=" + std::to_wstring(target.undelivered) + L"\n";
    const std::uint64_t lost = target.dropped + target.undelivered;
    if (lost > 0) {
      failures += Complaint(name + L": " + Count(lost, L"record") + L" not delivered (" +
                            std::to_wstring(target.dropped) + L" dropped at the held-bytes bound, " +
                            std::to_wstring(target.undelivered) + L" undelivered at the end)" +
                            (target.lastProblem.empty() ? L"" : L"; last: " + target.lastProblem));
    }
  }
  return failures;
}

// A line of what went wrong with one console output, or nothing when nothing did.
std::wstring ConsoleFailure(const ConsoleOutput& output, const wchar_t* stream) {
  if (output.FailedLines() == 0) return {};
  return Complaint(std::wstring(stream) + L": " + Count(output.FailedLines(), L"console line") + L" not written: " +
                   Win32CallError(L"WriteFile", output.LastError()));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::vector<std::wstring> arguments(argv + 1, argv + argc);
  LoggerOptions options;
  std::wstring error;
  if (!ParseLoggerOptions(arguments, &options, &error)) {
    WriteStandardError(Complaint(error + L"; try --help"));
    return 2;
  }
  if (options.help || options.version) {
    const std::wstring text = options.help ? LoggerUsage()
                                           : std::wstring(L"varrowmere-logger ") + kLoggerVersion +
                                                 (sizeof(void*) == 4 ? L" (32-bit)\n" : L" (64-bit)\n");
    const DWORD written = WriteStandardHandle(STD_OUTPUT_HANDLE, text);
    if (written == ERROR_SUCCESS) return 0;
    WriteStandardError(Complaint(L"standard output: " + Win32CallError(L"WriteFile", written)));
    return 1;
  }

  UniqueFileHandle inputFile;
  if (!options.inputFile.empty() && options.inputFile != L"-") {
    inputFile.reset(::CreateFileW(options.inputFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!inputFile) {
      WriteStandardError(Complaint(options.inputFile + L": " + Win32CallError(L"CreateFileW", ::GetLastError())));
      return 1;
    }
  }

  // A TLS collector is checked against the CA given, or gets nothing: said before any
  // record, rather than as a [DIAG] line no one asked to see.
  const std::wstring tlsProblem = TlsCollectorProblem(options);
  if (!tlsProblem.empty()) {
    WriteStandardError(Complaint(tlsProblem));
    return options.syslogCa.empty() ? 2 : 1;
  }

  DebugLogger& logger = ProcessDebugLogger();
  Configure(options);
  // However long the first open of the debug file takes, the logger is waited for: a
  // record logged before it runs would be dropped, and leaving with its thread still
  // running would tear the process-wide objects down under it.
  if (!logger.Start() || !logger.WaitForRunning(Thread::kInfinite)) {
    logger.Stop();
    WriteStandardError(Complaint(L"the logger thread did not start"));
    return 1;
  }

  LARGE_INTEGER frequency;
  LARGE_INTEGER started;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&started);

  std::wstring failures;
  for (const std::wstring& message : options.messages) LogRecordText(options, message.c_str());
  if (inputFile) {
    const DWORD read = LogLines(inputFile.get(), options);
    if (read != ERROR_SUCCESS) failures += Complaint(options.inputFile + L": " + Win32CallError(L"ReadFile", read));
  }
  if (options.ReadsStandardInput()) {
    const DWORD read = LogLines(::GetStdHandle(STD_INPUT_HANDLE), options);
    if (read != ERROR_SUCCESS) failures += Complaint(L"standard input: " + Win32CallError(L"ReadFile", read));
  }
  if (options.count > 0) LogGenerated(options);
  // Stopping writes every record still queued before the outputs close.
  logger.Stop();

  LARGE_INTEGER finished;
  ::QueryPerformanceCounter(&finished);
  const double seconds = static_cast<double>(finished.QuadPart - started.QuadPart) / static_cast<double>(frequency.QuadPart);
  const long long records = g_recordsAccepted.load();
  wchar_t summary[160];
  ::_snwprintf(summary, 160, L"summary: records=%I64d gated=%I64d seconds=%.3f rate=%.0f/s\n", records,
               g_recordsGated.load(), seconds, seconds > 0 ? static_cast<double>(records) / seconds : 0.0);
  summary[159] = L'\0';

  failures += ConsoleFailure(logger.Console(), L"standard output");
  failures += ConsoleFailure(logger.ConsoleCopy(), L"standard error");
  const std::uint64_t lost = logger.DebugFile().LostLines();
  if (options.WritesDebugFile() && lost > 0) {
    const std::wstring& why = logger.DebugFile().LastProblem();
    failures += Complaint((options.filePath.empty() ? options.logRoot : options.filePath) + L": " +
                          Count(lost, L"record") + L" not written to the debug log file" +
                          (why.empty() ? L"" : L": " + why));
  }
  std::wstring report = summary;
  failures += CollectorLines(logger.Syslog(), report);
  WriteStandardError(report + failures);
  return failures.empty() ? 0 : 1;
}
