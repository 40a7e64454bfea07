// A second process for the fault translation tests: causes one kind of fault and either
// prints how it was caught or dies of it. The first argument names the case.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <stdexcept>
#include <thread>

#include "diagnostics/structured_exception.h"

namespace {

int* volatile g_nowhere = nullptr;
wchar_t* volatile g_unmappedText = reinterpret_cast<wchar_t*>(16);

// Straight to the output handle, so the parent reads exactly these bytes.
void Report(const char* text) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

__attribute__((noinline)) void FaultInNoexceptFunction() noexcept { *g_nowhere = 1; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const char* mode = argv[1];
  SeTranslatorGuard guard;

  if (std::strcmp(mode, "caught") == 0) {
    try {
      *g_nowhere = 1;
    } catch (const StructuredException& fault) {
      char line[32] = {};
      std::snprintf(line, sizeof(line), "caught 0x%08X\n", static_cast<unsigned>(fault.code));
      Report(line);
    }
    return 0;
  }
  if (std::strcmp(mode, "unguarded-thread") == 0) {
    std::thread unguarded([] {
      try {
        *g_nowhere = 1;
      } catch (...) {
        Report("rescued\n");
      }
    });
    unguarded.join();
    return 0;
  }
  if (std::strcmp(mode, "outside-handler") == 0) {
    *g_nowhere = 1;
    Report("survived\n");
    return 0;
  }
  if (std::strcmp(mode, "no-accepting-handler") == 0) {
    try {
      *g_nowhere = 1;
    } catch (const std::runtime_error&) {
      Report("rescued\n");
    }
    return 0;
  }
  if (std::strcmp(mode, "noexcept-function") == 0) {
    try {
      FaultInNoexceptFunction();
    } catch (...) {
      Report("rescued\n");
    }
    return 0;
  }
  if (std::strcmp(mode, "system-routine") == 0) {
    try {
      ::MultiByteToWideChar(CP_ACP, 0, "text", 4, g_unmappedText, 4);
    } catch (...) {
      Report("rescued\n");
    }
    return 0;
  }
  if (std::strcmp(mode, "run-time-formatter") == 0) {
    try {
      _snwprintf(g_unmappedText, 16, L"%d", 42);
    } catch (...) {
      Report("rescued\n");
    }
    return 0;
  }
  return 2;
}
