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

// The file output on, every line flushed to the system (the output always does), nothing
// else: no event log, no console, no report at the head of the file, no size limit.
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

// The calls of one thread; adds the allocations they made to *allocations.
void LogCalls(long long calls, int thread, std::vector<std::uint32_t>* callTicks,
              std::atomic<std::uint64_t>* allocations) {
  const std::uint64_t before = t_allocations;
  if (callTicks == nullptr) {
    for (long long i = 0; i < calls; ++i) LogMessage(kLogInformation, BENCH_MESSAGE_WIDE, static_cast<int>(i), thread);
  } else {
    std::uint32_t* tick = callTicks->data();
    for (long long i = 0; i < calls; ++i) {
      const std::uint64_t start = Ticks();
      LogMessage(kLogInformation, BENCH_MESSAGE_WIDE, static_cast<int>(i), thread);
      *tick++ = static_cast<std::uint32_t>(Ticks() - start);
    }
  }
  *allocations += t_allocations - before;
}

std::atomic<bool> g_holdLoggerThread{false};
void HoldWhileAsked(const LogRecord&) {
  while (g_holdLoggerThread.load()) ::Sleep(1);
}

}  // namespace

BenchResult OursDisabled(long long calls, const char* path) {
  StartFileLogger(path);
  // Another thread holds the queue's lock and the thread-name lock for the whole loop:
  // a disabled call that tried to take either would never return.
  Event held(true, false);
  Event done(true, false);
  std::thread holder([&] {
    CriticalSectionLock queue(&ProcessDebugLogger().Queue().lock());
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

BenchResult OursFile(long long calls, int threads, const char* path, bool timeCalls) {
  StartFileLogger(path);
  BenchResult result;
  if (timeCalls) result.callTicks.resize(static_cast<std::size_t>(calls));
  std::atomic<std::uint64_t> allocations{0};
  const double start = Seconds();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back(LogCalls, calls, t, t == 0 && timeCalls ? &result.callTicks : nullptr, &allocations);
  }
  for (std::thread& worker : workers) worker.join();
  result.callerSeconds = Seconds() - start;
  result.allocations = allocations;
  ProcessDebugLogger().Stop();  // writes every queued record first
  result.totalSeconds = Seconds() - start;
  return result;
}

BenchResult OursQueued(long long calls, const char* path) {
  DebugLogger& logger = ProcessDebugLogger();
  // Every record is to wait in the queue, so the byte bound must not make the caller wait.
  logger.SetQueueByteLimit(0);
  g_holdLoggerThread = true;
  logger.SetRecordHook(&HoldWhileAsked);
  StartFileLogger(path);

  BenchResult result;
  const std::size_t workingSet = WorkingSetBytes();
  std::atomic<std::uint64_t> allocations{0};
  const double start = Seconds();
  LogCalls(calls, 0, nullptr, &allocations);
  result.callerSeconds = Seconds() - start;
  result.allocations = allocations;
  const LogQueue& queue = logger.Queue();
  result.queuedBytesPerRecord = static_cast<double>(queue.Bytes()) / static_cast<double>(queue.Length());
  result.workingSetBytesPerRecord =
      static_cast<double>(WorkingSetBytes() - workingSet) / static_cast<double>(queue.Length());
  const double drainStart = Seconds();
  g_holdLoggerThread = false;
  logger.Stop();
  result.drainSeconds = Seconds() - drainStart;
  result.totalSeconds = Seconds() - start;
  return result;
}
