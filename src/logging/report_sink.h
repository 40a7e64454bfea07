#pragma once

#include <cstdarg>
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

// Hands one line to a sink under the rule every report line follows: the sink must be a
// function of the program (IsCodePointer) before the line is built and again before it
// is called, so a null sink, or one pointing into data, silences the report without any
// other effect. The line is formatted with FormatChecked into a cleared buffer of
// bufferChars (at most kMaxReportLineChars), so it holds at most bufferChars - 2
// characters.
inline constexpr int kMaxReportLineChars = 2048;
void SendReportLine(ReportLineSink sink, CaptureBlock* block, int bufferChars, int level, const char* function,
                    int sourceLine, const wchar_t* format, ...);
void SendReportLineV(ReportLineSink sink, CaptureBlock* block, int bufferChars, int level, const char* function,
                     int sourceLine, const wchar_t* format, va_list args);
// A text without conversions goes to the sink as it is, after one test of the sink.
void SendReportText(ReportLineSink sink, CaptureBlock* block, int level, const char* function, int sourceLine,
                    const wchar_t* text);
