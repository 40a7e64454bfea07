#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "logging/report_sink.h"

// A report line sink that keeps every line it is given, for tests to read back.
struct SinkLine {
  int level = 0;
  std::wstring text;
  std::string function;
  const void* block = nullptr;
  std::uint32_t blockMarker = 0;
  bool otherArgumentsZero = true;
};

namespace capturing_sink_detail {
inline std::mutex g_lock;
inline std::vector<SinkLine> g_lines;  // guarded by g_lock
}  // namespace capturing_sink_detail

inline int CapturingSink(int level, int a, int b, int c, const wchar_t* text, const char* function, int /*line*/,
                         void* block) {
  SinkLine line{level, text != nullptr ? text : L"<null>", function != nullptr ? function : "", block,
                block != nullptr ? *static_cast<const std::uint32_t*>(block) : 0u, (a | b | c) == 0};
  const std::lock_guard<std::mutex> hold(capturing_sink_detail::g_lock);
  capturing_sink_detail::g_lines.push_back(std::move(line));
  return 1;
}

// The lines captured since the last call, in the order they came.
inline std::vector<SinkLine> TakeCapturedLines() {
  const std::lock_guard<std::mutex> hold(capturing_sink_detail::g_lock);
  return std::exchange(capturing_sink_detail::g_lines, {});
}

inline std::vector<std::wstring> TextsOf(const std::vector<SinkLine>& lines) {
  std::vector<std::wstring> texts;
  for (const SinkLine& line : lines) texts.push_back(line.text);
  return texts;
}
