#pragma once

#include <cstdint>
#include <string>

#include "logging/report_sink.h"
#include "report/performance_data.h"

// Removes leading and trailing spaces and tabs in place; blanks inside stay.
void StripBlanks(wchar_t* text);

// The whole seconds since the system started, from the System object of the performance
// data, or -1. Its failures are written to the sink; `query` plays the registry's part.
std::int64_t GetUpTimeSecs(ReportLineSink sink, PerformanceDataQuery query = &QuerySystemPerformanceData);

// The report's up-time line for what GetUpTimeSecs answered: days, hours, minutes and
// seconds, or the "Could not get" line for 0 or less.
std::wstring UpTimeLine(std::int64_t seconds);

// The report's time-zone line: the daylight name when there is one, else the standard
// name, and the standard offset from UTC (seconds west of it, as the run time keeps it).
std::wstring TimeZoneLine(const char* daylightName, const char* standardName, long secondsWestOfUtc);
