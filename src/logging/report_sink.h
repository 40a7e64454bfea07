#pragma once

#include <cstdint>

// A report line sink receives each finished line of the environment report: the level,
// three integers the report passes as 0, the line, the reporting operation's name, its
// source line, and a capture block.
using ReportLineSink = int (*)(int level, int a, int b, int c, const wchar_t* text,
                               const char* function, int line, void* captureBlock);

inline constexpr std::uint32_t kCaptureBlockMarker = 51;

// A block a sink may copy the line into: the marker word, then room for the text.
struct CaptureBlock {
  std::uint32_t marker = kCaptureBlockMarker;
  wchar_t text[2048] = {};
};

// The default sink: logs the text unchanged with LogMessageDirect at the given level and
// answers 1; answers 0 and logs nothing for a null text.
int LogReportLine(int level, int a, int b, int c, const wchar_t* text, const char* function,
                  int line, void* captureBlock);
