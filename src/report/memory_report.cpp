#include <windows.h>

#include <psapi.h>

#include <iterator>

#include "diagnostics/library_loading.h"
#include "logging/log_levels.h"
#include "report/report_environment.h"
#include "win32/unique_resource.h"

namespace {

constexpr const char* kMemoryInfo = "ReportEnvironment::ReportSystemMemoryInfo";

using GlobalMemoryStatusExFunction = BOOL(WINAPI*)(LPMEMORYSTATUSEX);
using GetProcessMemoryInfoFunction = BOOL(WINAPI*)(HANDLE, PPROCESS_MEMORY_COUNTERS, DWORD);

template <typename Function>
Function LookUp(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// The memory figures of both queries, in the order the report gives them.
constexpr const wchar_t* kMemoryFigures[] = {
    L"Total size of physical memory",
    L"Size of physical memory available",
    L"Size of the committed memory limit",
    L"Size of available memory to commit",
    L"Total size of the user mode portion of the virtual address space of the TVX process",
    L"Size of unreserved and uncommitted memory in the user mode portion of the virtual address space of the TVX "
    L"process",
};

}  // namespace

void ReportEnvironment::ReportSystemMemoryInfo(ReportEnvironment* report) {
  const ReportLineSink sink = report != nullptr ? report->sink_ : &LogReportLine;
  const auto write = [sink](int sourceLine, const wchar_t* format, auto... values) {
    SendReportLine(sink, ReportCaptureBlock(), kLineBufferChars, kLogInformation, kMemoryInfo, sourceLine, format,
                   values...);
  };

  const auto globalMemoryStatusEx =
      LookUp<GlobalMemoryStatusExFunction>(::GetModuleHandleW(L"kernel32.dll"), "GlobalMemoryStatusEx");
  if (globalMemoryStatusEx != nullptr) {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof(status);
    if (globalMemoryStatusEx(&status)) {
      write(__LINE__, L"[ENV] %ld percent of memory in use.", status.dwMemoryLoad);
      const DWORDLONG figures[] = {status.ullTotalPhys,     status.ullAvailPhys,    status.ullTotalPageFile,
                                   status.ullAvailPageFile, status.ullTotalVirtual, status.ullAvailVirtual};
      for (std::size_t n = 0; n < std::size(figures); ++n) {
        write(__LINE__, L"[ENV] %s: %I64d KB", kMemoryFigures[n], figures[n] >> 10);
      }
    }
  } else {
    // Without the 64-bit query there is no load figure, and every figure is 32 bits.
    MEMORYSTATUS status{};
    status.dwLength = sizeof(status);
    ::GlobalMemoryStatus(&status);
    const SIZE_T figures[] = {status.dwTotalPhys,     status.dwAvailPhys,    status.dwTotalPageFile,
                              status.dwAvailPageFile, status.dwTotalVirtual, status.dwAvailVirtual};
    for (std::size_t n = 0; n < std::size(figures); ++n) {
      write(__LINE__, L"[ENV] %s: %7ld KB", kMemoryFigures[n],
            static_cast<unsigned long>(static_cast<DWORD>(figures[n]) >> 10));
    }
  }

  const UniqueModule psapi(LoadLibraryKeepingFilter("Psapi.dll"));
  const auto getProcessMemoryInfo = LookUp<GetProcessMemoryInfoFunction>(psapi.get(), "GetProcessMemoryInfo");
  if (getProcessMemoryInfo == nullptr) return;
  const UniqueHandle process(
      ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ::GetCurrentProcessId()));
  if (!process) return;
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof(counters);
  if (getProcessMemoryInfo(process.get(), reinterpret_cast<PPROCESS_MEMORY_COUNTERS>(&counters), sizeof(counters))) {
    write(__LINE__, L"[ENV] Size of private memory of the TVX process: %I64d KB",
          static_cast<unsigned long long>(counters.PrivateUsage) >> 10);
  }
}
