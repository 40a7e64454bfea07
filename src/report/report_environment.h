#pragma once

#include <windows.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "logging/report_sink.h"
#include "report/performance_data.h"
#include "report/running_processes.h"

// A snapshot of the host and the process, written as "[ENV] " lines at the head of every
// new debug log file: who the process runs as, when it started, the host and operating
// system, processor, memory, disk, up time and time zone, the network addresses, the
// versions of the network and data-access components, the OLE DB providers and the
// running processes. Each line goes to the report's sink; the default sink logs it. The
// object keeps nothing between reports, so every report reads everything afresh; only
// the start time is fixed, at construction.
class ReportEnvironment {
 public:
  // A line holds at most this many characters less two (the terminator, and the one the
  // formatter's count leaves out).
  static constexpr int kLineBufferChars = 512;

  explicit ReportEnvironment(ReportLineSink sink = &LogReportLine);
  virtual ~ReportEnvironment() = default;
  ReportEnvironment(const ReportEnvironment&) = delete;
  ReportEnvironment& operator=(const ReportEnvironment&) = delete;

  // Writes the whole report. Failing steps write their failure line, or nothing, and the
  // next step runs; nothing is thrown for them.
  void ReportEnvironmentVersions();

  // The process's image path and its account as domain\user. Each stays as passed when
  // its lookup fails; the failure is written as a line.
  void GetServiceInfo(std::wstring* imagePath, std::wstring* account);

  // Processor, processor count, memory, disk, up time and time zone. Without the
  // processor key only its failure line is written.
  void ReportSystemInfo();
  // Physical memory, commit limit, the process's address space and private memory,
  // through the report's sink, or through LogReportLine for a null report.
  static void ReportSystemMemoryInfo(ReportEnvironment* report);

  // One line per running process, from the Toolhelp snapshot, or from the performance
  // data where kernel32 has no Toolhelp functions. A fault during the walk is reported
  // as a line; nothing is thrown. `toolhelp` and `query` play kernel32's and the
  // registry's parts.
  void ReportCurrentProcesses();
  void ReportCurrentProcesses(const ToolhelpFunctions& toolhelp,
                              PerformanceDataQuery query = &QuerySystemPerformanceData);
  // The performance-data path on its own; `query` plays the registry's part.
  void ReportCurrentProcessesNT(PerformanceDataQuery query = &QuerySystemPerformanceData);

  // The component steps, each a part of the report in its own right.
  void ReportTcpIpProvider();
  void ReportWinsockCatalog();
  void ReportXmlParser();
  // The SQL Server provider lines for a list of OLE DB provider names.
  void ReportSqlProviders(const std::vector<std::wstring>& providers);
  void ReportDataAccessComponents();
  void ReportAdoLibrary();

  ReportLineSink Sink() const noexcept { return sink_; }
  __time64_t StartTime() const noexcept { return startTime_; }

 private:
  // Lines are neither built nor sent unless the sink is a function of the program: a
  // null or data pointer silences the report.
  void WriteLine(int level, const char* function, int sourceLine, const wchar_t* format, ...);
  void WriteFixed(int level, const char* function, int sourceLine, const wchar_t* text);
  void WriteNetworkAddresses();

  ReportLineSink sink_;
  __time64_t startTime_;
};

// The capture block that every line of the report passes to its sink.
CaptureBlock* ReportCaptureBlock() noexcept;
