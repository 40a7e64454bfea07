#pragma once

#include <windows.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "logging/report_sink.h"

// A snapshot of the host and the process, written as "[ENV] " lines at the head of every
// new debug log file: who the process runs as, when it started, the host and operating
// system, and the network addresses. Each line goes to the report's sink; the default
// sink logs it. The object keeps nothing between reports, so every report reads
// everything afresh; only the start time is fixed, at construction.
class ReportEnvironment {
 public:
  // A line holds at most this many characters (the buffer less its terminator and one).
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

  ReportLineSink sink() const noexcept { return sink_; }
  __time64_t startTime() const noexcept { return startTime_; }

 private:
  // Lines are neither built nor sent unless the sink is a function of the program: a
  // null or data pointer silences the report.
  void WriteLine(int level, const char* function, int sourceLine, const wchar_t* format, ...);
  void WriteFixed(int level, const char* function, int sourceLine, const wchar_t* text);
  void WriteNetworkAddresses();

  ReportLineSink sink_;
  __time64_t startTime_;
};
