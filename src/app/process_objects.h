#pragma once

class PerfPublisher;

// Accessors of the process-wide objects. They are defined, in their start-up order, in
// process_objects.cpp; a program gets them by linking the varrowmere_process target.
PerfPublisher& ProcessPerfPublisher();
