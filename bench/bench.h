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
#define BENCH_MESSAGE_NARROW "record %d of thread %d: some payload text"
#define BENCH_MESSAGE_PEER "record {} of thread {}: some payload text"

// Calls timed together between two readings of the time stamp counter. A call lasts a few
// hundred nanoseconds, not far above the clock's step and the cost of reading it as a
// virtual machine under Wine shows them: calls timed one by one gave both loggers the same
// median, one step of the clock. A batch of this many makes both small against the calls,
// and is still short enough that a preemption shows as one slow batch, not as a slower
// median.
constexpr int kCallsPerTimedBatch = 32;

struct BenchResult {
  double callerSeconds = 0;       // until every logging call has returned
  double totalSeconds = 0;        // until every record is on disk and the logger stopped
  double drainSeconds = 0;        // from the release of a full queue until every line is on disk
  std::uint64_t allocations = 0;  // by the calling threads, during their logging calls
  std::vector<std::uint32_t> batchTicks;  // one entry per timed batch, when the calls are timed
  double queuedBytesPerRecord = 0;        // the queue's own count, where it keeps one
  double workingSetBytesPerRecord = 0;    // growth of the working set while records wait
  // Processor time (user and system) of the thread that writes the lines, per line, over
  // the drain; negative where it could not be measured.
  double writerProcessorSecondsPerLine = -1;
};

// What a run of producers logs and how the queue is bounded.
struct FileRun {
  long long calls = 0;  // per producer
  int threads = 1;
  bool timeCalls = false;    // the first producer's calls timed in batches
  bool narrowCalls = false;  // ours: the narrow call with the narrow format
  // Ours: the byte bound of the queue (0: none). The peer: the records its queue holds
  // before its callers wait (0: every record of the run).
  std::size_t queueBytes = 0;
  std::size_t queueRecords = 0;
};

double Seconds();               // a monotonic clock
std::uint64_t Ticks();          // the processor's time stamp counter
double TicksPerNanosecond();    // measured against the monotonic clock
std::size_t WorkingSetBytes();  // the process's working set now
// User and system time the thread has run; the calling thread's with GetCurrentThread().
// Wine answers 0 for a thread that has ended, so it is read while the thread runs.
double ThreadProcessorSeconds(HANDLE thread);

// Holds the thread that writes the lines at its first line while asked, then clocks that
// thread's processor time over the drain that follows. The writer calls BeforeLine before
// it writes each line; Hold and Release belong to the thread that fills the queue.
class WriterDrainClock {
 public:
  void Hold() { hold_ = true; }
  void Release() { hold_ = false; }
  // lastLine: no line waits behind this one.
  void BeforeLine(bool lastLine) {
    ++lines_;
    if (hold_.load()) {
      while (hold_.load()) ::Sleep(1);
      startSeconds_ = ThreadProcessorSeconds(::GetCurrentThread());
      startLine_ = lines_;
    }
    if (lastLine && lines_ > startLine_) {
      secondsPerLine_ = (ThreadProcessorSeconds(::GetCurrentThread()) - startSeconds_) /
                        static_cast<double>(lines_ - startLine_);
    }
  }
  // Once the writer has ended; negative when the drain never reached its last line.
  double SecondsPerLine() const { return secondsPerLine_; }

 private:
  std::atomic<bool> hold_{false};
  // The writer's own, read by others only after it has ended.
  long long lines_ = 0;
  long long startLine_ = 0;
  double startSeconds_ = 0;
  double secondsPerLine_ = -1;
};

// Runs the calls of `threads` producers, `calls` each, through logOne(i, thread), and
// fills the caller's figures: the time until every call has returned, the producers'
// allocations and, with timeCalls, the time of each batch of the first producer's calls.
template <typename LogOne>
void RunProducers(long long calls, int threads, bool timeCalls, LogOne logOne, BenchResult* result) {
  if (timeCalls) result->batchTicks.reserve(static_cast<std::size_t>(calls / kCallsPerTimedBatch));
  std::atomic<std::uint64_t> allocations{0};
  const auto producer = [&](int thread) {
    const std::uint64_t before = t_allocations;
    long long i = 0;
    if (thread == 0 && timeCalls) {
      for (; i + kCallsPerTimedBatch <= calls; i += kCallsPerTimedBatch) {
        const std::uint64_t start = Ticks();
        for (int call = 0; call < kCallsPerTimedBatch; ++call) logOne(i + call, thread);
        result->batchTicks.push_back(static_cast<std::uint32_t>(Ticks() - start));
      }
    }
    for (; i < calls; ++i) logOne(i, thread);
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
// Calls from each of the run's threads at an enabled level, every line to the file and
// flushed to the system.
BenchResult OursFile(const FileRun& run, const char* path);
BenchResult PeerFile(const FileRun& run, const char* path);
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
