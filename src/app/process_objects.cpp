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

namespace {

// 1. Allocation failures throw "bad allocation" from here on; the previous handler comes
//    back at exit.
NewHandlerInstallation g_newHandler;

// 2. The performance publisher, which creates or opens the service's cross-process lock.
PerfPublisher g_perfPublisher(kServiceName, g_varrowmereServerTable);

}  // namespace

PerfPublisher& ProcessPerfPublisher() { return g_perfPublisher; }
