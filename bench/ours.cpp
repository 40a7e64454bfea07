#include <thread>
#include <vector>

#include "app/process_objects.h"
#include "bench.h"
#include "logging/debug_logger.h"
#include "logging/logging_calls.h"
#include "logging/thread_names.h"

namespace {

// Every line the logger writes goes to the null device, so the figures are the logger's.
void ConsoleToNullDevice() {
  const HANDLE null = ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ::SetStdHandle(STD_OUTPUT_HANDLE, null);
}

void StartLogger() {
  DebugLogger& logger = ProcessDebugLogger();
  logger.SetEventLogEnabled(false);
  logger.SetConsoleLogEnabled(true);
  logger.Start();
  logger.WaitForRunning(INFINITE);
}

// N records from each of T threads; the figures run until the logger has stopped, which
// writes every queued record first.
BenchResult LogFromThreads(long long calls, int threads) {
  BenchResult result;
  const std::uint64_t allocations = g_allocations.load();
  const double start = Seconds();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([calls, t] {
      for (long long i = 0; i < calls; ++i) {
        LogMessage(kLogInformation, L"record %d of thread %d", static_cast<int>(i), t);
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  result.callerSeconds = Seconds() - start;
  result.allocations = g_allocations.load() - allocations;
  ProcessDebugLogger().Stop();  // writes every queued record first
  result.totalSeconds = Seconds() - start;
  return result;
}

}  // namespace

BenchResult OursDisabled(long long calls) {
  RegisterThreadName("bench");  // so the registry has an entry the walk below holds
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
  const std::uint64_t allocations = g_allocations.load();
  const double start = Seconds();
  for (long long i = 0; i < calls; ++i) {
    LogMessage(kLogDebug, L"debug value %d of %s", static_cast<int>(i), L"text");
  }
  result.callerSeconds = Seconds() - start;
  result.allocations = g_allocations.load() - allocations;
  done.Set();
  holder.join();
  return result;
}

BenchResult OursEnabled(long long calls, int threads) {
  ConsoleToNullDevice();
  StartLogger();
  return LogFromThreads(calls, threads);
}

BenchResult OursFile(long long calls, int threads, const wchar_t* path) {
  DebugLogger& logger = ProcessDebugLogger();
  logger.SetEventLogEnabled(false);
  logger.SetDebugFilePath(path);
  logger.SetDebugLogEnabled(true);
  logger.SetMaxFileSize(0);
  logger.SetReportOnOpen(false);
  logger.Start();
  logger.WaitForRunning(INFINITE);
  return LogFromThreads(calls, threads);
}
