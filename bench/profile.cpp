// The floor of the file scenario, and the profile: each step of a call and of a line
// timed on its own, in a loop, on the same message.

#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/process_objects.h"
#include "bench.h"
#include "logging/argument_check.h"
#include "logging/debug_file_output.h"
#include "logging/debug_logger.h"
#include "logging/log_queue.h"
#include "logging/logging_calls.h"
#include "text/zul_string.h"
#include "win32/unique_resource.h"

namespace {

// The lines of the file scenario, in the debug file's own form.
std::vector<std::string> RecordLines(long long count) {
  std::vector<std::string> lines;
  lines.reserve(static_cast<std::size_t>(count));
  char line[160];
  for (long long i = 0; i < count; ++i) {
    std::snprintf(line, sizeof(line), "[30000] (12/10 04:05:06.789):{0x1A4} record %d of thread 0: some payload text\r\n",
                  static_cast<int>(i));
    lines.emplace_back(line);
  }
  return lines;
}

HANDLE OpenLikeTheDebugFile(const char* path) {
  return ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Keeps the compiler from dropping a result nobody reads.
template <typename T>
void Keep(const T& value) {
  asm volatile("" : : "g"(value) : "memory");
}

// Runs step N times and prints its cost per run.
template <typename Step>
void Time(const char* name, long long iterations, Step step) {
  const double start = Seconds();
  for (long long i = 0; i < iterations; ++i) step(i);
  std::printf("profile %-44s %9.1f ns\n", name, (Seconds() - start) * 1e9 / static_cast<double>(iterations));
}

// The same on four threads at once; prints the wall time per call of one thread.
template <typename Step>
void TimeOnFourThreads(const char* name, long long iterations, Step step) {
  const double start = Seconds();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (long long i = 0; i < iterations; ++i) step(i);
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::printf("profile %-44s %9.1f ns\n", name, (Seconds() - start) * 1e9 / static_cast<double>(iterations));
}

bool Check(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const bool fits = CheckLogArguments(kLogInformation, format, args, 0, nullptr, true);
  va_end(args);
  return fits;
}

int FormatInto(wchar_t* buffer, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = ::_vsnwprintf(buffer, 1023, format, args);
  va_end(args);
  return length;
}

}  // namespace

BenchResult FloorFile(long long count, const char* path) {
  const std::vector<std::string> lines = RecordLines(count);
  BenchResult result;
  const double start = Seconds();
  const double processorStart = ThreadProcessorSeconds(::GetCurrentThread());
  const UniqueFileHandle file(OpenLikeTheDebugFile(path));
  for (const std::string& line : lines) {
    DWORD written = 0;
    ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  result.writerProcessorSecondsPerLine =
      (ThreadProcessorSeconds(::GetCurrentThread()) - processorStart) / static_cast<double>(count);
  result.totalSeconds = Seconds() - start;
  result.drainSeconds = result.totalSeconds;
  return result;
}

void PrintProfile(long long n) {
  wchar_t buffer[1024];
  const wchar_t* const format = BENCH_MESSAGE_WIDE;
  std::printf("profile -- the caller, per call\n");
  Time("gate (a disabled call, whole)", n, [&](long long i) { LogMessage(kLogDebug, format, static_cast<int>(i), 0); });
  Time("argument check (formats past plain %d/%s)", n,
       [&](long long i) { Keep(Check(format, static_cast<int>(i), 0)); });
  // The logger does not run here, so the call ends right after these two.
  Time("check + format in one pass (plain %d/%s)", n,
       [&](long long i) { LogMessage(kLogInformation, format, static_cast<int>(i), 0); });
  Time("format: _vsnwprintf (formats past plain %d/%s)", n,
       [&](long long i) { Keep(FormatInto(buffer, format, static_cast<int>(i), 0)); });
  Time("format, before: ZULString::Format (2 allocations)", n, [&](long long i) {
    zul::ZULString text;
    Keep(text.Format(format, static_cast<int>(i), 0));
  });
  FormatInto(buffer, format, 123456, 0);
  const std::size_t length = std::wcslen(buffer);
  Time("local time: GetLocalTime", n, [&](long long) {
    SYSTEMTIME time;
    ::GetLocalTime(&time);
    Keep(time.wMilliseconds);
  });
  Time("  GetSystemTimeAsFileTime", n, [&](long long) {
    FILETIME time;
    ::GetSystemTimeAsFileTime(&time);
    Keep(time.dwLowDateTime);
  });
  Time("  QueryPerformanceCounter", n, [&](long long) {
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    Keep(counter.QuadPart);
  });
  Time("  GetTickCount", n, [&](long long) { Keep(::GetTickCount()); });
  Time("  FileTimeToSystemTime", n, [&](long long i) {
    FILETIME time{static_cast<DWORD>(i * 10000), 30000000};
    SYSTEMTIME fields;
    ::FileTimeToSystemTime(&time, &fields);
    Keep(fields.wMilliseconds);
  });
  Time("  FileTimeToLocalFileTime", n, [&](long long i) {
    FILETIME time{static_cast<DWORD>(i * 10000), 30000000};
    FILETIME local;
    ::FileTimeToLocalFileTime(&time, &local);
    Keep(local.dwLowDateTime);
  });
  Time("thread identifier: GetCurrentThreadId", n, [&](long long) { Keep(::GetCurrentThreadId()); });
  Time("heap: new + delete of a block (before: per record)", n, [&](long long) {
    void* block = ::operator new(LogRecord::BlockBytes(length, 0, RecordTextForm::kAscii));
    Keep(reinterpret_cast<std::uintptr_t>(block) & 1);
    ::operator delete(block);
  });
  Time("record: Create (carved, time, copy) + delete", n, [&](long long) {
    Keep(LogRecord::Create(0, 1, 3, buffer, length, nullptr)->level);
  });
  {
    LogQueue queue;
    std::vector<std::unique_ptr<LogRecord>> records;
    for (long long i = 0; i < n; ++i) records.push_back(LogRecord::Create(0, 1, 3, buffer, length, nullptr));
    Time("queue: push", n, [&](long long i) { queue.Push(std::move(records[static_cast<std::size_t>(i)])); });
    std::printf("profile -- the logger thread, per line\n");
    Time("queue: pop (one exchange per drain) + free", n, [&](long long) { Keep(queue.Pop()->level); });
  }
  {
    DebugLogger& logger = ProcessDebugLogger();  // not running: a direct call queues anyway
    Time("whole call (LogMessageDirect, logger idle)", n,
         [&](long long i) { LogMessageDirect(kLogInformation, format, static_cast<int>(i), 0); });
    while (logger.Queue().Pop()) {
    }
  }
  std::printf("profile -- four threads at once, per call of each (two cores)\n");
  TimeOnFourThreads("argument check", n, [&](long long i) { Keep(Check(format, static_cast<int>(i), 0)); });
  TimeOnFourThreads("format into the thread's buffer", n, [&](long long i) {
    wchar_t own[1024];
    Keep(FormatInto(own, format, static_cast<int>(i), 0));
  });
  TimeOnFourThreads("local time: GetLocalTime", n, [&](long long) {
    SYSTEMTIME time;
    ::GetLocalTime(&time);
    Keep(time.wMilliseconds);
  });
  TimeOnFourThreads("heap: new + delete of a block (before: per record)", n, [&](long long) {
    void* block = ::operator new(LogRecord::BlockBytes(length, 0, RecordTextForm::kAscii));
    Keep(reinterpret_cast<std::uintptr_t>(block) & 1);
    ::operator delete(block);
  });
  TimeOnFourThreads("record: Create + delete", n,
                    [&](long long) { Keep(LogRecord::Create(0, 1, 3, buffer, length, nullptr)->level); });
  {
    LogQueue queue;
    queue.SetByteLimit(0);
    TimeOnFourThreads("record: Create + push", n / 4,
                      [&](long long) { queue.Push(LogRecord::Create(0, 1, 3, buffer, length, nullptr)); });
  }
  {
    DebugLogger& logger = ProcessDebugLogger();
    logger.SetQueueByteLimit(0);
    TimeOnFourThreads("whole call (LogMessageDirect, logger idle)", n / 4,
                      [&](long long i) { LogMessageDirect(kLogInformation, format, static_cast<int>(i), 0); });
    while (logger.Queue().Pop()) {
    }
  }

  SYSTEMTIME now;
  ::GetLocalTime(&now);
  wchar_t line[1100];
  int lineLength = 0;
  Time("line format, before: _snwprintf", n, [&](long long) {
    lineLength = ::_snwprintf(line, 1023, L"[%05lu] (%02d/%02d %02d:%02d:%02d.%03d):{0x%X} %.*s\r\n", 30000ul,
                              now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, 0x1A4u,
                              static_cast<int>(length), buffer);
  });
  Time("IsTextUnicode on the line (before: every line)", n,
       [&](long long) { Keep(::IsTextUnicode(line, lineLength * 2, nullptr)); });
  Time("ASCII scan of the line (now, instead)", n, [&](long long) {
    wchar_t seen = 0;
    for (int c = 0; c < lineLength; ++c) seen |= line[c];
    Keep(seen);
  });
  char bytes[1100];
  Time("conversion to single bytes, reused buffer", n, [&](long long) {
    for (int c = 0; c < lineLength; ++c) bytes[c] = line[c] < 0x80 ? static_cast<char>(line[c]) : '?';
    Keep(bytes[0]);
  });
  const char* const path = "bench-profile.txt";
  ::DeleteFileA(path);
  {
    const UniqueFileHandle file(OpenLikeTheDebugFile(path));
    Time("write: one WriteFile of the line (before: each)", n, [&](long long) {
      DWORD written = 0;
      ::WriteFile(file.get(), bytes, static_cast<DWORD>(lineLength), &written, nullptr);
    });
  }
  ::DeleteFileA(path);
  // The debug file output on its own, as the logger thread drives it: each record's line
  // into its batch, the batch written when full and at the end.
  {
    DebugFileOutput output;
    DebugFileOutput::Settings settings;
    settings.path = L"bench-profile.txt";
    settings.maxFileSize = 0;
    output.SetSettings(settings);
    output.Open();
    const RecordView record{now, 0x1A4, kLogInformation, buffer, 0, nullptr};
    Time("whole line: into the batch, batches written (now)", n, [&](long long) { output.Write(record); });
    output.Close();
  }
  ::DeleteFileA(path);
}
