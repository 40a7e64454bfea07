// varrowmere-bench <disabled|enabled|file> <ours|spdlog> [calls] [threads]
// Prints one line of figures; bench/run runs the matrix and prints the table.

#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "bench.h"

std::atomic<std::uint64_t> g_allocations{0};

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
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

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: varrowmere-bench <disabled|enabled|file> <ours|spdlog> [calls] [threads]\n");
    return 2;
  }
  const std::string scenario = argv[1];
  const std::string impl = argv[2];
  const long long calls = argc > 3 ? std::atoll(argv[3]) : 1000000;
  const int threads = argc > 4 ? std::atoi(argv[4]) : 1;
  const bool ours = impl == "ours";

  BenchResult result;
  const char* const file = "bench-file.txt";
  long long linesInFile = -1;
  if (scenario == "disabled") {
    result = ours ? OursDisabled(calls) : PeerDisabled(calls);
  } else if (scenario == "file") {
    ::DeleteFileA(file);
    result = ours ? OursFile(calls, threads, L"bench-file.txt") : PeerFile(calls, threads, file);
    linesInFile = CountRecordLines(file);
    ::DeleteFileA(file);
  } else {
    result = ours ? OursEnabled(calls, threads) : PeerEnabled(calls, threads);
  }

  PROCESS_MEMORY_COUNTERS memory{};
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof(memory));
  const double records = static_cast<double>(calls) * (scenario == "disabled" ? 1 : threads);
  std::printf("%-8s %-7s records=%.0f caller_ns_per_call=%.2f total_records_per_s=%.0f "
              "allocations_during_calls=%llu peak_working_set_kb=%llu\n",
              scenario.c_str(), impl.c_str(), records, result.callerSeconds * 1e9 / records,
              result.totalSeconds > 0 ? records / result.totalSeconds : 0.0,
              static_cast<unsigned long long>(result.allocations),
              static_cast<unsigned long long>(memory.PeakWorkingSetSize / 1024));
  if (linesInFile >= 0 && linesInFile != static_cast<long long>(records)) {
    std::printf("COUNT CHECK FAILED: %lld record lines in the file for %.0f records logged\n", linesInFile, records);
    return 1;
  }
  return 0;
}
