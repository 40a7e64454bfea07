// varrowmere-logger: logs records through the process-wide debug logger, from its
// arguments, from standard input line by line, or generated for load, then stops the
// logger (which writes every queued record) and prints a one-line summary.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/process_objects.h"
#include "command_line.h"
#include "logging/debug_logger.h"
#include "logging/logging_calls.h"
#include "text/code_page.h"
#include "threading/thread.h"
#include "win32/text_output.h"

namespace {

std::atomic<long long> g_recordsLogged{0};

void WriteStandardError(const std::wstring& text) {
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  WriteTextToHandle(error, IsConsoleHandle(error), CP_ACP, text.data(), static_cast<int>(text.size()));
}

// One record through the logging calls; the user text, which the calls do not carry,
// goes straight to the logger's intake after the same gate and running test.
void LogRecordText(const LoggerOptions& options, const wchar_t* text) {
  if (options.userText.empty()) {
    LogMessageWithId(options.level, options.eventId, L"%s", text);
  } else if (IsLogLevelEnabled(options.level) && ProcessDebugLogger().IsRunning()) {
    ProcessDebugLogger().AddRecord(options.level, options.eventId, 0, text, options.userText.c_str());
  }
  g_recordsLogged.fetch_add(1, std::memory_order_relaxed);
}

// Decodes one line of input: UTF-8 when it is valid UTF-8 (what Linux programs write),
// else the ANSI code page (what Windows programs write).
std::wstring DecodeLine(const std::string& bytes) {
  if (bytes.empty()) return {};
  const int length = static_cast<int>(bytes.size());
  for (const UINT codePage : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
    const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    const int chars = ::MultiByteToWideChar(codePage, flags, bytes.data(), length, nullptr, 0);
    if (chars <= 0) continue;
    std::wstring text(static_cast<std::size_t>(chars), L'\0');
    ::MultiByteToWideChar(codePage, flags, bytes.data(), length, text.data(), chars);
    return text;
  }
  return {};
}

void LogStandardInput(const LoggerOptions& options) {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  std::string pending;
  char chunk[4096];
  DWORD got = 0;
  const auto flushLine = [&](std::size_t end) {
    std::string line = pending.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    LogRecordText(options, DecodeLine(line).c_str());
  };
  while (::ReadFile(input, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
    pending.append(chunk, got);
    std::size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      flushLine(newline);
      pending.erase(0, newline + 1);
    }
  }
  if (!pending.empty()) flushLine(pending.size());
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

void Configure(const LoggerOptions& options) {
  DebugLogger& logger = ProcessDebugLogger();
  logger.SetApplicationName(options.application);
  logger.SetConsoleLogEnabled(options.console);
  // Records of the requested level must reach the console that was asked for.
  if (options.console && options.level > logger.ConsoleLogLevel()) logger.SetConsoleLogLevel(options.level);
  logger.SetEventLogEnabled(options.eventLog);
  if (!options.syslogServers.empty()) {
    // The collector list is narrow text in the ANSI code page, as the server reads it.
    const TemporaryNarrowText servers(options.syslogServers.c_str());
    logger.SetSyslogServerList(servers.get() != nullptr ? servers.get() : "");
    logger.SetSyslogFacility(options.syslogFacility);
    logger.SetAddSyslogHeader(options.syslogHeader);
    logger.SetBlockingSyslog(options.blockingSyslog);
    if (options.level > logger.SysLogLevel()) logger.SetSysLogLevel(options.level);
  }
  logger.SetSettingsKey(options.settingsKey, options.currentUser);
  logger.SetQueueLimit(options.queueLimit);
  if (options.queueBytes >= 0) logger.SetQueueByteLimit(static_cast<std::size_t>(options.queueBytes));

  // Without a file asked for, the debug log file output stays off.
  const std::wstring& filePath = options.filePath.empty() ? options.logRoot : options.filePath;
  logger.SetDebugLogEnabled(!filePath.empty());
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
  logger.SetDebugLogEncoding(options.encoding);
  logger.SetDebugLogMaxDailyFileAge(options.maxAgeDays);
  logger.SetReportOnOpen(options.report);
  // Records of the requested level must reach the file too.
  if (!filePath.empty() && options.level > logger.DebugLogLevel()) logger.SetDebugLogLevel(options.level);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::vector<std::wstring> arguments(argv + 1, argv + argc);
  LoggerOptions options;
  std::wstring error;
  if (!ParseLoggerOptions(arguments, &options, &error)) {
    WriteStandardError(L"varrowmere-logger: " + error + L"\n" + kLoggerUsage);
    return 2;
  }
  if (options.help) {
    WriteStandardError(kLoggerUsage);
    return 0;
  }

  DebugLogger& logger = ProcessDebugLogger();
  Configure(options);
  if (!logger.Start() || !logger.WaitForRunning(5000)) {
    WriteStandardError(L"varrowmere-logger: the logger thread did not start\n");
    return 1;
  }

  LARGE_INTEGER frequency;
  LARGE_INTEGER started;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&started);

  for (const std::wstring& message : options.messages) LogRecordText(options, message.c_str());
  if (options.readStdin) LogStandardInput(options);
  if (options.count > 0) LogGenerated(options);
  // Stopping writes every record still queued before the outputs close.
  logger.Stop();

  LARGE_INTEGER finished;
  ::QueryPerformanceCounter(&finished);
  const double seconds = static_cast<double>(finished.QuadPart - started.QuadPart) / static_cast<double>(frequency.QuadPart);
  const long long records = g_recordsLogged.load();
  wchar_t summary[128];
  ::_snwprintf(summary, 128, L"summary: records=%I64d seconds=%.3f rate=%.0f/s\n", records, seconds,
               seconds > 0 ? static_cast<double>(records) / seconds : 0.0);
  summary[127] = L'\0';
  WriteStandardError(summary);
  return 0;
}
