// A second process for the fault translation tests: causes one kind of fault under a
// translator guard and either prints how it was caught or dies of it. The first argument
// names the fault site. Built at the release optimisation level and at -O0, like the
// tests that start it.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <exception>
#include <stdexcept>
#include <thread>

#include "diagnostics/structured_exception.h"
#include "text/cp1252.h"
#include "text/utf_conversion.h"
#include "threading/critical_section.h"
#include "threading/event.h"

namespace {

// Values the compiler cannot see through, so every fault happens where it is written.
int* volatile g_nowhere = nullptr;
volatile int g_zero = 0;
volatile int g_sink = 0;
// Inside the never-mapped first page of the address space.
wchar_t* volatile g_unmappedText = reinterpret_cast<wchar_t*>(16);
char* volatile g_unmappedBytes = reinterpret_cast<char*>(16);
Event* volatile g_unmappedEvent = reinterpret_cast<Event*>(16);
CriticalSection* volatile g_unmappedLock = reinterpret_cast<CriticalSection*>(16);

// Straight to the output handle, so the parent reads exactly these bytes.
void Report(const char* text) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

void ReportCaught(const StructuredException& fault, const char* extra = "") {
  char line[128] = {};
  std::snprintf(line, sizeof(line), "caught 0x%08X%s\n", static_cast<unsigned>(fault.code), extra);
  Report(line);
}

__attribute__((noinline)) void FaultInNoexceptFunction() noexcept { *g_nowhere = 1; }

// A frame of ours without handlers or cleanups between the guarded block and the C run
// time's routine.
__attribute__((noinline)) std::size_t LengthThroughOurFrame(const wchar_t* text) {
  const std::size_t length = std::wcslen(text);
  g_sink = static_cast<int>(length);
  return length;
}

// Two frames down from the guarded block, holding a lock and a cleanup, past a handler
// that takes another type only.
struct Cleanups {
  int runs = 0;
  int uncaughtWhileUnwinding = -1;
};

struct Cleanup {
  Cleanups* cleanups;
  ~Cleanup() {
    ++cleanups->runs;
    cleanups->uncaughtWhileUnwinding = std::uncaught_exceptions();
  }
};

__attribute__((noinline)) void FaultWhileHoldingLock(CriticalSection* lock, Cleanups* cleanups) {
  CriticalSectionLock hold(lock);
  Cleanup cleanup{cleanups};
  *g_nowhere = 3;
}

__attribute__((noinline)) void PassThroughNarrowerHandler(CriticalSection* lock, Cleanups* cleanups) {
  try {
    FaultWhileHoldingLock(lock, cleanups);
  } catch (const std::runtime_error&) {
    Report("taken by the narrower handler\n");
  }
}

int TwoFramesDown() {
  CriticalSection lock;
  Cleanups cleanups;
  try {
    PassThroughNarrowerHandler(&lock, &cleanups);
  } catch (const StructuredException& fault) {
    const int uncaughtInHandler = std::uncaught_exceptions();
    bool takenElsewhere = false;
    std::thread other([&] {
      CriticalSectionLock hold(&lock);
      takenElsewhere = true;
    });
    other.join();
    char extra[80] = {};
    std::snprintf(extra, sizeof(extra), " cleanups %d uncaught while unwinding %d in handler %d lock %s",
                  cleanups.runs, cleanups.uncaughtWhileUnwinding, uncaughtInHandler,
                  takenElsewhere && lock.Count() == 0 && lock.Owner() == 0 ? "released" : "held");
    ReportCaught(fault, extra);
  }
  return 0;
}

// Says what the exception being handled is; called from a catch block.
void ReportHandledException() {
  try {
    throw;
  } catch (const StructuredException& fault) {
    ReportCaught(fault);
  } catch (...) {
    Report("rescued\n");
  }
}

// strlen and wcslen called straight from the function that holds the guarded block.
int LengthsInGuardedBlock(bool wide) {
  try {
    g_sink = static_cast<int>(wide ? std::wcslen(g_unmappedText) : std::strlen(g_unmappedBytes));
    Report("no fault\n");
  } catch (...) {
    ReportHandledException();
  }
  return 0;
}

struct Site {
  const char* name;
  void (*fault)();
};

// Each runs inside `try { } catch (const StructuredException&)` on the guarded main thread.
const Site kGuardedSites[] = {
    {"own-code-write", [] { *g_nowhere = 1; }},
    {"own-code-divide", [] { g_sink = 10 / g_zero; }},
    {"run-time-routine-through-our-frame", [] { LengthThroughOurFrame(g_unmappedText); }},
    {"utf16-to-utf8",
     [] {
       const wchar_t* source = g_unmappedText;
       char target[16];
       char* at = target;
       Utf16ToUtf8(source, source + 4, at, target + 16, UTF_STRICT);
     }},
    {"utf8-to-utf16",
     [] {
       const char* source = g_unmappedBytes;
       wchar_t target[16];
       wchar_t* at = target;
       Utf8ToUtf16(source, source + 4, at, target + 16, UTF_STRICT);
     }},
    {"cp1252-to-wide",
     [] {
       const char* source = g_unmappedBytes;
       wchar_t target[16];
       wchar_t* at = target;
       Cp1252ToWide(source, source + 4, at, target + 16);
     }},
    {"wide-to-cp1252",
     [] {
       const wchar_t* source = g_unmappedText;
       char target[16];
       char* at = target;
       WideToCp1252(source, source + 4, at, target + 16, kCp1252DefaultByte);
     }},
    {"event-set", [] { g_unmappedEvent->Set(); }},
    {"critical-section-enter", [] { g_unmappedLock->Enter(); }},
    {"noexcept-function", [] { FaultInNoexceptFunction(); }},
    {"multibyte-to-wide-char", [] { ::MultiByteToWideChar(CP_ACP, 0, "text", 4, g_unmappedText, 4); }},
    {"run-time-formatter", [] { _snwprintf(g_unmappedText, 16, L"%d", 42); }},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const char* site = argv[1];
  SeTranslatorGuard guard;

  for (const Site& guarded : kGuardedSites) {
    if (std::strcmp(site, guarded.name) != 0) continue;
    try {
      guarded.fault();
      Report("no fault\n");
    } catch (...) {
      ReportHandledException();
    }
    return 0;
  }
  if (std::strcmp(site, "two-frames-down") == 0) return TwoFramesDown();
  if (std::strcmp(site, "strlen-in-guarded-block") == 0) return LengthsInGuardedBlock(false);
  if (std::strcmp(site, "wcslen-in-guarded-block") == 0) return LengthsInGuardedBlock(true);
  if (std::strcmp(site, "unguarded-thread") == 0) {
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
  if (std::strcmp(site, "outside-handler") == 0) {
    *g_nowhere = 1;
    Report("survived\n");
    return 0;
  }
  if (std::strcmp(site, "no-accepting-handler") == 0) {
    try {
      *g_nowhere = 1;
    } catch (const std::runtime_error&) {
      Report("rescued\n");
    }
    return 0;
  }
  return 2;
}
