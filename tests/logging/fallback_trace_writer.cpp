// Another process appending to the fallback trace: it waits for a named event, so that
// several of it start writing at the same moment, then writes its lines.
//   fallback_trace_writer <event name> <writer name> <lines>
// Each line's text is "<writer name> line <n>", with the writer's name as the function.

#include <windows.h>

#include <cwchar>
#include <string>

#include "logging/fallback_trace.h"
#include "win32/unique_resource.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  const UniqueHandle start(::OpenEventW(SYNCHRONIZE, FALSE, argv[1]));
  if (!start || ::WaitForSingleObject(start.get(), 60000) != WAIT_OBJECT_0) return 1;
  const std::wstring name = argv[2];
  const std::string function(name.begin(), name.end());
  const int lines = std::wcstol(argv[3], nullptr, 10);
  for (int n = 0; n < lines; ++n) {
    const std::wstring text = name + L" line " + std::to_wstring(n);
    WriteFallbackTrace(3, 0, 0, 0, text.c_str(), function.c_str(), 0, nullptr);
  }
  return 0;
}
