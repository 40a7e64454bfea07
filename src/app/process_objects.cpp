// The process-wide objects, in their start-up order.
//
// C++ builds the namespace-scope objects of one translation unit in the order of their
// definitions and destroys them in the reverse order, so this file alone fixes both the
// start-up order and the teardown order. A new object goes in at its place in the list;
// the relative order of the objects already here never changes.

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

namespace {

// 1. Allocation failures throw "bad allocation" from here on; the previous handler comes
//    back at exit.
NewHandlerInstallation g_newHandler;

// 2. The performance publisher, which creates or opens the service's cross-process lock.
PerfPublisher g_perfPublisher(kServiceName, g_varrowmereServerTable);

}  // namespace

// 3. Whether the system ANSI code page is the Western one, so narrow text can take the
//    built-in Windows-1252 table instead of the system converter. External linkage comes
//    from the declaration in text/code_page.h.
const bool AnsiCodePageIs1252 = ::GetACP() == 1252;

namespace {

// 4. MIME charset names and their code pages, from the registry.
CharsetRegistry g_charsetRegistry;

// 5. The first shared-instance guard. Destroyed after the shared lock (9), so it is the
//    guard that brings the count to 0 and tears the shared instance down without the lock.
SharedInstanceGuard g_firstSharedInstanceGuard;

}  // namespace

// 6. The debug logger, built idle: its thread runs only once its owner starts it. Not in
//    the unnamed namespace: the level gate of every logging call reads it directly.
DebugLogger g_processDebugLogger;

namespace {

// 7. Names of the worker threads, for the thread report of every new debug log file.
ThreadNameRegistry g_threadNames;

// 8. The second shared-instance guard.
SharedInstanceGuard g_secondSharedInstanceGuard;

// 9. The lock the shared-instance guards share.
SharedInstanceLock g_sharedInstanceLock;

// 10. The symbol engine: the debugging-symbol search path, shown on the debugger output.
//     Built after the logger, so its warnings reach the logging calls (which drop them
//     while the logger does not run).
SymbolEngine g_symbolEngine;

// 11. The third shared-instance guard.
SharedInstanceGuard g_thirdSharedInstanceGuard;

}  // namespace

PerfPublisher& ProcessPerfPublisher() { return g_perfPublisher; }
ThreadNameRegistry& ProcessThreadNames() { return g_threadNames; }
CharsetRegistry& ProcessCharsetRegistry() { return g_charsetRegistry; }
SymbolEngine& ProcessSymbolEngine() { return g_symbolEngine; }
