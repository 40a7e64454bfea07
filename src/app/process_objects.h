#pragma once

#include "logging/debug_logger.h"
#include "logging/thread_names.h"
#include "perf/perf_publisher.h"

// The process-wide objects. They are defined, in their start-up order, in
// process_objects.cpp; a program gets them by linking the varrowmere_process target.
// Each is reached through the accessor its own subsystem declares (ProcessDebugLogger,
// ProcessThreadNames, ProcessPerfPublisher, ProcessCharsetRegistry, ProcessSymbolEngine),
// so no library code depends on this folder.

// Told about each process-wide object in turn: once it is built, and again just before
// its teardown begins (the code-page flag has none). A program that wants to watch the
// start-up order sets the watcher from an initialiser that runs before the process-wide
// objects (GCC's init_priority); null, the default, tells no one. Runs on the single
// thread of start-up and exit, where the C run time's streams may not be usable.
enum class ProcessObjectEvent { Built, TearingDown };
using ProcessObjectWatcher = void (*)(int number, const char* name, ProcessObjectEvent event);
extern ProcessObjectWatcher g_processObjectWatcher;
