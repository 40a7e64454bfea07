#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <thread>
#include <vector>

#include "bench.h"

BenchResult PeerDisabled(long long calls) {
  auto logger = spdlog::create<spdlog::sinks::null_sink_mt>("disabled");
  logger->set_level(spdlog::level::info);
  BenchResult result;
  const std::uint64_t allocations = g_allocations.load();
  const double start = Seconds();
  for (long long i = 0; i < calls; ++i) logger->debug("debug value {} of {}", static_cast<int>(i), "text");
  result.callerSeconds = Seconds() - start;
  result.allocations = g_allocations.load() - allocations;
  spdlog::shutdown();
  return result;
}

namespace {

BenchResult LogFromThreads(std::shared_ptr<spdlog::logger> logger, long long calls, int threads) {
  BenchResult result;
  const std::uint64_t allocations = g_allocations.load();
  const double start = Seconds();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&logger, calls, t] {
      for (long long i = 0; i < calls; ++i) logger->info("record {} of thread {}", static_cast<int>(i), t);
    });
  }
  for (std::thread& worker : workers) worker.join();
  result.callerSeconds = Seconds() - start;
  result.allocations = g_allocations.load() - allocations;
  logger.reset();
  spdlog::shutdown();  // drains the queue and flushes
  result.totalSeconds = Seconds() - start;
  return result;
}

}  // namespace

BenchResult PeerEnabled(long long calls, int threads) {
  // The peer's asynchronous logger: a queue and one writer thread, like ours; each line
  // goes to the null device.
  spdlog::init_thread_pool(8192, 1);
  return LogFromThreads(spdlog::create_async<spdlog::sinks::basic_file_sink_mt>("enabled", "NUL"), calls, threads);
}

BenchResult PeerFile(long long calls, int threads, const char* path) {
  spdlog::init_thread_pool(8192, 1);
  auto logger = spdlog::create_async<spdlog::sinks::basic_file_sink_mt>("file", path, true);
  logger->flush_on(spdlog::level::info);  // every line reaches the system, as ours does
  return LogFromThreads(logger, calls, threads);
}
