#include <windows.h>

#include <psapi.h>

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

unsigned long long Kilobytes(unsigned long long bytes) { return bytes >> 10; }

}  // namespace

void ReportEnvironment::ReportSystemMemoryInfo(ReportEnvironment* report) {
  const ReportLineSink sink = report != nullptr ? report->sink_ : &LogReportLine;
  const auto write = [sink](int sourceLine, const wchar_t* format, auto value) {
    SendReportLine(sink, ReportCaptureBlock(), kLineBufferChars, kLogInformation, kMemoryInfo, sourceLine, format,
                   value);
  };

  const auto globalMemoryStatusEx =
      LookUp<GlobalMemoryStatusExFunction>(::GetModuleHandleW(L"kernel32.dll"), "GlobalMemoryStatusEx");
  if (globalMemoryStatusEx != nullptr) {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof(status);
    if (globalMemoryStatusEx(&status)) {
      write(__LINE__, L"[ENV] %ld percent of memory in use.", status.dwMemoryLoad);
      write(__LINE__, L"[ENV] Total size of physical memory: %I64d KB", Kilobytes(status.ullTotalPhys));
      write(__LINE__, L"[ENV] Size of physical memory available: %I64d KB", Kilobytes(status.ullAvailPhys));
      write(__LINE__, L"[ENV] Size of the committed memory limit: %I64d KB", Kilobytes(status.ullTotalPageFile));
      write(__LINE__, L"[ENV] Size of available memory to commit: %I64d KB", Kilobytes(status.ullAvailPageFile));
      write(__LINE__,
            L"[ENV] Total size of the user mode portion of the virtual address space of the TVX process: %I64d KB",
            Kilobytes(status.ullTotalVirtual));
      write(__LINE__,
            L"[ENV] Size of unreserved and uncommitted memory in the user mode portion of the virtual address "
            L"space of the TVX process: %I64d KB",
            Kilobytes(status.ullAvailVirtual));
    }
  } else {
    MEMORYSTATUS status{};
    status.dwLength = sizeof(status);
    ::GlobalMemoryStatus(&status);
    const auto kilobytes = [](SIZE_T bytes) { return static_cast<unsigned long>(static_cast<DWORD>(bytes) >> 10); };
    write(__LINE__, L"[ENV] Total size of physical memory: %7ld KB", kilobytes(status.dwTotalPhys));
    write(__LINE__, L"[ENV] Size of physical memory available: %7ld KB", kilobytes(status.dwAvailPhys));
    write(__LINE__, L"[ENV] Size of the committed memory limit: %7ld KB", kilobytes(status.dwTotalPageFile));
    write(__LINE__, L"[ENV] Size of available memory to commit: %7ld KB", kilobytes(status.dwAvailPageFile));
    write(__LINE__,
          L"[ENV] Total size of the user mode portion of the virtual address space of the TVX process: %7ld KB",
          kilobytes(status.dwTotalVirtual));
    write(__LINE__,
          L"[ENV] Size of unreserved and uncommitted memory in the user mode portion of the virtual address space "
          L"of the TVX process: %7ld KB",
          kilobytes(status.dwAvailVirtual));
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
          Kilobytes(static_cast<unsigned long long>(counters.PrivateUsage)));
  }
}
