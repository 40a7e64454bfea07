// The process-wide objects, in their start-up order.
//
// C++ builds the namespace-scope objects of one translation unit in the order of their
// definitions and destroys them in the reverse order, so this file alone fixes both the
// start-up order and the teardown order. A new object goes in at its place in the list;
// the relative order of the objects already here never changes.

#include "app/process_objects.h"

#include "diagnostics/new_handler.h"
#include "perf/perf_publisher.h"
#include "perf/perf_table.h"
#include "threading/shared_instance.h"

namespace {

// 1. Allocation failures throw "bad allocation" from here on; the previous handler comes
//    back at exit.
NewHandlerInstallation g_newHandler;

// 2. The performance publisher, which creates or opens the service's cross-process lock.
PerfPublisher g_perfPublisher(kServiceName, g_varrowmereServerTable);

// 3. (to come) The flag that tells whether the ANSI code page is 1252.

// 4. (to come) The charset registry.

// 5. The first shared-instance guard. Destroyed after the shared lock (9), so it is the
//    guard that brings the count to 0 and tears the shared instance down without the lock.
SharedInstanceGuard g_firstSharedInstanceGuard;

// 6. (to come) The debug logger.

// 7. (to come) The thread-name registry.

// 8. The second shared-instance guard.
SharedInstanceGuard g_secondSharedInstanceGuard;

// 9. The lock the shared-instance guards share.
SharedInstanceLock g_sharedInstanceLock;

// 10. (to come) The symbol engine.

// 11. The third shared-instance guard.
SharedInstanceGuard g_thirdSharedInstanceGuard;

}  // namespace

PerfPublisher& ProcessPerfPublisher() { return g_perfPublisher; }
