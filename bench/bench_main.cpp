// varrowmere-bench <scenario> <ours|spdlog|floor> [calls] [bound]
//   disabled  calls at a level no output wants
//   enabled1  one producer, its calls timed in batches; the file output on
//   narrow1   the same through the narrow call and format (the peer: its usual call)
//   enabled4  four producers; the file output on
//   bounded   eight producers, the queue bounded at `bound` bytes (0: none; the peer's
//             queue holds as many records as ours does at that bound): records per
//             second until every line is in the file
//   drain     a full queue released: lines per second until every line is in the file,
//             and the writer thread's processor time per line (the floor: the same lines
//             written with one WriteFile each)
//   queued    every record held in the queue (memory), then written
//   profile   where a call's and a line's time goes (ours only)
// Prints one line of figures, name=value; bench/run runs the matrix and prints the table.
// Every run but the profile checks that the file holds exactly the records logged.

#include <windows.h>

#include <psapi.h>
#include <x86intrin.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "bench.h"
#include "logging/log_record.h"

thread_local std::uint64_t t_allocations = 0;

void* operator new(std::size_t size) {
  ++t_allocations;
  for (;;) {
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    if (std::new_handler handler = std::get_new_handler()) {
      handler();
    } else {
      throw std::bad_alloc();
    }
  }
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

long long CountRecordLines(const char* path) {
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return 0;
  long long lines = 0;
  char line[4096];
  while (std::fgets(line, sizeof(line), file) != nullptr) {
    if (std::strstr(line, "record ") != nullptr) ++lines;
  }
  std::fclose(file);
  return lines;
}

double Seconds() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / frequency;
}

std::uint64_t Ticks() { return __rdtsc(); }

double TicksPerNanosecond() {
  static const double ratio = [] {
    const double start = Seconds();
    const std::uint64_t ticks = Ticks();
    while (Seconds() - start < 0.1) {
    }
    return static_cast<double>(Ticks() - ticks) / ((Seconds() - start) * 1e9);
  }();
  return ratio;
}

double ThreadProcessorSeconds(HANDLE thread) {
  FILETIME created, exited, system, user;
  if (!::GetThreadTimes(thread, &created, &exited, &system, &user)) return 0;
  const auto hundredsOfNs = [](const FILETIME& time) {
    return static_cast<double>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  };
  return (hundredsOfNs(system) + hundredsOfNs(user)) * 1e-7;
}

std::size_t WorkingSetBytes() {
  PROCESS_MEMORY_COUNTERS memory{};
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof(memory));
  return memory.WorkingSetSize;
}

namespace {

// The mean length, in characters, of the messages N calls of thread 0 log.
double MeanMessageChars(long long calls) {
  double total = 0;
  for (long long i = 0; i < calls; ++i) {
    total += static_cast<double>(std::snprintf(nullptr, 0, "record %d of thread 0: some payload text", static_cast<int>(i)));
  }
  return total / static_cast<double>(calls);
}

// Nanoseconds per call of the batch at that fraction of the batches, slowest last.
double PercentilePerCall(std::vector<std::uint32_t> batchTicks, double fraction) {
  if (batchTicks.empty()) return 0;
  const auto at =
      batchTicks.begin() + static_cast<std::ptrdiff_t>(fraction * static_cast<double>(batchTicks.size() - 1));
  std::nth_element(batchTicks.begin(), at, batchTicks.end());
  return static_cast<double>(*at) / kCallsPerTimedBatch / TicksPerNanosecond();
}

std::string CallerFigures(const BenchResult& result, long long calls) {
  char text[160];
  std::snprintf(text, sizeof(text), "median_ns=%.1f p99_ns=%.1f allocations_per_call=%.3f",
                PercentilePerCall(result.batchTicks, 0.5), PercentilePerCall(result.batchTicks, 0.99),
                static_cast<double>(result.allocations) / static_cast<double>(calls));
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: varrowmere-bench <disabled|enabled1|narrow1|enabled4|bounded|drain|queued|profile> "
                         "<ours|spdlog|floor> [calls] [bound]\n");
    return 2;
  }
  const std::string scenario = argv[1];
  const std::string impl = argv[2];
  const long long calls = argc > 3 ? std::atoll(argv[3]) : 200000;
  const bool ours = impl == "ours";
  if (scenario == "profile") {
    PrintProfile(calls);
    return 0;
  }
  TicksPerNanosecond();  // calibrated before anything runs

  const char* const path = "bench-file.txt";
  ::DeleteFileA(path);
  BenchResult result;
  long long records = calls;
  std::string figures;
  char text[256];
  if (scenario == "disabled") {
    result = ours ? OursDisabled(calls, path) : PeerDisabled(calls, path);
    records = 0;
    std::snprintf(text, sizeof(text), "ns_per_call=%.2f", result.callerSeconds * 1e9 / static_cast<double>(calls));
    figures = text;
  } else if (scenario == "enabled1" || scenario == "narrow1") {
    FileRun run;
    run.calls = calls;
    run.timeCalls = true;
    run.narrowCalls = scenario == "narrow1";
    result = ours ? OursFile(run, path) : PeerFile(run, path);
    figures = CallerFigures(result, calls);
  } else if (scenario == "enabled4") {
    FileRun run;
    run.calls = calls;
    run.threads = 4;
    records = 4 * calls;
    result = ours ? OursFile(run, path) : PeerFile(run, path);
    std::snprintf(text, sizeof(text), "calls_per_s=%.0f", static_cast<double>(records) / result.callerSeconds);
    figures = text;
  } else if (scenario == "bounded") {
    FileRun run;
    run.calls = calls;
    run.threads = 8;
    run.queueBytes = argc > 4 ? static_cast<std::size_t>(std::atoll(argv[4])) : 0;
    const auto messageLength = static_cast<std::size_t>(MeanMessageChars(calls) + 0.5);
    records = run.threads * calls;
    const std::size_t recordBytes = LogRecord::BlockBytes(messageLength, 0, RecordTextForm::kAscii);
    run.queueRecords = run.queueBytes == 0 ? static_cast<std::size_t>(records)
                                           : std::max<std::size_t>(1, run.queueBytes / recordBytes);
    result = ours ? OursFile(run, path) : PeerFile(run, path);
    std::snprintf(text, sizeof(text), "bound_bytes=%llu records_per_s=%.0f",
                  static_cast<unsigned long long>(run.queueBytes), static_cast<double>(records) / result.totalSeconds);
    figures = text;
    if (!ours) figures += " queue_records=" + std::to_string(run.queueRecords);
  } else if (scenario == "drain") {
    result = impl == "floor" ? FloorFile(calls, path) : ours ? OursQueued(calls, path) : PeerQueued(calls, path);
    std::snprintf(text, sizeof(text), "lines_per_s=%.0f writer_ns_per_line=%.1f",
                  static_cast<double>(calls) / result.drainSeconds, result.writerProcessorSecondsPerLine * 1e9);
    figures = text;
  } else if (scenario == "queued") {
    result = ours ? OursQueued(calls, path) : PeerQueued(calls, path);
    std::snprintf(text, sizeof(text),
                  "message_chars=%.1f queue_bytes_per_record=%.1f working_set_bytes_per_record=%.1f "
                  "allocations_per_call=%.3f",
                  MeanMessageChars(calls), result.queuedBytesPerRecord, result.workingSetBytesPerRecord,
                  static_cast<double>(result.allocations) / static_cast<double>(calls));
    figures = text;
  } else {
    std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
    return 2;
  }

  PROCESS_MEMORY_COUNTERS memory{};
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof(memory));
  const long long lines = CountRecordLines(path);
  ::DeleteFileA(path);
  const bool counted = lines == records;
  std::printf("scenario=%s impl=%s records=%lld %s peak_working_set_kb=%llu lines=%lld count_check=%s\n",
              scenario.c_str(), impl.c_str(), records, figures.c_str(),
              static_cast<unsigned long long>(memory.PeakWorkingSetSize / 1024), lines, counted ? "ok" : "FAILED");
  return counted ? 0 : 1;
}
