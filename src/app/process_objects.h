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
