#pragma once

class DebugLogger;
class PerfPublisher;
class ThreadNameRegistry;

// The process-wide objects. They are defined, in their start-up order, in
// process_objects.cpp; a program gets them by linking the varrowmere_process target.
//
// The logger is reached through a plain object rather than a function so that the level
// gate of every logging call is a few loads with no call.
extern DebugLogger g_processDebugLogger;

inline DebugLogger& ProcessDebugLogger() { return g_processDebugLogger; }
ThreadNameRegistry& ProcessThreadNames();
PerfPublisher& ProcessPerfPublisher();

// Told about each process-wide object in turn: once it is built, and again just before
// its teardown begins (the code-page flag has none). A program that wants to watch the
// start-up order sets the watcher from an initialiser that runs before the process-wide
// objects (GCC's init_priority); null, the default, tells no one. Runs on the single
// thread of start-up and exit, where the C run time's streams may not be usable.
enum class ProcessObjectEvent { Built, TearingDown };
using ProcessObjectWatcher = void (*)(int number, const char* name, ProcessObjectEvent event);
extern ProcessObjectWatcher g_processObjectWatcher;
