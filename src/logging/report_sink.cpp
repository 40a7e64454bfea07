#include "logging/report_sink.h"

#include <algorithm>

#include "logging/logging_calls.h"

void SendReportLineV(ReportLineSink sink, CaptureBlock* block, int bufferChars, int level, const char* function,
                     int sourceLine, const wchar_t* format, va_list args) {
  if (!IsCodePointer(reinterpret_cast<const void*>(sink))) return;
  wchar_t line[kMaxReportLineChars] = {};
  FormatCheckedV(line, std::clamp(bufferChars, 1, kMaxReportLineChars) - 1, format, args);
  if (!IsCodePointer(reinterpret_cast<const void*>(sink))) return;
  sink(level, 0, 0, 0, line, function, sourceLine, block);
}

void SendReportLine(ReportLineSink sink, CaptureBlock* block, int bufferChars, int level, const char* function,
                    int sourceLine, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  SendReportLineV(sink, block, bufferChars, level, function, sourceLine, format, args);
  va_end(args);
}

void SendReportText(ReportLineSink sink, CaptureBlock* block, int level, const char* function, int sourceLine,
                    const wchar_t* text) {
  if (!IsCodePointer(reinterpret_cast<const void*>(sink))) return;
  sink(level, 0, 0, 0, text, function, sourceLine, block);
}
