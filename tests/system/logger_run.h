#pragma once

// varrowmere-logger run as users run it, as a second process: its command line and the
// forms of what it prints.

#include <regex>
#include <string>

#include "support/child_process.h"

inline std::wstring Logger(const std::wstring& arguments) {
  return L"\"" + ProgramBesideMe(L"varrowmere-logger.exe") + L"\" " + arguments;
}

// A console line: the event code, then the message.
inline const std::regex kConsoleLine(R"(\[(\d{5})\] \(\d\d:\d\d:\d\d\.\d{3}\):\{0x[0-9A-F]{4,}\} (.*))");
// The summary on standard error: records accepted, records gated, seconds.
inline const std::regex kSummary(R"(summary: records=(\d+) gated=(\d+) seconds=(\d+\.\d{3}) rate=\d+/s\r?\n)");
