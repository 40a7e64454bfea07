#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/process_objects.h"
#include "bench.h"
#include "logging/debug_logger.h"
#include "logging/logging_calls.h"
#include "logging/thread_names.h"

namespace {

std::wstring Wide(const char* ascii) { return std::wstring(ascii, ascii + std::strlen(ascii)); }

// The file output on, every line in the system whenever the logger thread waits (the
// output always writes a drain's lines before it), nothing else: no event log, no
// console, no report at the head of the file, no size limit.
void StartFileLogger(const char* path) {
  DebugLogger& logger = ProcessDebugLogger();
  logger.SetEventLogEnabled(false);
  logger.SetDebugFilePath(Wide(path));
  logger.SetDebugLogEnabled(true);
  logger.SetMaxFileSize(0);
  logger.SetReportOnOpen(false);
  logger.Start();
  logger.WaitForRunning(INFINITE);
}

void LogOne(long long i, int thread) { LogMessage(kLogInformation, BENCH_MESSAGE_WIDE, static_cast<int>(i), thread); }
void LogOneNarrow(long long i, int thread) {
  LogMessageA(kLogInformation, BENCH_MESSAGE_NARROW, static_cast<int>(i), thread);
}

WriterDrainClock g_drainClock;
void BeforeEachLine(const LogRecord&) { g_drainClock.BeforeLine(ProcessDebugLogger().Queue().Length() == 0); }

}  // namespace

BenchResult OursDisabled(long long calls, const char* path) {
  StartFileLogger(path);
  // Another thread holds the thread-name lock for the whole loop: a disabled call that
  // tried to take it would never return. (The queue takes no lock at all.)
  Event held(true, false);
  Event done(true, false);
  std::thread holder([&] {
    ThreadNameRegistry::Iterator at;
    DWORD id;
    std::string name;
    const bool walking = ProcessThreadNames().First(&at, &id, &name);
    held.Set();
    done.Wait(-1);
    while (walking && ProcessThreadNames().Next(&at, &id, &name)) {
    }
  });
  held.Wait(-1);

  BenchResult result;
  const std::uint64_t allocations = t_allocations;
  const double start = Seconds();
  for (long long i = 0; i < calls; ++i) LogMessage(kLogDebug, BENCH_MESSAGE_WIDE, static_cast<int>(i), 0);
  result.callerSeconds = Seconds() - start;
  result.allocations = t_allocations - allocations;
  done.Set();
  holder.join();
  ProcessDebugLogger().Stop();
  result.totalSeconds = Seconds() - start;
  return result;
}

BenchResult OursFile(const FileRun& run, const char* path) {
  // Without a bound the queue has room for the whole run, as the peer's gets: the callers'
  // cost is measured, not the writer's pace.
  ProcessDebugLogger().SetQueueByteLimit(run.queueBytes);
  StartFileLogger(path);
  BenchResult result;
  const double start = Seconds();
  if (run.narrowCalls) {
    RunProducers(run.calls, run.threads, run.timeCalls, [](long long i, int thread) { LogOneNarrow(i, thread); },
                 &result);
  } else {
    RunProducers(run.calls, run.threads, run.timeCalls, [](long long i, int thread) { LogOne(i, thread); }, &result);
  }
  ProcessDebugLogger().Stop();  // writes every queued record first
  result.totalSeconds = Seconds() - start;
  return result;
}

BenchResult OursQueued(long long calls, const char* path) {
  DebugLogger& logger = ProcessDebugLogger();
  // Every record is to wait in the queue, so the byte bound must not make the caller wait.
  logger.SetQueueByteLimit(0);
  g_drainClock.Hold();
  logger.SetRecordHook(&BeforeEachLine);
  StartFileLogger(path);

  BenchResult result;
  const std::size_t workingSet = WorkingSetBytes();
  const double start = Seconds();
  RunProducers(calls, 1, false, LogOne, &result);
  const LogQueue& queue = logger.Queue();
  result.queuedBytesPerRecord = static_cast<double>(queue.Bytes()) / static_cast<double>(queue.Length());
  result.workingSetBytesPerRecord =
      static_cast<double>(WorkingSetBytes() - workingSet) / static_cast<double>(queue.Length());
  const double drainStart = Seconds();
  g_drainClock.Release();
  logger.Stop();
  result.drainSeconds = Seconds() - drainStart;
  result.totalSeconds = Seconds() - start;
  result.writerProcessorSecondsPerLine = g_drainClock.SecondsPerLine();
  return result;
}
