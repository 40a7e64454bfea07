// Linked with the process-wide objects: reports each object's start-up and the start of
// its teardown as the objects themselves see it, one line each on standard output:
//   built 4 charset registry: utf-8=65001 | guards=0 lock=no
// The evidence after the colon is read from the object the line names, which is alive at
// that moment; the guard count and the shared lock show where the line falls among the
// guards.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "app/process_objects.h"
#include "diagnostics/new_handler.h"
#include "diagnostics/symbol_engine.h"
#include "logging/debug_logger.h"
#include "logging/thread_names.h"
#include "perf/perf_publisher.h"
#include "text/charset_registry.h"
#include "text/code_page.h"
#include "threading/shared_instance.h"

namespace {

// Straight to the output handle: the C run time's streams may not be there yet, or any
// more.
void Report(const char* text) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

const char* YesNo(bool value) { return value ? "yes" : "no"; }

void Describe(int number, char* evidence, std::size_t size) {
  switch (number) {
    case 1:
      std::snprintf(evidence, size, "handler ours=%s", YesNo(std::get_new_handler() == &ThrowBadAllocation));
      break;
    case 2:
      std::snprintf(evidence, size, "publishers=%d optex=%s", static_cast<int>(PerfPublisher::InstanceCount()),
                    YesNo(ProcessPerfPublisher().Lock().Shared() != nullptr));
      break;
    case 3:
      std::snprintf(evidence, size, "matches GetACP=%s", YesNo(AnsiCodePageIs1252 == (::GetACP() == 1252)));
      break;
    case 4: {
      DWORD codePage = 0;
      ProcessCharsetRegistry().FindCodePage(L"utf-8", &codePage);
      std::snprintf(evidence, size, "utf-8=%lu", static_cast<unsigned long>(codePage));
      break;
    }
    case 6:
      std::snprintf(evidence, size, "debug level=%d running=%s", ProcessDebugLogger().DebugLogLevel(),
                    YesNo(ProcessDebugLogger().IsRunning()));
      break;
    case 7:
      std::snprintf(evidence, size, "enabled=%s", YesNo(ProcessThreadNames().Enabled()));
      break;
    case 10: {
      const SymbolEngine& engine = ProcessSymbolEngine();
      std::snprintf(evidence, size, "path=%s process=%s",
                    YesNo(engine.SymbolPath() != nullptr && engine.SymbolPath()[0] != '\0'),
                    YesNo(engine.Process() != nullptr));
      break;
    }
    default:
      std::snprintf(evidence, size, "-");
      break;
  }
}

void Watch(int number, const char* name, ProcessObjectEvent event) {
  char evidence[128] = {};
  Describe(number, evidence, sizeof(evidence));
  char line[256] = {};
  std::snprintf(line, sizeof(line), "%s %d %s: %s | guards=%d lock=%s\n",
                event == ProcessObjectEvent::Built ? "built" : "down", number, name, evidence,
                static_cast<int>(SharedInstanceGuard::GuardCount()),
                YesNo(SharedInstanceGuard::SharedLock() != nullptr));
  Report(line);
}

// Runs before the process-wide objects, whose initialisers have the default priority.
struct WatcherInstallation {
  WatcherInstallation() noexcept { g_processObjectWatcher = &Watch; }
};
__attribute__((init_priority(101))) WatcherInstallation g_watcherInstallation;

}  // namespace

int main() {
  Report("main\n");
  return 0;
}
