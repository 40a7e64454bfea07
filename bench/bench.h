#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

// Allocations made through the global operator new by this thread.
extern thread_local std::uint64_t t_allocations;

// Every run logs the same shape of message, so both loggers hold and write the same text.
#define BENCH_MESSAGE_WIDE L"record %d of thread %d: some payload text"
#define BENCH_MESSAGE_PEER "record {} of thread {}: some payload text"

struct BenchResult {
  double callerSeconds = 0;       // until every logging call has returned
  double totalSeconds = 0;        // until every record is on disk and the logger stopped
  double drainSeconds = 0;        // from the release of a full queue until every line is on disk
  std::uint64_t allocations = 0;  // by the calling threads, during their logging calls
  std::vector<std::uint32_t> callTicks;  // one entry per call, when the calls are timed
  double queuedBytesPerRecord = 0;       // the queue's own count, where it keeps one
  double workingSetBytesPerRecord = 0;   // growth of the working set while records wait
};

double Seconds();               // a monotonic clock
std::uint64_t Ticks();          // the processor's time stamp counter, for one call
double TicksPerNanosecond();    // measured against the monotonic clock
std::size_t WorkingSetBytes();  // the process's working set now

// Runs the calls of `threads` producers, `calls` each, through logOne(i, thread), and
// fills the caller's figures: the time until every call has returned, the producers'
// allocations and, with timeCalls, the time of each call of the first producer.
template <typename LogOne>
void RunProducers(long long calls, int threads, bool timeCalls, LogOne logOne, BenchResult* result) {
  if (timeCalls) result->callTicks.resize(static_cast<std::size_t>(calls));
  std::atomic<std::uint64_t> allocations{0};
  const auto producer = [&](int thread) {
    const std::uint64_t before = t_allocations;
    if (thread == 0 && timeCalls) {
      std::uint32_t* tick = result->callTicks.data();
      for (long long i = 0; i < calls; ++i) {
        const std::uint64_t start = Ticks();
        logOne(i, thread);
        *tick++ = static_cast<std::uint32_t>(Ticks() - start);
      }
    } else {
      for (long long i = 0; i < calls; ++i) logOne(i, thread);
    }
    allocations += t_allocations - before;
  };
  const double start = Seconds();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) workers.emplace_back(producer, t);
  for (std::thread& worker : workers) worker.join();
  result->callerSeconds = Seconds() - start;
  result->allocations = allocations;
}

// Calls at a level no output wants, on this thread, with the file output on.
BenchResult OursDisabled(long long calls, const char* path);
BenchResult PeerDisabled(long long calls, const char* path);
// Calls from each of T threads at an enabled level, every line to the file and flushed
// to the system. With timeCalls, each call of the first thread is timed on its own.
BenchResult OursFile(long long calls, int threads, const char* path, bool timeCalls);
// queueRecords: the peer's queue holds that many records (its callers wait beyond).
BenchResult PeerFile(long long calls, int threads, const char* path, bool timeCalls, std::size_t queueRecords);
// Calls from one thread while the logger thread is held at its first record, so every
// record waits in the queue; then the hold is released and the queue drained to the file.
BenchResult OursQueued(long long calls, const char* path);
BenchResult PeerQueued(long long calls, const char* path);
// The floor of the file scenario: the lines written with one WriteFile each.
BenchResult FloorFile(long long lines, const char* path);

// Where a call's and a line's time goes, step by step.
void PrintProfile(long long iterations);

// Lines of a file that hold a generated record.
long long CountRecordLines(const char* path);
