// The process-wide objects, in their start-up order.
//
// C++ builds the namespace-scope objects of one translation unit in the order of their
// definitions and destroys them in the reverse order, so this file alone fixes both the
// start-up order and the teardown order. A new object goes in at its place in the list;
// the relative order of the objects already here never changes.
//
// Each object is followed by a mark that tells the watcher (if a program set one) that
// the object is built, and, being destroyed just before the object, that its teardown
// begins.

#include "app/process_objects.h"

#include "diagnostics/new_handler.h"
#include "diagnostics/symbol_engine.h"
#include "logging/debug_logger.h"
#include "logging/thread_names.h"
#include "perf/perf_publisher.h"
#include "perf/perf_table.h"
#include "text/charset_registry.h"
#include "text/code_page.h"
#include "threading/shared_instance.h"

// Constant-initialised: set before any object below is built.
ProcessObjectWatcher g_processObjectWatcher = nullptr;
// The thresholds the gate of every logging call reads; constant-initialised too, so a
// logging call made while any object below is built or torn down reads valid values.
LogThresholds g_processLogThresholds;

namespace {

class StartupMark {
 public:
  enum class Teardown { Told, None };

  StartupMark(int number, const char* name, Teardown teardown = Teardown::Told) noexcept
      : number_(number), name_(name), teardown_(teardown) {
    Tell(ProcessObjectEvent::Built);
  }
  ~StartupMark() {
    if (teardown_ == Teardown::Told) Tell(ProcessObjectEvent::TearingDown);
  }
  StartupMark(const StartupMark&) = delete;
  StartupMark& operator=(const StartupMark&) = delete;

 private:
  void Tell(ProcessObjectEvent event) const noexcept {
    if (g_processObjectWatcher != nullptr) g_processObjectWatcher(number_, name_, event);
  }

  int number_;
  const char* name_;
  Teardown teardown_;
};

// 1. Allocation failures throw "bad allocation" from here on; the previous handler comes
//    back at exit.
NewHandlerInstallation g_newHandler;
StartupMark g_newHandlerMark(1, "allocation-failure handler");

// 2. The performance publisher, which creates or opens the service's cross-process lock.
PerfPublisher g_perfPublisher(kServiceName, g_varrowmereServerTable);
StartupMark g_perfPublisherMark(2, "performance publisher");

}  // namespace

// 3. Whether the system ANSI code page is the Western one, so narrow text can take the
//    built-in Windows-1252 table instead of the system converter. External linkage comes
//    from the declaration in text/code_page.h. It has no teardown.
const bool AnsiCodePageIs1252 = ::GetACP() == 1252;

namespace {

StartupMark g_codePageFlagMark(3, "code-page flag", StartupMark::Teardown::None);

// 4. MIME charset names and their code pages, from the registry.
CharsetRegistry g_charsetRegistry;
StartupMark g_charsetRegistryMark(4, "charset registry");

// 5. The first shared-instance guard. Destroyed after the shared lock (9), so it is the
//    guard that brings the count to 0 and tears the shared instance down without the lock.
SharedInstanceGuard g_firstSharedInstanceGuard;
StartupMark g_firstSharedInstanceGuardMark(5, "first shared-instance guard");

}  // namespace

// 6. The debug logger, built idle: its thread runs only once its owner starts it. Not in
//    the unnamed namespace: the level gate of every logging call reads it directly.
DebugLogger g_processDebugLogger(g_processLogThresholds);

namespace {

StartupMark g_debugLoggerMark(6, "debug logger");

// 7. Names of the worker threads, for the thread report of every new debug log file.
ThreadNameRegistry g_threadNames;
StartupMark g_threadNamesMark(7, "thread-name registry");

// 8. The second shared-instance guard.
SharedInstanceGuard g_secondSharedInstanceGuard;
StartupMark g_secondSharedInstanceGuardMark(8, "second shared-instance guard");

// 9. The lock the shared-instance guards share.
SharedInstanceLock g_sharedInstanceLock;
StartupMark g_sharedInstanceLockMark(9, "shared-instance lock");

// 10. The symbol engine: the debugging-symbol search path, shown on the debugger output.
//     Built after the logger, so its warnings reach the logging calls (which drop them
//     while the logger does not run).
SymbolEngine g_symbolEngine;
StartupMark g_symbolEngineMark(10, "symbol engine");

// 11. The third shared-instance guard.
SharedInstanceGuard g_thirdSharedInstanceGuard;
StartupMark g_thirdSharedInstanceGuardMark(11, "third shared-instance guard");

}  // namespace

PerfPublisher& ProcessPerfPublisher() { return g_perfPublisher; }
ThreadNameRegistry& ProcessThreadNames() { return g_threadNames; }
CharsetRegistry& ProcessCharsetRegistry() { return g_charsetRegistry; }
SymbolEngine& ProcessSymbolEngine() { return g_symbolEngine; }
