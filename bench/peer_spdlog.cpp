#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/sink.h>
#include <spdlog/spdlog.h>

#include <thread>
#include <vector>

#include "bench.h"

// The peer as its users run it for the same job: its asynchronous logger (a queue and one
// writer thread, like ours) with its file sink, every line flushed to the system.

namespace {

std::shared_ptr<spdlog::logger> FileLogger(const char* path, std::size_t queueRecords) {
  spdlog::init_thread_pool(queueRecords, 1);
  auto logger = spdlog::create_async<spdlog::sinks::basic_file_sink_mt>("file", path, true);
  logger->flush_on(spdlog::level::info);
  return logger;
}

// Drains the queue and flushes; the figures run until it returns.
void Finish(std::shared_ptr<spdlog::logger> logger) {
  logger.reset();
  spdlog::shutdown();
}

// Holds the writer thread at its first record while asked and clocks the drain, then
// writes like the file sink.
class HeldFileSink : public spdlog::sinks::sink {
 public:
  HeldFileSink(const char* path, WriterDrainClock* clock, long long lines)
      : file_(std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, true)), clock_(clock), lines_(lines) {}
  void log(const spdlog::details::log_msg& message) override {
    clock_->BeforeLine(++taken_ == lines_);
    file_->log(message);
  }
  void flush() override { file_->flush(); }
  void set_pattern(const std::string& pattern) override { file_->set_pattern(pattern); }
  void set_formatter(std::unique_ptr<spdlog::formatter> formatter) override {
    file_->set_formatter(std::move(formatter));
  }

 private:
  std::shared_ptr<spdlog::sinks::basic_file_sink_mt> file_;
  WriterDrainClock* clock_;
  const long long lines_;  // the drain's, all queued before it starts
  long long taken_ = 0;    // the writer thread's own
};

}  // namespace

BenchResult PeerDisabled(long long calls, const char* path) {
  auto logger = FileLogger(path, 8192);
  BenchResult result;
  const std::uint64_t allocations = t_allocations;
  const double start = Seconds();
  for (long long i = 0; i < calls; ++i) logger->debug(BENCH_MESSAGE_PEER, static_cast<int>(i), 0);
  result.callerSeconds = Seconds() - start;
  result.allocations = t_allocations - allocations;
  Finish(std::move(logger));
  result.totalSeconds = Seconds() - start;
  return result;
}

BenchResult PeerFile(const FileRun& run, const char* path) {
  const std::size_t everyRecord = static_cast<std::size_t>(run.calls) * static_cast<std::size_t>(run.threads);
  auto logger = FileLogger(path, run.queueRecords != 0 ? run.queueRecords : everyRecord);
  BenchResult result;
  const double start = Seconds();
  RunProducers(
      run.calls, run.threads, run.timeCalls,
      [&logger](long long i, int thread) { logger->info(BENCH_MESSAGE_PEER, static_cast<int>(i), thread); }, &result);
  Finish(std::move(logger));
  result.totalSeconds = Seconds() - start;
  return result;
}

BenchResult PeerQueued(long long calls, const char* path) {
  // The ring the peer's queue needs to hold every record is part of what queueing costs.
  const std::size_t workingSet = WorkingSetBytes();
  WriterDrainClock clock;
  clock.Hold();
  spdlog::init_thread_pool(static_cast<std::size_t>(calls) + 16, 1);
  auto logger = std::make_shared<spdlog::async_logger>(
      "queued", std::make_shared<HeldFileSink>(path, &clock, calls), spdlog::thread_pool());
  logger->flush_on(spdlog::level::info);

  BenchResult result;
  const double start = Seconds();
  RunProducers(
      calls, 1, false,
      [&logger](long long i, int thread) { logger->info(BENCH_MESSAGE_PEER, static_cast<int>(i), thread); }, &result);
  result.workingSetBytesPerRecord = static_cast<double>(WorkingSetBytes() - workingSet) / static_cast<double>(calls);
  const double drainStart = Seconds();
  clock.Release();
  Finish(std::move(logger));
  result.drainSeconds = Seconds() - drainStart;
  result.totalSeconds = Seconds() - start;
  result.writerProcessorSecondsPerLine = clock.SecondsPerLine();
  return result;
}
