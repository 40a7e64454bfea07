// Runs SymbolEngine::GetSymbolPath with the process-wide logger started and writing to
// the console, so the warnings it logs come out on standard output as console lines
// ("[20000] (...):{...} text" for a warning), followed by "path: <path>".
//   symbol_path_child [buffer size | null]
// The size defaults to the engine's own; "null" passes no buffer.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/process_objects.h"
#include "diagnostics/symbol_engine.h"
#include "logging/debug_logger.h"

int main(int argc, char** argv) {
  const bool nullBuffer = argc > 1 && std::strcmp(argv[1], "null") == 0;
  const DWORD size = argc > 1 && !nullBuffer ? std::strtoul(argv[1], nullptr, 10) : SymbolEngine::kSymbolPathBytes;

  DebugLogger& logger = ProcessDebugLogger();
  logger.SetSettingsKey(L"", false);
  logger.SetEventLogEnabled(false);
  logger.SetSysLogEnabled(false);
  logger.SetDebugLogEnabled(false);
  logger.SetConsoleLogEnabled(true);
  if (!logger.Start() || !logger.WaitForRunning(5000)) return 2;

  std::vector<char> buffer(size + 1);
  const char* path = SymbolEngine::GetSymbolPath(nullBuffer ? nullptr : buffer.data(), size);
  logger.Stop();

  std::printf("path: %s\n", path != nullptr ? path : "<null>");
  return 0;
}
