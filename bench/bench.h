#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

// Allocations made through the global operator new since the program started.
extern std::atomic<std::uint64_t> g_allocations;

struct BenchResult {
  double callerSeconds = 0;  // until every logging call has returned
  double totalSeconds = 0;   // until every record has been written and the logger stopped
  std::uint64_t allocations = 0;  // during the logging calls
};

double Seconds();  // a monotonic clock

// N calls at a level no output wants, on this thread.
BenchResult OursDisabled(long long calls);
BenchResult PeerDisabled(long long calls);
// N calls from each of T threads at an enabled level; each record becomes one line
// written to the null device.
BenchResult OursEnabled(long long calls, int threads);
BenchResult PeerEnabled(long long calls, int threads);
// The same, each line written to a file and flushed to the system before the next.
BenchResult OursFile(long long calls, int threads, const wchar_t* path);
BenchResult PeerFile(long long calls, int threads, const char* path);
// Lines of a file that hold a generated record.
long long CountRecordLines(const char* path);
